function result = configuration_loop(opts)
% CONFIGURATION_LOOP  A model-based configuration loop on a synthetic
%   algorithm, with runs stopped at a time cap: fit a forest to the runs so
%   far, propose the configuration of highest expected improvement, run
%   it, refit, until the budget of runs is spent.
%
%   result = configuration_loop
%   result = configuration_loop(opts)
%
%   opts    struct, every field optional:
%             seed     integer seeding the instances, the runs' noise and
%                      the proposals (default 1)
%             budget   runs in all (default 600)
%             search   'forest' (default): the loop; 'random': random
%                      search at the same budget, for comparison
%             verbose  print the loop's progress (default true)
%
%   The algorithm (synthetic, see performance() in this file): six
%   parameters, alpha, beta and gamma in [0, 1], depth an integer in
%   1..12, restart a policy 1..3 and heuristic 1..4, run on 200 instances
%   with three features. A run's response is its log10 runtime, the true
%   mean of its (configuration, instance) pair plus noise; a run that would
%   take longer than the cap (10^2.5 s) is stopped there and gives only the
%   lower bound 2.5 (capped).
%
%   The loop: 10 random configurations, each run on 5 random instances;
%   then, while runs remain, fit a forest to all runs, take as incumbent
%   the configuration run so far of lowest predicted mean over all
%   instances, ask forest_propose for the next configuration (starting its
%   search from the incumbent too), and run that on 5 random instances.
%   The final incumbent is chosen the same way from the last forest.
%   Random search runs every configuration on the same 5 instances (at
%   the same budget: 120 configurations) and keeps the one of lowest mean
%   response.
%
%   result: struct with fields
%     incumbent   1-by-6, the configuration chosen
%     true_mean   its true mean log10 runtime over all instances
%     best_mean   the best true mean over the random configurations the
%                 space's first 1,000 draws (seed 0) give (a yardstick)
%     Theta, runs, y, capped   the configurations run and the runs:
%                 run j paired Theta(runs(j,1),:) with X(runs(j,2),:),
%                 responded y(j), and capped(j) says y(j) is a lower bound
%     X, space, levels, names, forest   the instances, the space, the
%                 levels forestfit took, the parameters' names and the
%                 last forest (empty for random search)
%
%   Everything random comes from forest_propose's generator, seeded by
%   opts.seed: a seed gives the same loop in Octave and MATLAB, and the
%   host's random state is untouched.
%
%   Example (examples/ on the path):
%     result = configuration_loop(struct('budget', 300, 'verbose', false));
%     result.incumbent, result.true_mean
%     baseline = configuration_loop(struct('budget', 300, 'search', 'random', 'verbose', false));
%     baseline.true_mean
%     forest_effects(result.forest, result.X, result.space, [], struct('names', {result.names}))
%
%   See also FOREST_PROPOSE, FOREST_EFFECTS, FORESTFIT, FORESTMARGINS.
  caller = 'configuration_loop';
  if nargin < 1
    opts = struct();
  end
  opts = options_checked(opts, struct('seed', 1, 'budget', 600, 'search', 'forest', ...
                                      'verbose', true), caller);
  if ~any(strcmp(opts.search, {'forest', 'random'}))
    error('%s: opts.search must be ''forest'' or ''random''', caller);
  end
  gen = draw_stream(opts.seed, caller);
  names = {'alpha', 'beta', 'gamma', 'depth', 'restart', 'heuristic'};
  space = struct('lower', [0 0 0 1 1 1], 'upper', [1 1 1 12 3 4], 'levels', [0 0 0 0 3 4], ...
                 'integer', [false false false true false false]);
  levels = [space.levels, 0 0 0];
  [u, gen] = draw_uniform(gen, 600);
  X = reshape(u, 200, 3);                       % size, hardness, structure
  result = struct('incumbent', [], 'true_mean', NaN, 'best_mean', NaN, 'Theta', [], ...
                  'runs', zeros(0, 2, 'int32'), 'y', zeros(0, 1), 'capped', false(0, 1), ...
                  'X', X, 'space', space, 'levels', levels, 'names', {names}, 'forest', {{}});
  if strcmp(opts.search, 'random')
    [result, gen] = random_search(result, opts.budget, gen);
  else
    [result, gen] = model_search(result, opts, gen);
  end
  result.true_mean = mean(performance(repmat(result.incumbent, size(X, 1), 1), X));
  yardstick = space_random(space, 1000, draw_stream(0, caller));
  result.best_mean = min(mean(reshape(performance(kron(yardstick, ones(size(X, 1), 1)), ...
                                                  repmat(X, 1000, 1)), size(X, 1), 1000), 1));
  if opts.verbose
    say('%s search, %d runs (%d capped): incumbent [%s], true mean %.3f (best of 1,000 random: %.3f)\n', ...
        opts.search, numel(result.y), sum(result.capped), num2str(result.incumbent, '%.3g  '), ...
        result.true_mean, result.best_mean);
  end
