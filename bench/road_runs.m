function [Theta, X, runs, y, levels] = road_runs(n_conf, n_inst, n_runs, seed, noise_seed)
% ROAD_RUNS  The forest benchmarks' runs: configurations of 2 ordered and 2
%   categorical parameters, instances of 3 features, responses mixing both.
%   NOISE_SEED (default SEED) draws the responses' noise anew for the same
%   pairs.
  rand('state', seed);  randn('state', seed);
  Theta = [rand(n_conf, 2), randi(3, n_conf, 1), randi(4, n_conf, 1)];
  X = rand(n_inst, 3);
  levels = [0 0 3 4 0 0 0];
  runs = int32([randi(n_conf, n_runs, 1), randi(n_inst, n_runs, 1)]);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  restart = [0; -0.4; 0.3];
  y = 1 + 2 * Z(:, 5) + 3 * (Z(:, 1) - 0.2 - 0.6 * Z(:, 6)) .^ 2 + 0.8 * Z(:, 2) .* Z(:, 5) ...
      + restart(Z(:, 3)) + 1.2 * Z(:, 6) .* (Z(:, 3) == 2) + 0.1 * Z(:, 4);
  if nargin > 4
    randn('state', noise_seed);
  end
  y = y + 0.15 * randn(n_runs, 1);
end
