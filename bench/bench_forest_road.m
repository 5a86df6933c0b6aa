function bench_forest_road(n_conf, n_inst)
% The forest road (nodeharvest per tree, then poolmargins) for every
% configuration's mean over all instances, against what a user would
% otherwise do: treecast on every (configuration, instance) pair and
% average. The brute force is timed on a subset of the configurations
% and scaled up to all of them. Default size: 10,000 configurations,
% 1,000 instances, 10 trees of about 2,000 nodes grown by the example
% learner on runs of a synthetic algorithm-performance function.
  if nargin < 2
    n_conf = 10000;
    n_inst = 1000;
  end
  root = fileparts(fileparts(mfilename('fullpath')));
  addpath(fullfile(root, 'examples'));
  rand('state', 11);  randn('state', 11);
  n_trees = 10;

  % Parameters: 2 continuous, 2 categorical; instance features: 3.
  Theta = [rand(n_conf, 2), randi(3, n_conf, 1), randi(4, n_conf, 1)];
  X = rand(n_inst, 3);
  levels = [0 0 3 4 0 0 0];
  n_runs = 20000;
  runs = [randi(n_conf, n_runs, 1), randi(n_inst, n_runs, 1)];
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  restart = [0; -0.4; 0.3];
  y = 1 + 2 * Z(:, 5) + 3 * (Z(:, 1) - 0.2 - 0.6 * Z(:, 6)) .^ 2 + 0.8 * Z(:, 2) .* Z(:, 5) ...
      + restart(Z(:, 3)) + 1.2 * Z(:, 6) .* (Z(:, 3) == 2) + 0.1 * Z(:, 4) ...
      + 0.15 * randn(n_runs, 1);
  forest = grow_forest(Z, y, levels, n_trees, struct('mtry', 3, 'min_leaf', 3, ...
                                                     'max_nodes', 2001));
  nodes = mean(cellfun(@(f) numel(f.var), forest));

  [means, ~, ~, leaves] = forest_marginals(forest, Theta, X);
  cells = sum(cellfun(@numel, leaves));
  subset = 1:max(1, round(n_conf / 200));
  brute = brute_force_means(forest, Theta(subset, :), X);
  assert(max(abs(means(subset) - brute) ./ max(abs(brute), 1)) < 1e-12);

  ours = bench_time(@() forest_marginals(forest, Theta, X), 3);
  pool_only = bench_time(@() poolmargins(leaves, int32(n_conf), int32(n_inst), int32(0)), 3);
  theirs = bench_time(@() brute_force_means(forest, Theta(subset, :), X), 3) ...
           * n_conf / numel(subset);
  label = sprintf('road, %d trees of %.0f nodes, %dx%d', n_trees, nodes, n_conf, n_inst);
  bench_report(label, ours, theirs, sprintf('treecast pairs (x%d)', n_conf / numel(subset)));
  printf('  (of which poolmargins on %d leaf cells: %.4f s)\n', cells, pool_only);
end
