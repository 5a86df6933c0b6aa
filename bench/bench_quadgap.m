function bench_quadgap()
% BENCH_QUADGAP  quadgap against what an Octave user writes, n = m = 2000:
%   the BLAS expression (fast but inexact), the exact per-coordinate loop
%   (the same bits as quadgap) and, for the weighted form, the sums of the
%   loop's weighted terms.
  n = 2000;
  for D = [5 20 100]
    a = randn(D, n);
    b = randn(D, n);
    ours = bench_time(@() quadgap(a, b), 5);
    blas = bench_time(@() bsxfun(@plus, sumsq(a, 1)', sumsq(b, 1)) - 2 * (a' * b), 5);
    bench_report(sprintf('quadgap(a,b)    D=%3d', D), ours, blas, 'BLAS expression');
    if D <= 20   % the loop makes several n-by-n temporaries per coordinate
      loop = bench_time(@() loop_distances(a, b), 1);
      bench_report(sprintf('quadgap(a,b)    D=%3d', D), ours, loop, 'exact loop');
      printf('  %-44s bit-identical to the exact loop: %d\n', '', ...
             isequal(quadgap(a, b), loop_distances(a, b)));
    end
  end
  for D = [5 20]
    a = randn(D, n);
    b = randn(D, n);
    Q = rand(n);
    ours = bench_time(@() quadgap(a, b, Q), 5);
    loop = bench_time(@() weighted_loop(a, b, Q), 1);
    bench_report(sprintf('quadgap(a,b,Q)  D=%3d', D), ours, loop, 'sum of weighted terms');
  end
end

function c = weighted_loop(a, b, Q)
  c = zeros(rows(a), 1);
  for k = 1:rows(a)
    c(k) = sum(sum(Q .* (a(k, :)' - b(k, :)).^2));
  end
end
