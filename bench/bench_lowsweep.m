function bench_lowsweep()
% BENCH_LOWSWEEP  lowsweep against Octave's own triangular solves, all on
%   the same BLAS, for a 2000-by-2000 T and 2000 right-hand sides.
  m = 2000;
  rand('seed', 12);
  T = tril(rand(m)) + m * eye(m);
  b = rand(m, m);
  label = sprintf('lowsweep(T, b), m = n = %d', m);
  ours = bench_time(@() lowsweep(T, b), 5);
  theirs = bench_time(@() T \ b, 5);
  bench_report(label, ours, theirs, 'T \ b');
  ours = bench_time(@() lowsweep(T, b), 5);
  theirs = bench_time(@() linsolve(T, b, struct('LT', true)), 5);
  bench_report(label, ours, theirs, 'linsolve(T, b, LT)');
end
