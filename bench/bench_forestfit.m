function bench_forestfit()
% BENCH_FORESTFIT  Fitting a forest from runs: forestfit on 2 threads
%   against 1, against the example learner grow_forest (on the pair matrix
%   it needs), and against two peers on the same pair matrix at equal
%   thread counts, fit alone: scikit-learn's RandomForestRegressor (n_jobs;
%   /usr/bin/python3 with python3-sklearn) and ranger (num.threads;
%   Rscript with r-cran-ranger, categorical columns as factors ordered by
%   mean response, respect.unordered.factors = "order"). A missing peer is
%   skipped with a note. All with 10 trees, 3 variables tried per split,
%   leaves of at least 3 runs (5 for 10^6 runs), bootstrap samples.
%   Cases: 50,000 runs (10,000 configurations, 1,000 instances, 7
%   variables) and 10^6 runs over 1,000 x 1,000. grow_forest is timed on
%   fewer trees or runs and scaled up linearly, which favours it (a tree's
%   cost grows faster than its runs). forestfit is timed on the fit alone,
%   as the peers are: the clock stops when the forest is returned, before
%   the host frees it. For 10^6 runs also: the compact forest's size and
%   host arrays against the expanded layout (the 1.x format), the first fit
%   in a fresh process against warm ones and the process's peak memory
%   growth (in a child process), and save -v7 with load. Then worker
%   processes against one process, and a forest of 30 categorical columns
%   of 100,000 levels.
  root = fileparts(fileparts(mfilename('fullpath')));
  addpath(fullfile(root, 'examples'));
  opts = struct('num_trees', 10, 'mtry', 3, 'min_leaf', 3, 'seed', 1, 'verbose', false);
  peer_opts = struct('mtry', 3, 'min_leaf', 3);
  one = setfield(opts, 'num_threads', 1);
  two = setfield(opts, 'num_threads', 2);

  % 50,000 runs.
  [Theta, X, runs, y, levels] = road_runs(10000, 1000, 50000, 11);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  [ours1, ours2] = fit_times(@() forestfit(Theta, X, runs, y, levels, one), ...
                             @() forestfit(Theta, X, runs, y, levels, two), 11);
  bench_report('forestfit 50000 runs, 2 threads vs 1', ours2, ours1, 'forestfit 1 thread');
  target('2 threads at least 1.75 times faster than 1', ours1 / ours2, 1.75);
  start = tic;
  grow_forest(Z, y, levels, 2, peer_opts);
  theirs = toc(start) * 5;
  bench_report('forestfit 50000 runs, 1 thread', ours1, theirs, 'grow_forest 2 trees (x5)');
  report_peers('forestfit 50000 runs', [ours1, ours2], Z, y, levels, 11, [3 4; 2.5 3.5]);

  % 10^6 runs over 1,000 configurations and 1,000 instances.
  [Theta, X, runs, y, levels] = road_runs(1000, 1000, 1e6, 12);
  big = setfield(opts, 'min_leaf', 5);
  [ours1, ours2] = fit_times(@() forestfit(Theta, X, runs, y, levels, setfield(big, 'num_threads', 1)), ...
                             @() forestfit(Theta, X, runs, y, levels, setfield(big, 'num_threads', 2)), 3);
  bench_report('forestfit 1e6 runs, 2 threads vs 1', ours2, ours1, 'forestfit 1 thread');
  target('2 threads at least 1.7 times faster than 1', ours1 / ours2, 1.7);
  subset = 1:20000;
  Zs = [Theta(runs(subset, 1), :), X(runs(subset, 2), :)];
  start = tic;
  grow_forest(Zs, y(subset), levels, 1, peer_opts);
  theirs = toc(start) * 10 * rows(runs) / numel(subset);
  bench_report('forestfit 1e6 runs, 1 thread', ours1, theirs, 'grow_forest 20000 runs (x500)');
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  report_peers('forestfit 1e6 runs', [ours1, ours2], Z, y, levels, 1, []);
  clear Z Zs;

  % What the forest holds: the compact layout against the expanded one (the
  % 1.x format, with the leaves' responses in both), and against ysub 'all'.
  compact = forestfit(Theta, X, runs, y, levels, big);
  expanded = forestfit(Theta, X, runs, y, levels, setfield(big, 'layout', 'expanded'));
  all = forestfit(Theta, X, runs, y, levels, setfield(setfield(big, 'layout', 'expanded'), ...
                                                      'ysub', 'all'));
  sizes = whos('compact', 'expanded', 'all');
  bytes = @(name) sizes(strcmp({sizes.name}, name)).bytes;
  size_report('forest 1e6 runs, bytes per run', bytes('compact') / 1e6, 'expanded (1.x)', ...
              bytes('expanded') / 1e6);
  target('at most 55% of the 1.x bytes per run', bytes('compact') / bytes('expanded'), 0.55, true);
  size_report('forest 1e6 runs, bytes per run', bytes('compact') / 1e6, 'expanded, ysub all', ...
              bytes('all') / 1e6);
  printf('  %-44s %10d          %-24s %10d          (at most 16)\n', ...
         'forest 1e6 runs, host arrays per tree', host_arrays(compact{1}), 'expanded (1.x)', ...
         host_arrays(expanded{1}));
  clear expanded all;
  file = [tempname() '.mat'];
  start = tic;
  save('-v7', file, 'compact');
  saving = toc(start);
  clear compact;
  start = tic;
  load(file);
  loading = toc(start);
  delete(file);
  printf('  %-44s %10.2f s   load %10.2f s   total %.2f s (target: within 3 s)\n', ...
         'forest 1e6 runs, save -v7', saving, loading, saving + loading);
  clear compact;
  figures = child_figures('million');
  if ~isempty(figures)
    printf('  %-44s %10.4f s   %-24s %10.4f s   ratio %7.2fx (target: at most 1.3x)\n', ...
           'forestfit 1e6 runs, first fit in a process', figures(1), 'warm', figures(2), ...
           figures(1) / figures(2));
    printf('  %-44s %10.1f MB   forest %10.1f MB   ratio %7.2fx (target: at most 4x)\n', ...
           'forestfit 1e6 runs, peak memory growth', figures(3), figures(4), figures(3) / figures(4));
  end

  % Blocks of trees on 2 local worker processes against one process on one
  % thread: 300,000 runs, 20 trees, in a process of their own.
  if isempty(pkg('list', 'parallel'))
    printf('  %-44s (skipped: no parallel package; apt-get install octave-parallel)\n', ...
           'forestfit_workers, 2 processes');
  else
    % A forked worker pays a fault for every fresh 4 KB page of the arrays
    % the host makes for the forest; the host's C library can ask for huge
    % pages when told so at start-up (glibc 2.35 on).
    hosts = {'', 'forestfit_workers 3e5 runs, 2 processes'; ...
             'GLIBC_TUNABLES=glibc.malloc.hugetlb=1 ', '  the same, host started with huge pages'};
    for h = 1:rows(hosts)
      figures = child_figures('workers', hosts{h, 1});
      if ~isempty(figures)
        bench_report(hosts{h, 2}, figures(2), figures(1), 'forestfit 1 thread');
        target('at most 0.75 times one process on one thread', figures(2) / figures(1), 0.75, true);
      end
    end
  end

  % 30 categorical columns of 100,000 levels on 2,000 runs.
  figures = child_figures('categories');
  if ~isempty(figures)
    printf('  %-44s %10.1f MB   forest %10.1f MB   (target: under 300 MB)\n', ...
           'forestfit 30 x 1e5 levels, peak memory growth', figures(1), figures(2));
  end
end

function [t1, t2] = fit_times(fit1, fit2, repeats)
  % Median times of REPEATS fits of each, taken in turn after a warm-up of
  % each, so that both see the same load.
  for fit = {fit1, fit2}
    forest = fit{1}();
    clear forest;
  end
  times = zeros(repeats, 2);
  for r = 1:repeats
    start = tic;
    forest = fit1();
    times(r, 1) = toc(start);
    clear forest;
    start = tic;
    forest = fit2();
    times(r, 2) = toc(start);
    clear forest;
  end
  t1 = median(times(:, 1));
  t2 = median(times(:, 2));
end

function target(what, figure, bound, at_most)
  % One line: the figure against the target's bound.
  met = figure >= bound;
  if nargin > 3 && at_most
    met = figure <= bound;
  end
  verdicts = {'not met', 'met'};
  printf('    target: %s: %.2f, %s\n', what, figure, verdicts{met + 1});
end

function size_report(label, ours, peer, theirs)
  printf('  %-44s %10.1f MB   %-24s %10.1f MB   ratio %7.2f\n', label, ours, peer, theirs, ...
         ours / theirs);
end

function n = host_arrays(tree)
  % The host arrays of a tree: the struct, its fields, the elements of its
  % cells that are set (an unset element reads as a 0-by-0 []).
  n = 1;
  for f = fieldnames(tree)'
    value = tree.(f{1});
    n = n + 1;
    if iscell(value)
      n = n + nnz(cellfun('size', value, 1) > 0 | cellfun('size', value, 2) > 0);
    end
  end
end

function figures = child_figures(what, environment)
  % fresh_fit's figures, from a fresh host process, started with the
  % variables ENVIRONMENT sets ('NAME=value ', or none).
  if nargin < 2
    environment = '';
  end
  here = fileparts(mfilename('fullpath'));
  command = sprintf('%s%s --no-history --norc --quiet --eval "addpath(''%s''); addpath(''%s''); fresh_fit(''%s'')"', ...
                    environment, fullfile(OCTAVE_HOME, 'bin', 'octave-cli'), ...
                    fileparts(which('forestfit')), here, what);
  [status, out] = system(command);
  figures = str2double(regexp(out, '[-0-9.]+(?=\s|$)', 'match'));
  if status ~= 0 || isempty(figures) || any(isnan(figures))
    printf('  (the child process for %s failed: %s)\n', what, strtrim(out));
    figures = [];
  end
end

function report_peers(label, ours, Z, y, levels, repeats, targets)
  % scikit-learn and ranger on 1 and 2 threads against forestfit's times
  % OURS on 1 and 2; TARGETS(t, peer): how many times faster forestfit
  % should be on t threads (none when empty).
  here = fileparts(mfilename('fullpath'));
  file = [tempname() '.bin'];
  fid = fopen(file, 'w');
  fwrite(fid, [Z(:); y(:)], 'double');
  fclose(fid);
  cleanup = onCleanup(@() delete(file));
  categorical = strjoin(arrayfun(@num2str, [0, find(levels > 0)], 'UniformOutput', false), ',');
  peers = {'sklearn RandomForest', '/usr/bin/python3', 'forestfit_sklearn.py', '', ...
           'apt-get install python3-sklearn'; ...
           'ranger', '/usr/bin/Rscript', 'forestfit_ranger.R', categorical, ...
           'apt-get install r-cran-ranger'};
  for k = 1:rows(peers)
    [name, program, script, extra, install] = peers{k, :};
    for threads = 1:2
      line = sprintf('%s, %d thread%s', label, threads, repmat('s', 1, threads > 1));
      if ~exist(program, 'file')
        printf('  %-44s (no %s: %s peer skipped; %s)\n', line, program, name, install);
        break;
      end
      [status, out] = system(sprintf('%s %s %s %d %d %d %d %s', program, ...
                                     fullfile(here, script), file, rows(Z), columns(Z), ...
                                     repeats, threads, extra));
      theirs = str2double(strtrim(out));
      if status ~= 0 || isnan(theirs)
        printf('  %-44s (%s not available: peer skipped; %s)\n', line, name, install);
        break;
      end
      bench_report(line, ours(threads), theirs, sprintf('%s n=%d', name, threads));
      if ~isempty(targets)
        target(sprintf('at least %.4g times faster than %s', targets(threads, k), name), ...
               theirs / ours(threads), targets(threads, k));
      end
    end
  end
end