end

function [result, gen] = model_search(result, opts, gen)
  per = 5;                                      % runs per new configuration
  [result.Theta, gen] = space_random(result.space, 10, gen);
  [result, gen] = run_new(result, 1:10, per, gen);
  step = 0;
  while true
    step = step + 1;
    forest = fit(result, step);
    means = forestmargins(forest, result.Theta, result.X);
    [best, k] = min(means);
    if numel(result.y) + per > opts.budget
      break;
    end
    next = forest_propose(forest, result.X, result.space, best, ...
                          struct('start', result.Theta(k, :), 'seed', opts.seed * 1000 + step));
    row = find(ismember(result.Theta, next, 'rows'), 1);
    if isempty(row)
      result.Theta = [result.Theta; next];
      row = size(result.Theta, 1);
    end
    [result, gen] = run_new(result, row, per, gen);
    if opts.verbose && mod(step, 10) == 0
      say('  step %3d: %4d runs, %3d configurations; incumbent predicted %.3f\n', step, ...
          numel(result.y), size(result.Theta, 1), best);
    end
  end
  result.forest = forest;
  result.incumbent = result.Theta(k, :);
end

function forest = fit(result, seed)
  % Capped runs are imputed above their bounds (forestfit's opts.censored).
  forest = forestfit(result.Theta, result.X, result.runs, result.y, result.levels, ...
                     struct('num_trees', 10, 'seed', seed, 'censored', result.capped));
end

function [result, gen] = random_search(result, budget, gen)
  per = 5;                                      % the same instances for all
  count = floor(budget / per);
  [result.Theta, gen] = space_random(result.space, count, gen);
  [u, gen] = draw_uniform(gen, per);
  chosen = 1 + floor(u * size(result.X, 1));
  result.runs = int32([kron((1:count)', ones(per, 1)), repmat(chosen, count, 1)]);
  [result.y, result.capped, gen] = run_algorithm(result.Theta(result.runs(:, 1), :), ...
                                                 result.X(result.runs(:, 2), :), gen);
  [~, k] = min(mean(reshape(result.y, per, count), 1));
  result.incumbent = result.Theta(k, :);
end

function [result, gen] = run_new(result, configurations, per, gen)
  % Each configuration on per instances drawn at random.
  [u, gen] = draw_uniform(gen, per * numel(configurations));
  runs = int32([kron(configurations(:), ones(per, 1)), 1 + floor(u * size(result.X, 1))]);
  [y, capped, gen] = run_algorithm(result.Theta(runs(:, 1), :), result.X(runs(:, 2), :), gen);
  result.runs = [result.runs; runs];
  result.y = [result.y; y];
  result.capped = [result.capped; capped];
end

function [y, capped, gen] = run_algorithm(Theta, X, gen)
  % One run per row: the true mean plus noise, stopped at the cap.
  cap = 2.5;
  [noise, gen] = draw_normal(gen, size(Theta, 1));
  y = performance(Theta, X) + 0.25 * noise;
  capped = y > cap;
  y(capped) = cap;
end

function mu = performance(Theta, X)
% The true mean log10 runtime of each (configuration, instance) row pair.
%   0.3 + 1.2 size                                  larger instances take longer
%   + 2 (alpha - (0.2 + 0.6 hardness))^2            the best alpha grows with hardness
%   + 1.2 (beta - 0.65)^2 (1 + size)
%   + 0.15 gamma                                    gamma barely matters
%   + 0.03 (depth - 6 - 4 structure)^2              deeper on structured instances
%   + [0.25 0 0.4](restart) + 0.6 hardness [restart == 2]
%   + [0.3 0 0.15 0.5](heuristic) + 0.7 structure [heuristic == 2]
%                                 - 0.3 structure [heuristic == 3]
  sz = X(:, 1);
  hardness = X(:, 2);
  structure = X(:, 3);
  restart = [0.25; 0; 0.4];
  heuristic = [0.3; 0; 0.15; 0.5];
  mu = 0.3 + 1.2 * sz + 2 * (Theta(:, 1) - (0.2 + 0.6 * hardness)) .^ 2 ...
       + 1.2 * (Theta(:, 2) - 0.65) .^ 2 .* (1 + sz) + 0.15 * Theta(:, 3) ...
       + 0.03 * (Theta(:, 4) - 6 - 4 * structure) .^ 2 ...
       + restart(Theta(:, 5)) + 0.6 * hardness .* (Theta(:, 5) == 2) ...
       + heuristic(Theta(:, 6)) + 0.7 * structure .* (Theta(:, 6) == 2) ...
       - 0.3 * structure .* (Theta(:, 6) == 3);
end

function say(varargin)
  fprintf(varargin{:});
  if exist('OCTAVE_VERSION', 'builtin')
    fflush(stdout);
  end
end
