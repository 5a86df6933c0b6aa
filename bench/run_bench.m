function run_bench(varargin)
% RUN_BENCH  Time the toolbox against what an Octave user would write.
%
%   run_bench                 every bench/bench_*.m
%   run_bench bench_treecast  only the named ones
%
% Each benchmark prints its own lines: the times of both sides, measured
% in this one run, and their ratio. The machine is shared, so each time is
% the median of several repetitions (bench_time). make bench runs each
% benchmark in its own host process, so that none inherits another's heap.
  here = fileparts(mfilename('fullpath'));
  addpath(here);
  addpath(fullfile(fileparts(here), 'build'));
  addpath(fullfile(fileparts(here), 'tests'));   % shared fixtures and the exact Octave loops
  files = dir(fullfile(here, 'bench_*.m'));
  for f = 1:numel(files)
    [~, name] = fileparts(files(f).name);
    if any(strcmp(name, {'bench_time', 'bench_report'})) || ...
       (~isempty(varargin) && ~any(strcmp(varargin, name)))
      continue;                % the shared timing helpers, or not picked
    end
    printf('== %s\n', name);
    feval(name);
  end
end
