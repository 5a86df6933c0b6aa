function bench_mismatchsum()
% BENCH_MISMATCHSUM  mismatchsum against the vectorised loop an Octave user
%   writes (the same bits for finite weights), n = m = 2000. At D = 20 also
%   the portable build (standard C++ only, as an MSVC build runs), on outputs
%   of the same size.
  n = 2000;
  for D = [5 20]
    a = int32(randi(4, D, n));
    b = int32(randi(4, D, n));
    l = rand(D, 1) + 0.5;
    ours = bench_time(@() mismatchsum(a, b, l), 5);
    loop = bench_time(@() loop_mismatches(a, b, l), 1);
    bench_report(sprintf('mismatchsum(a,b,l) D=%3d', D), ours, loop, 'vectorised loop');
    printf('  %-44s bit-identical to the loop: %d\n', '', ...
           isequal(mismatchsum(a, b, l), loop_mismatches(a, b, l)));
    if D == 20
      if exist('mismatchsum_portable') == 3
        portable = bench_time(@() mismatchsum_portable(a, b, l), 5);
        bench_report('mismatchsum(a,b,l) D= 20 portable', portable, loop, 'vectorised loop');
        bench_report('mismatchsum(a,b,l) D= 20', ours, portable, 'portable build');
      else
        printf('  (mismatchsum_portable not built: run "build tests" for the portable lines)\n');
      end
    end
  end
end

