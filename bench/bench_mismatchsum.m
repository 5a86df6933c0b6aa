function bench_mismatchsum()
% BENCH_MISMATCHSUM  mismatchsum against the vectorised loop an Octave user
%   writes (the same bits for finite weights), n = m = 2000.
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
  end
end

