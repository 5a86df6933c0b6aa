function bench_forestfit()
% BENCH_FORESTFIT  Fitting a forest from runs: forestfit against the
%   example learner grow_forest (on the pair matrix it needs) and, when
%   /usr/bin/python3 has scikit-learn, its RandomForestRegressor on the
%   same pair matrix (fit alone). All with 10 trees, 3 variables tried per
%   split, leaves of at least 3 runs, bootstrap samples, one thread.
%   Cases: the forest road's 20,000 runs (10,000 configurations, 1,000
%   instances, 7 variables) and 10^6 runs over 1,000 x 1,000. grow_forest
%   is timed on fewer trees or runs and scaled up linearly, which favours it
%   (a tree's cost grows faster than its runs). forestfit is timed on the
%   fit alone, as the peers are: the clock stops when the forest is
%   returned, before the host frees it.
  root = fileparts(fileparts(mfilename('fullpath')));
  addpath(fullfile(root, 'examples'));
  opts = struct('num_trees', 10, 'mtry', 3, 'min_leaf', 3, 'seed', 1);
  peer_opts = struct('mtry', 3, 'min_leaf', 3);

  % The forest road's runs.
  [Theta, X, runs, y, levels] = road_runs(10000, 1000, 20000, 11);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  fit = @() forestfit(Theta, X, runs, y, levels, opts);
  ours = fit_time(fit, 11);             % a fit is short: medians of many
  start = tic;
  grow_forest(Z, y, levels, 2, peer_opts);
  theirs = toc(start) * 5;
  bench_report('forestfit, 20000 runs, 10 trees', ours, theirs, 'grow_forest 2 trees (x5)');
  report_sklearn('forestfit, 20000 runs, 10 trees', ours, Z, y, 11);

  % 10^6 runs over 1,000 configurations and 1,000 instances.
  [Theta, X, runs, y, levels] = road_runs(1000, 1000, 1e6, 12);
  fit = @() forestfit(Theta, X, runs, y, levels, opts);
  ours = fit_time(fit, 3);
  subset = 1:20000;
  Zs = [Theta(runs(subset, 1), :), X(runs(subset, 2), :)];
  start = tic;
  grow_forest(Zs, y(subset), levels, 1, peer_opts);
  theirs = toc(start) * 10 * rows(runs) / numel(subset);
  bench_report('forestfit, 1e6 runs 1000x1000, 10 trees', ours, theirs, ...
               'grow_forest 20000 runs (x500)');
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  report_sklearn('forestfit, 1e6 runs 1000x1000, 10 trees', ours, Z, y, 1);
end

function t = fit_time(fit, repeats)
  % Median time of REPEATS fits after a warm-up one.
  forest = fit();
  clear forest;
  times = zeros(repeats, 1);
  for r = 1:repeats
    start = tic;
    forest = fit();
    times(r) = toc(start);
    clear forest;
  end
  t = median(times);
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

function report_sklearn(label, ours, Z, y, repeats)
  python = '/usr/bin/python3';
  script = fullfile(fileparts(mfilename('fullpath')), 'forestfit_sklearn.py');
  if ~exist(python, 'file')
    printf('  %-44s (no %s: scikit-learn peer skipped)\n', label, python);
    return;
  end
  file = [tempname() '.bin'];
  fid = fopen(file, 'w');
  fwrite(fid, [Z(:); y(:)], 'double');
  fclose(fid);
  [status, out] = system(sprintf('%s %s %s %d %d %d', python, script, file, rows(Z), ...
                                 columns(Z), repeats));
  delete(file);
  theirs = str2double(strtrim(out));
  if status ~= 0 || isnan(theirs)
    printf('  %-44s (scikit-learn not available: peer skipped)\n', label);
    return;
  end
  bench_report(label, ours, theirs, 'sklearn RandomForest fit');
end
