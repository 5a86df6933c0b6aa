function bench_loopbench()
% BENCH_LOOPBENCH  loopbench inside the host against the same workload as
%   a plain program compiled with g++ -O2 (started through system(), whose
%   few milliseconds of process start are counted against it). A ratio well
%   above 1 would mean loopbench skipped work; well below, that it is slow.
  here = fileparts(mfilename('fullpath'));
  peer = [tempname() '_loopbench_peer'];
  [status, output] = system(sprintf('g++ -O2 -o "%s" "%s"', peer, ...
                                    fullfile(here, 'loopbench_peer.cpp')));
  if status ~= 0
    error('bench_loopbench: compiling the plain program failed:\n%s', output);
  end
  cleanup = onCleanup(@() delete(peer));
  ours = bench_time(@() evalc('loopbench'), 3);
  theirs = bench_time(@() run_quietly(peer), 3);
  bench_report('loopbench', ours, theirs, 'plain g++ -O2 program');
end

function run_quietly(program)
  [status, ~] = system(['"' program '"']);
  if status ~= 0
    error('bench_loopbench: %s failed', program);
  end
end
