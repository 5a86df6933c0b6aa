function bench_pairtrend()
% BENCH_PAIRTREND  pairtrend against corr on two 10,000,000-element vectors.
  N = 10000000;
  randn('seed', 11);
  x = randn(N, 1);
  y = 0.5 * x + randn(N, 1);
  ours = bench_time(@() pairtrend(x, y), 5);
  theirs = bench_time(@() corr(x, y), 5);
  bench_report(sprintf('pairtrend(x, y), N = %d', N), ours, theirs, 'corr(x, y)');
end
