function bench_forestfit()
% BENCH_FORESTFIT  Fitting a forest from runs: forestfit on 2 threads
%   against 1, against the example learner grow_forest (on the pair matrix
%   it needs), and against two peers on the same pair matrix at equal
%   thread counts, fit alone: scikit-learn's RandomForestRegressor (n_jobs;
%   /usr/bin/python3 with python3-sklearn) and ranger (num.threads;
%   Rscript with r-cran-ranger, categorical columns as factors ordered by
%   mean response, respect.unordered.factors = "order"). A missing peer is
%   skipped with a note. All with 10 trees, 3 variables tried per split,
%   leaves of at least 3 runs, bootstrap samples.
%   Cases: the forest road's 20,000 runs (10,000 configurations, 1,000
%   instances, 7 variables) and 10^6 runs over 1,000 x 1,000. grow_forest
%   is timed on fewer trees or runs and scaled up linearly, which favours it
%   (a tree's cost grows faster than its runs). forestfit is timed on the
%   fit alone, as the peers are: the clock stops when the forest is
%   returned, before the host frees it. Last, the default forest's size
%   (responses at the leaves) against ysub = 'all'.
  root = fileparts(fileparts(mfilename('fullpath')));
  addpath(fullfile(root, 'examples'));
  opts = struct('num_trees', 10, 'mtry', 3, 'min_leaf', 3, 'seed', 1);
  peer_opts = struct('mtry', 3, 'min_leaf', 3);
  one = setfield(opts, 'num_threads', 1);
  two = setfield(opts, 'num_threads', 2);

  % The forest road's runs.
  [Theta, X, runs, y, levels] = road_runs(10000, 1000, 20000, 11);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  [ours1, ours2] = fit_times(@() forestfit(Theta, X, runs, y, levels, one), ...
                             @() forestfit(Theta, X, runs, y, levels, two), 11);
  bench_report('forestfit road, 2 threads vs 1', ours2, ours1, 'forestfit 1 thread');
  start = tic;
  grow_forest(Z, y, levels, 2, peer_opts);
  theirs = toc(start) * 5;
  bench_report('forestfit road, 1 thread', ours1, theirs, 'grow_forest 2 trees (x5)');
  report_peers('forestfit road', [ours1, ours2], Z, y, levels, 11);

  % 10^6 runs over 1,000 configurations and 1,000 instances.
  [Theta, X, runs, y, levels] = road_runs(1000, 1000, 1e6, 12);
  [ours1, ours2] = fit_times(@() forestfit(Theta, X, runs, y, levels, one), ...
                             @() forestfit(Theta, X, runs, y, levels, two), 3);
  bench_report('forestfit 1e6 runs, 2 threads vs 1', ours2, ours1, 'forestfit 1 thread');
  subset = 1:20000;
  Zs = [Theta(runs(subset, 1), :), X(runs(subset, 2), :)];
  start = tic;
  grow_forest(Zs, y(subset), levels, 1, peer_opts);
  theirs = toc(start) * 10 * rows(runs) / numel(subset);
  bench_report('forestfit 1e6 runs, 1 thread', ours1, theirs, 'grow_forest 20000 runs (x500)');
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  report_peers('forestfit 1e6 runs', [ours1, ours2], Z, y, levels, 1);
  clear Z Zs;

  % What the forest holds: responses at the leaves only, against every node's.
  leaves = forestfit(Theta, X, runs, y, levels, opts);
  all = forestfit(Theta, X, runs, y, levels, setfield(opts, 'ysub', 'all'));
  sizes = whos('leaves', 'all');
  printf('  %-44s %10.1f MB   %-24s %10.1f MB   ratio %7.2fx\n', ...
         'forest 1e6 runs, ysub leaves (default)', sizes(1).bytes / 1e6, 'ysub all', ...
         sizes(2).bytes / 1e6, sizes(2).bytes / sizes(1).bytes);
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

function [Theta, X, runs, y, levels] = road_runs(n_conf, n_inst, n_runs, seed)
  % The forest road benchmark's configurations, instances and responses.
  rand('state', seed);  randn('state', seed);
  Theta = [rand(n_conf, 2), randi(3, n_conf, 1), randi(4, n_conf, 1)];
  X = rand(n_inst, 3);
  levels = [0 0 3 4 0 0 0];
  runs = int32([randi(n_conf, n_runs, 1), randi(n_inst, n_runs, 1)]);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  restart = [0; -0.4; 0.3];
  y = 1 + 2 * Z(:, 5) + 3 * (Z(:, 1) - 0.2 - 0.6 * Z(:, 6)) .^ 2 + 0.8 * Z(:, 2) .* Z(:, 5) ...
      + restart(Z(:, 3)) + 1.2 * Z(:, 6) .* (Z(:, 3) == 2) + 0.1 * Z(:, 4) ...
      + 0.15 * randn(n_runs, 1);
end

function report_peers(label, ours, Z, y, levels, repeats)
  % scikit-learn and ranger on 1 and 2 threads against forestfit's times
  % OURS on 1 and 2.
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
    end
  end
end
