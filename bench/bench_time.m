function t = bench_time(f, repeats)
% BENCH_TIME  Median wall time of REPEATS calls of F (default 5), after one
%   warm-up call.
  if nargin < 2
    repeats = 5;
  end
  f();
  times = zeros(repeats, 1);
  for r = 1:repeats
    start = tic;
    f();
    times(r) = toc(start);
  end
  t = median(times);
end
