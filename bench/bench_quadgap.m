function bench_quadgap()
% BENCH_QUADGAP  quadgap against what an Octave user writes, n = m = 2000:
%   the BLAS expression (fast but inexact), the exact per-coordinate loop
%   (the same bits as quadgap) and, for the weighted form, the sums of the
%   loop's weighted terms. At D = 20 also the portable build (standard C++
%   only, as an MSVC build runs) beside the dispatched kernel and the loops,
%   all on outputs of the same size.
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
    if D == 20 && has_portable()
      portable = bench_time(@() quadgap_portable(a, b), 5);
      bench_report('quadgap(a,b)    D= 20 portable', portable, loop, 'exact loop');
      bench_report('quadgap(a,b)    D= 20', ours, portable, 'portable build');
    end
  end
  for D = [5 20]
    a = randn(D, n);
    b = randn(D, n);
    Q = rand(n);
    ours = bench_time(@() quadgap(a, b, Q), 5);
    loop = bench_time(@() weighted_loop(a, b, Q), 1);
    bench_report(sprintf('quadgap(a,b,Q)  D=%3d', D), ours, loop, 'sum of weighted terms');
    if D == 20 && has_portable()
      portable = bench_time(@() quadgap_portable(a, b, Q), 5);
      bench_report('quadgap(a,b,Q)  D= 20 portable', portable, loop, 'sum of weighted terms');
      bench_report('quadgap(a,b,Q)  D= 20', ours, portable, 'portable build');
    end
  end
end

function yes = has_portable()
  % The portable build is a test helper (build tests).
  yes = exist('quadgap_portable') == 3;
  if ~yes
    printf('  (quadgap_portable not built: run "build tests" for the portable lines)\n');
  end
end

function c = weighted_loop(a, b, Q)
  c = zeros(rows(a), 1);
  for k = 1:rows(a)
    c(k) = sum(sum(Q .* (a(k, :)' - b(k, :)).^2));
  end
end
