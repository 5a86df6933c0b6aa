# The ranger peer of bench_forestfit: fit time of ranger's regression forest
# on a pair matrix written by the benchmark.
#
#     Rscript forestfit_ranger.R FILE ROWS COLS REPEATS THREADS CATEGORICAL
#
# FILE as for forestfit_sklearn.py; CATEGORICAL lists the 1-based categorical
# columns, comma-separated ("0" for none), read as factors whose categories
# are ordered by mean response at each split (respect.unordered.factors =
# "order"). Prints the median fit time in seconds; exits with status 3 when
# ranger is not installed, so the benchmark skips this peer.
if (!suppressWarnings(requireNamespace("ranger", quietly = TRUE))) quit(status = 3)
args <- commandArgs(trailingOnly = TRUE)
rows <- as.integer(args[2]); cols <- as.integer(args[3])
repeats <- as.integer(args[4]); threads <- as.integer(args[5])
categorical <- setdiff(as.integer(strsplit(args[6], ",")[[1]]), 0L)
data <- readBin(args[1], "double", n = rows * cols + rows)
Z <- as.data.frame(matrix(data[seq_len(rows * cols)], rows, cols))
for (v in categorical) Z[[v]] <- factor(Z[[v]])
Z$y <- data[rows * cols + seq_len(rows)]
# forestfit's settings: 10 trees, 3 variables per split, nodes of fewer than
# 2 * 3 runs not split (min.node.size), bootstrap samples.
times <- numeric(repeats)
for (r in seq_len(repeats)) {
  start <- proc.time()[["elapsed"]]
  ranger::ranger(y ~ ., data = Z, num.trees = 10, mtry = 3, min.node.size = 6,
                 replace = TRUE, num.threads = threads, seed = r,
                 respect.unordered.factors = "order", write.forest = TRUE, verbose = FALSE)
  times[r] <- proc.time()[["elapsed"]] - start
}
cat(sprintf("%.6f\n", median(times)))
