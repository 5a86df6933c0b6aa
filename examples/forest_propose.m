function [next, ei, means, vars] = forest_propose(forest, X, space, incumbent, opts)
% FOREST_PROPOSE  The configurations to run next: those of highest expected
%   improvement of their predicted mean over all instances on the
%   incumbent's (lower is better).
%
%   [next, ei, means, vars] = forest_propose(forest, X, space, incumbent)
%   [next, ei, means, vars] = forest_propose(forest, X, space, incumbent, opts)
%
%   forest     a forest, as forestfit returns it.
%   X          N-by-d features of the instances a configuration's mean is
%              taken over (as in forestmargins).
%   space      the configuration space, a struct of 1-by-p rows:
%                lower, upper  bounds of each ordered parameter (not read
%                              for a categorical one)
%                levels        0: ordered, within [lower, upper];
%                              L: categorical, with values 1..L
%                integer       optional: true where an ordered parameter
%                              takes integer values only
%   incumbent  the value to improve on, a finite scalar: usually the
%              lowest predicted mean of the configurations run so far.
%   opts       struct, every field optional:
%                count       configurations returned (default 1)
%                num_random  random configurations of the space scored
%                            (default 1000)
%                start       rows of Theta the local search starts from as
%                            well, such as the incumbent (default none)
%                step        standard deviation of an ordered parameter's
%                            step, as a fraction of its range (default 0.2)
%                seed        integer in 0 .. 2^53-1 seeding the draws
%                            (default 0)
%
%   next: count-by-p, distinct configurations, the best first; ei, means
%   and vars: their expected improvement and their mean and variance over
%   the instances (forestmargins). With a candidate's mean m and variance
%   v, s = sqrt(v) and z = (incumbent - m) / s,
%     EI = s * (z * Phi(z) + phi(z))     (the standard normal's CDF Phi,
%                                         from erfc, and density phi)
%     EI = max(incumbent - m, 0)         where s = 0
%   Candidates are ranked by EI, and those of equal EI by lower mean (far
%   above the incumbent EI underflows to 0).
%
%   The search: num_random configurations drawn uniformly from the space
%   are scored in one forestmargins call. A local search then starts from
%   the best of them by EI, the best by mean, and every row of opts.start.
%   Each step scores, in one forestmargins call, the one-exchange
%   neighbours of every point still searching: each ordered parameter
%   moved by 4 Gaussian steps (clipped to the bounds; an integer parameter
%   rounded, and moved by at least 1), each categorical parameter set to
%   each of its other levels. A search moves to its best neighbour while
%   that ranks above its point, for at most 20 steps. Every configuration
%   scored on the way is a candidate.
%
%   The draws come from a generator of the proposal's own (MRG32k3a, whose
%   arithmetic is exact in doubles): a seed gives the same proposal in
%   Octave and MATLAB, and the host's random state (rand, randn, rng) is
%   left as it was found.
%
%   Errors name the field: a space field missing, of the wrong size, or
%   with lower above upper; levels that differ from those the forest was
%   fitted with; start rows outside the space; unknown options.
%
%   Example (examples/ on the path):
%     Theta = [rand(100, 2), randi(3, 100, 1)];  X = rand(30, 2);
%     runs = int32([randi(100, 2000, 1), randi(30, 2000, 1)]);
%     y = (Theta(runs(:, 1), 1) - 0.3) .^ 2 + X(runs(:, 2), 1) .* (Theta(runs(:, 1), 3) ~= 2);
%     forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1));
%     space = struct('lower', [0 0 1], 'upper', [1 1 3], 'levels', [0 0 3]);
%     means = forestmargins(forest, Theta, X);
%     [best, k] = min(means);
%     [next, ei] = forest_propose(forest, X, space, best, ...
%                                 struct('count', 3, 'start', Theta(k, :), 'seed', 1))
%
%   See also FOREST_EFFECTS, CONFIGURATION_LOOP, FORESTMARGINS, FORESTFIT.
  caller = 'forest_propose';
  if nargin < 5
    opts = struct();
  end
  opts = options_checked(opts, struct('count', 1, 'num_random', 1000, 'start', [], ...
                                      'step', 0.2, 'seed', 0), caller);
  space = space_checked(space, forest, caller);
  p = numel(space.levels);
  if ~(isnumeric(incumbent) && isreal(incumbent) && isscalar(incumbent) && isfinite(incumbent))
    error('%s: incumbent must be a finite real scalar', caller);
  end
  incumbent = double(incumbent);
  count_checked(opts.count, 1, 'count', caller);
  count_checked(opts.num_random, 0, 'num_random', caller);
  if ~(isnumeric(opts.step) && isreal(opts.step) && isscalar(opts.step) && ...
       opts.step > 0 && isfinite(opts.step))
    error('%s: opts.step must be a positive number', caller);
  end
  start = opts.start;
  if isempty(start)
    start = zeros(0, p);
  end
  check_start(start, space);
  if opts.num_random == 0 && isempty(start)
    error('%s: nothing to search from: opts.num_random is 0 and opts.start is empty', caller);
  end
  gen = draw_stream(opts.seed, caller);

  [pool, gen] = space_random(space, opts.num_random, gen);
  pool = [pool; double(start)];
  [means, vars] = forestmargins(forest, pool, X);
  ei = improvement(incumbent, means, vars);
  starts = opts.num_random + (1:size(start, 1))';
  if opts.num_random > 0
    order = ranked(ei(1:opts.num_random), means(1:opts.num_random));
    [~, lowest] = min(means(1:opts.num_random));
    starts = [order(1); lowest(lowest ~= order(1)); starts];
  end

  % The local searches, side by side: one forestmargins call a step.
  points = pool(starts, :);
  point_ei = ei(starts);
  point_mean = means(starts);
  searching = (1:numel(starts))';
  for step = 1:20
    [near, gen] = neighbours(points(searching, :), space, opts.step, gen);
    if isempty(near)
      break;                            % every parameter is fixed
    end
    [near_means, near_vars] = forestmargins(forest, near, X);
    near_ei = improvement(incumbent, near_means, near_vars);
    pool = [pool; near]; %#ok<AGROW>
    means = [means; near_means]; %#ok<AGROW>
    vars = [vars; near_vars]; %#ok<AGROW>
    ei = [ei; near_ei]; %#ok<AGROW>
    per = size(near, 1) / numel(searching);
    moved = false(size(searching));
    for a = 1:numel(searching)
      block = (a - 1) * per + (1:per)';
      b = block(ranked(near_ei(block), near_means(block)));
      b = b(1);
      s = searching(a);
      if near_ei(b) > point_ei(s) || (near_ei(b) == point_ei(s) && near_means(b) < point_mean(s))
        points(s, :) = near(b, :);
        point_ei(s) = near_ei(b);
        point_mean(s) = near_means(b);
        moved(a) = true;
      end
    end
    searching = searching(moved);
    if isempty(searching)
      break;
    end
  end

  order = ranked(ei, means);
  [~, first] = unique(pool(order, :), 'rows', 'first');
  order = order(sort(first));
  order = order(1:min(opts.count, numel(order)));
  next = pool(order, :);
  ei = ei(order);
  means = means(order);
  vars = vars(order);
