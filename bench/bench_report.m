function bench_report(label, ours, theirs, peer)
% BENCH_REPORT  One line: both times and how many times faster ours is.
  printf('  %-44s %10.4f s   %-24s %10.4f s   ratio %7.2fx\n', ...
         label, ours, peer, theirs, theirs / ours);
end
