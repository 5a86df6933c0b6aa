function forest_demo()
% FOREST_DEMO  From measured runs to every configuration's predicted
% performance over all instances, without forming the pairs.
%
% The setting: an algorithm with four parameters is run on problem
% instances described by three features; each run's performance (say, a
% log runtime) is measured. We want, for every configuration, the
% performance averaged over all instances: the quantity an algorithm
% configurator ranks configurations by.
%
%   1. Make a data set with a fixed seed (see performance() below for the
%      documented synthetic performance function).
%   2. Fit a random forest of regression trees over the joint rows
%      [configuration parameters, instance features] from the runs
%      (FORESTFIT), timed beside the example learner GROW_FOREST.
%   3. Predict held-out runs (FORESTCAST) and report the error.
%   4. For every configuration, the forest's marginal mean and variance
%      over all instances: FORESTMARGINS in one call, checked against the
%      road it replaces (nodeharvest per tree, then poolmargins on the
%      trimmed leaf cells) and against averaging treecast over every
%      (configuration, instance) pair, and all three timed.
%
% Configuration parameters (columns of Theta):
%   1 alpha    continuous in [0, 1]
%   2 beta     continuous in [0, 1]
%   3 restart  categorical, policies 1..3
%   4 preproc  categorical, preprocessing levels 1..4
% Instance features (columns of X):
%   1 size      continuous in [0, 1] (a scaled log of the instance size)
%   2 hardness  continuous in [0, 1]
%   3 density   continuous in [0, 1] (does not affect performance)
%
% See also FORESTFIT, FORESTCAST, FORESTMARGINS, NODEHARVEST, POOLMARGINS,
% TREECAST, GROW_FOREST, TREE_DEMO.

  seed_generators(20261208);
  n_conf = 1000;
  n_inst = 300;
  n_train = 8000;
  n_test = 2000;
  n_trees = 10;

  % 1. The data set.
  Theta = [rand(n_conf, 2), randi(3, n_conf, 1), randi(4, n_conf, 1)];
  X = rand(n_inst, 3);
  levels = [0 0 3 4, 0 0 0];            % categories per variable, 0: ordered
  runs = [randi(n_conf, n_train + n_test, 1), randi(n_inst, n_train + n_test, 1)];
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  y = performance(Z) + 0.15 * randn(rows_of(Z), 1);
  train = 1:n_train;
  test = n_train + 1:n_train + n_test;
  say(['data: %d configurations (2 continuous, 2 categorical parameters), %d instances ' ...
       '(3 features), %d measured runs (%d for training, %d held out)\n'], ...
      n_conf, n_inst, n_train + n_test, n_train, n_test);

  % 2. The forest, fitted from the runs themselves by forestfit (no pair
  %    matrix), and timed beside the example learner on the pair matrix.
  opts = struct('num_trees', n_trees, 'mtry', 3, 'min_leaf', 8, 'seed', 1);
  start = tic;
  forest = forestfit(Theta, X, int32(runs(train, :)), y(train), levels, opts);
  fit_time = toc(start);
  for t = 1:n_trees
    say('  tree %2d/%d: %4d nodes, %4d leaves\n', t, n_trees, numel(forest{t}.var), ...
        sum(forest{t}.var == 0));
  end
  say('forest: %d trees on bootstrap samples, %d of 7 variables tried per split\n', ...
      n_trees, opts.mtry);
  say('  the example learner grow_forest on the pair matrix, for comparison...\n');
  start = tic;
  grow_forest(Z(train, :), y(train), levels, n_trees, struct('mtry', 3, 'min_leaf', 8));
  example_time = toc(start);
  say('  fit: forestfit %.3f s, grow_forest %.1f s (%.0fx)\n', fit_time, example_time, ...
      example_time / fit_time);

  % 3. Held-out runs.
  start = tic;
  predicted = forestcast(forest, Z(test, :));   % forest_predict's bits, in one call
  cast_time = toc(start);
  start = tic;
  forest_predict(forest, Z(test, :));
  predict_time = toc(start);
  rmse = sqrt(mean((predicted - y(test)) .^ 2));
  baseline = sqrt(mean((mean(y(train)) - y(test)) .^ 2));
  say(['held-out runs: RMSE %.3f (noise 0.150; predicting the training mean: %.3f); ' ...
       'forestcast %.4f s, forest_predict %.4f s\n'], rmse, baseline, cast_time, predict_time);

  % 4. Every configuration's marginal over all instances: forestmargins in
  %    one call, the road it replaces (nodeharvest per tree, then
  %    poolmargins), and brute force over every pair.
  [means, vars] = forestmargins(forest, Theta, X);
  start = tic;                          % timed again, with the module loaded
  forestmargins(forest, Theta, X);
  one_call_time = toc(start);
  [road_means, road_vars] = forest_marginals(forest, Theta, X);
  start = tic;
  forest_marginals(forest, Theta, X);
  road_time = toc(start);
  if ~isequal(means, road_means) || ~isequal(vars, road_vars)
    error('forest_demo: forestmargins differs from the road');
  end

  say('brute force: treecast on all %d (configuration, instance) pairs per tree...\n', ...
      n_conf * n_inst);
  start = tic;
  [ci, ii] = ndgrid(1:n_conf, 1:n_inst);
  pairs = forest_predict(forest, [Theta(ci(:), :), X(ii(:), :)]);
  brute = mean(reshape(pairs, n_conf, n_inst), 2);
  brute_time = toc(start);

  worst = max(abs(means - brute) ./ max(abs(brute), 1));
  say(['marginals: forestmargins %.4f s, nodeharvest + poolmargins %.3f s (the same bits), ' ...
       'brute force %.3f s; largest relative difference from brute force %.1e\n'], ...
      one_call_time, road_time, brute_time, worst);
  if ~(worst < 1e-10)
    error('forest_demo: the marginal means differ from brute-force averaging');
  end

  truth = mean(reshape(performance([Theta(ci(:), :), X(ii(:), :)]), n_conf, n_inst), 2);
  [~, order] = sort(means);
  say('\nbest configurations by predicted mean over all %d instances:\n', n_inst);
  say('  rank  config  alpha   beta  restart  preproc    mean   variance   true mean\n');
  for r = 1:8
    k = order(r);
    say('  %4d  %6d  %5.2f  %5.2f  %7d  %7d  %6.3f  %9.4f  %10.3f\n', r, k, Theta(k, 1), ...
        Theta(k, 2), Theta(k, 3), Theta(k, 4), means(k), vars(k), truth(k));
  end
  [~, best_true] = min(truth);
  say('the truly best configuration (%d) is ranked %d of %d\n', best_true, ...
      find(order == best_true), n_conf);
