function bench_model_quality()
% BENCH_MODEL_QUALITY  What forestfit's info and capped runs are worth, on
%   fixed seeds: the out-of-bag error against the error on fresh runs of
%   the same pairs; permutation importance against the variables the
%   response uses; the marginal means of capped (runtime-like) data against
%   the truth, imputed, with the bounds taken as values, and with the capped
%   runs dropped; and what out-of-bag predictions and importance add to a
%   fit's time.

  % Out-of-bag error: 40 trees, 50,000 runs; fresh runs are new draws of
  % the noise on the same pairs.
  [Theta, X, runs, y, levels] = road_runs(10000, 1000, 50000, 31);
  opts = struct('num_trees', 40, 'mtry', 3, 'min_leaf', 3, 'seed', 1, 'verbose', false);
  [forest, info] = forestfit(Theta, X, runs, y, levels, opts);
  [~, ~, ~, y_fresh] = road_runs(10000, 1000, 50000, 31, 32);
  fresh = sqrt(mean((forestcast(forest, [Theta(runs(:, 1), :), X(runs(:, 2), :)]) - y_fresh) .^ 2));
  printf('  %-44s %10.4f     %-24s %10.4f     ratio %7.3f\n', 'out-of-bag rmse, 50000 runs, 40 trees', ...
         info.oob_rmse, 'rmse on fresh runs', fresh, info.oob_rmse / fresh);
  printf('    target: within 10%% of the fresh error: %.1f%%, %s\n', ...
         100 * abs(info.oob_rmse / fresh - 1), verdict(abs(info.oob_rmse / fresh - 1) <= 0.1));

  % Permutation importance: the response uses variables 1, 2, 3 and 6 and
  % ignores 4, 5 and 7.
  rand('state', 33);  randn('state', 33);
  Theta = [rand(500, 2), randi(3, 500, 1), rand(500, 1), randi(4, 500, 1)];
  X = rand(300, 2);
  runs = int32([randi(500, 20000, 1), randi(300, 20000, 1)]);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  y = 2 * Z(:, 1) + Z(:, 2) .* Z(:, 6) + 0.5 * (Z(:, 3) == 2) + 0.2 * randn(20000, 1);
  [~, info] = forestfit(Theta, X, runs, y, [0 0 3 0 4 0 0], ...
                        struct('num_trees', 20, 'importance', 'permutation', 'seed', 1, ...
                               'verbose', false));
  used = [1 2 3 6];
  ignored = [4 5 7];
  printf('  %-44s %s\n', 'permutation importance, variables 1..7', ...
         sprintf('%.4f ', info.importance));
  printf('    target: every used variable (1 2 3 6) above every ignored one (4 5 7): %s\n', ...
         verdict(min(info.importance(used)) > max(info.importance(ignored))));

  % Capped runs: a log runtime, the runs beyond a cap stopped there.
  gains = zeros(5, 2);
  for seed = 1:5
    gains(seed, :) = capped_gains(40 + seed);
  end
  gain = median(gains);
  printf('  %-44s %10.1f%%    %-24s %10.1f%%\n', 'capped runs, marginal rmse cut vs bounds', ...
         100 * gain(1), 'vs dropping them', 100 * gain(2));
  printf('    target: at least 30%% and 20%% closer (median of 5 seeds): %s\n', ...
         verdict(gain(1) >= 0.3 && gain(2) >= 0.2));

  % What info costs: 10 trees, 50,000 runs, one thread.
  [Theta, X, runs, y, levels] = road_runs(10000, 1000, 50000, 11);
  opts = struct('num_trees', 10, 'mtry', 3, 'min_leaf', 3, 'seed', 1, 'num_threads', 1, ...
                'verbose', false);
  times = zeros(7, 3);
  for r = 1:size(times, 1)
    start = tic;
    forest = forestfit(Theta, X, runs, y, levels, opts);
    times(r, 1) = toc(start);
    start = tic;
    [forest, info] = forestfit(Theta, X, runs, y, levels, opts);
    times(r, 2) = toc(start);
    start = tic;
    [forest, info] = forestfit(Theta, X, runs, y, levels, setfield(opts, 'importance', 'permutation'));
    times(r, 3) = toc(start);
  end
  t = median(times);
  bench_report('forestfit with info (impurity)', t(2), t(1), 'forestfit alone');
  printf('    target: at most 15%% more: %+.1f%%, %s\n', 100 * (t(2) / t(1) - 1), ...
         verdict(t(2) / t(1) <= 1.15));
  bench_report('forestfit with info (permutation)', t(3), t(1), 'forestfit alone');
  printf('    target: at most twice the time: %.2fx, %s\n', t(3) / t(1), verdict(t(3) / t(1) <= 2));
end

function gains = capped_gains(seed)
  % How much closer to the truth the marginal means of imputed runs are,
  % against the bounds taken as values and against the capped runs dropped.
  rand('state', seed);  randn('state', seed);
  K = 60;  N = 200;  R = 8000;
  Theta = [rand(K, 2), randi(3, K, 1)];
  X = rand(N, 2);
  runs = int32([randi(K, R, 1), randi(N, R, 1)]);
  truth = @(Z) 1 + 2 * Z(:, 1) + 0.5 * (Z(:, 3) == 2) + 1.5 * Z(:, 4) .* Z(:, 2);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  y = truth(Z) + 0.4 * randn(R, 1);
  cap = quantile(y, 0.65);                     % about 35% of runs capped
  capped = y > cap;
  y = min(y, cap);
  [ci, ii] = ndgrid(1:K, 1:N);
  exact = mean(reshape(truth([Theta(ci(:), :), X(ii(:), :)]), K, N), 2);
  levels = [0 0 3 0 0];
  opts = struct('num_trees', 20, 'seed', 1, 'verbose', false);
  err = @(forest) sqrt(mean((forestmargins(forest, Theta, X) - exact) .^ 2));
  imputed = err(forestfit(Theta, X, runs, y, levels, setfield(opts, 'censored', capped)));
  bounds = err(forestfit(Theta, X, runs, y, levels, opts));
  dropped = err(forestfit(Theta, X, runs(~capped, :), y(~capped), levels, opts));
  gains = [1 - imputed / bounds, 1 - imputed / dropped];
end

function word = verdict(met)
  words = {'not met', 'met'};
  word = words{met + 1};
end