end

function order = ranked(ei, means)
  % Highest EI first; equal EI by lower mean; then by position.
  [~, order] = sortrows([-ei, means, (1:numel(ei))']);
end

function ei = improvement(incumbent, m, v)
  s = sqrt(max(v, 0));
  z = (incumbent - m) ./ s;
  ei = s .* (z .* (0.5 * erfc(-z / sqrt(2))) + exp(-0.5 * z .^ 2) / sqrt(2 * pi));
  % s = 0, or so small that z is not finite: the improvement is certain.
  flat = ~isfinite(z);
  ei(flat) = max(incumbent - m(flat), 0);
  ei = max(ei, 0);
end

function [near, gen] = neighbours(points, space, step, gen)
  % The one-exchange neighbours of each point, point by point: 4 Gaussian
  % moves per ordered parameter, then every other level per categorical one.
  moves = 4;
  n = size(points, 1);
  ordered = find(space.levels == 0 & space.upper > space.lower);
  categorical = find(space.levels > 0);
  per = moves * numel(ordered) + sum(space.levels(categorical) - 1);
  near = kron(points, ones(per, 1));
  [z, gen] = draw_normal(gen, moves * numel(ordered) * n);
  z = reshape(z, moves * numel(ordered), n);
  k = 0;
  for j = ordered
    for t = 1:moves
      k = k + 1;
      at = (0:n - 1)' * per + k;
      old = points(:, j);
      new = old + step * (space.upper(j) - space.lower(j)) * z(k, :)';
      if space.integer(j)
        delta = new - old;
        new = round(new);
        same = new == old;
        new(same) = old(same) + sign(delta(same));
      end
      near(at, j) = min(max(new, space.lower(j)), space.upper(j));
    end
  end
  for j = categorical
    for t = 1:space.levels(j) - 1
      k = k + 1;
      at = (0:n - 1)' * per + k;
      near(at, j) = mod(points(:, j) + t - 1, space.levels(j)) + 1;
    end
  end
end

function check_start(start, space)
  p = numel(space.levels);
  if ~(isnumeric(start) && isreal(start) && ismatrix(start) && size(start, 2) == p)
    error('forest_propose: opts.start must hold configurations, one per row of %d columns', p);
  end
  for j = 1:p
    values = start(:, j);
    if space.levels(j) > 0
      bad = find(~(values >= 1 & values <= space.levels(j) & values == floor(values)), 1);
      what = sprintf('a level in 1..%d', space.levels(j));
    else
      bad = find(~(values >= space.lower(j) & values <= space.upper(j)) | ...
                 (space.integer(j) & values ~= floor(values)), 1);
      what = sprintf('%sin [%g, %g]', repmat('an integer ', 1, space.integer(j)), ...
                     space.lower(j), space.upper(j));
    end
    if ~isempty(bad)
      error('forest_propose: opts.start(%d, %d) = %g is outside the space: not %s', ...
            bad, j, values(bad), what);
    end
  end
end