end

function y = performance(Z)
% The synthetic performance of a run, without noise (lower is better).
% Z holds [alpha beta restart preproc size hardness density] per row.
%   1 + 2 size                                 larger instances take longer
%   + 3 (alpha - (0.2 + 0.6 hardness))^2       the best alpha grows with hardness
%   + 0.8 beta size                            beta costs more on large instances
%   + [0 -0.4 0.3](restart)                    restart policy 2 is fastest...
%   + 1.2 hardness [restart == 2]              ...except on hard instances
%   + [0.2 0 -0.3 0.1](preproc)                preprocessing level 3 helps
  alpha = Z(:, 1);
  beta = Z(:, 2);
  restart = Z(:, 3);
  preproc = Z(:, 4);
  size_ = Z(:, 5);
  hardness = Z(:, 6);
  restart_effect = [0; -0.4; 0.3];
  preproc_effect = [0.2; 0; -0.3; 0.1];
  y = 1 + 2 * size_ + 3 * (alpha - (0.2 + 0.6 * hardness)) .^ 2 + 0.8 * beta .* size_ ...
      + restart_effect(restart) + 1.2 * hardness .* (restart == 2) + preproc_effect(preproc);
end

function n = rows_of(a)
  n = size(a, 1);
end

function seed_generators(seed)
  if exist('OCTAVE_VERSION', 'builtin')
    rand('state', seed);
    randn('state', seed);
  else
    rng(seed);
  end
end

function say(varargin)
  % Progress lines appear as they are printed.
  fprintf(varargin{:});
  if exist('OCTAVE_VERSION', 'builtin')
    fflush(stdout);
  end
end
