"""The scikit-learn peer of bench_forestfit: fit time of RandomForestRegressor
on a pair matrix written by the benchmark.

    forestfit_sklearn.py FILE ROWS COLS REPEATS [N_JOBS]

FILE holds ROWS*COLS doubles of the pair matrix in column-major order, then
ROWS responses. Prints the median fit time in seconds; exits with status 3
when scikit-learn cannot be imported, so the benchmark skips this peer.
"""
import sys
import time

try:
    import numpy as np
    from sklearn.ensemble import RandomForestRegressor
except ImportError:
    sys.exit(3)


def main():
    path, rows, cols, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    n_jobs = int(sys.argv[5]) if len(sys.argv) > 5 else 1
    data = np.fromfile(path, dtype=np.float64)
    Z = np.asfortranarray(data[: rows * cols].reshape((rows, cols), order="F"))
    y = data[rows * cols :]
    # The settings of forestfit's run: 10 trees, 3 variables per split,
    # leaves of at least 3 runs, bootstrap samples, N_JOBS threads.
    # Categorical columns are read as ordered numbers (the estimator has no
    # others).
    times = []
    for repeat in range(repeats):
        model = RandomForestRegressor(n_estimators=10, n_jobs=n_jobs, min_samples_leaf=3,
                                      max_features=3, bootstrap=True, random_state=repeat)
        start = time.perf_counter()
        model.fit(Z, y)
        times.append(time.perf_counter() - start)
    print("%.6f" % float(np.median(times)))


main()
