function [values, means, sds] = forest_effects(forest, X, space, column, opts)
% FOREST_EFFECTS  How the predicted mean over all instances moves with one
%   parameter, over random settings of the others; without outputs, the
%   picture of it.
%
%   [values, means, sds] = forest_effects(forest, X, space)
%   [values, means, sds] = forest_effects(forest, X, space, column)
%   [values, means, sds] = forest_effects(forest, X, space, column, opts)
%   forest_effects(...)                   draws it in the current figure
%
%   forest, X, space  as in forest_propose: a forest as forestfit returns
%           it, the instances' features, and the configuration space
%           (lower, upper, levels, optional integer).
%   column  the parameter, 1..p, or a list of them (default, or []: each
%           parameter in turn).
%   opts    struct, every field optional:
%             points    values of an ordered parameter, evenly spaced from
%                       lower to upper (default 25; an integer parameter
%                       takes those of them that are distinct integers)
%             settings  random configurations of the space the others
%                       are set from (default 100)
%             seed      integer in 0 .. 2^53-1 seeding those draws
%                       (default 0)
%             names     1-by-p cell of the parameters' names, for the
%                       picture (default theta(1), theta(2), ...)
%
%   For each value v of the parameter, the settings are drawn once (the
%   same for every parameter) and each is set to v; forestmargins gives
%   each its mean over the instances, in one call per parameter. values
%   lists v (a categorical parameter: its levels 1..L); means(i) is the
%   mean over the settings at values(i), sds(i) their standard deviation.
%   One column gives column vectors; several give 1-by-numel(column)
%   cells of them, one per parameter.
%
%   The picture: one panel per parameter, the mean as a line with a band
%   of one standard deviation either side (a categorical parameter: a
%   marker per level with a bar of the same width). It clears the current
%   figure first. Without a display, in Octave (gnuplot):
%     figure('visible', 'off');  forest_effects(forest, X, space);
%     print('effects.png', '-dpngcairo');
%   (in MATLAB, or with Octave's qt toolkit, print with -dpng).
%
%   The draws come from forest_propose's generator: a seed gives the same
%   answer in Octave and MATLAB, and the host's random state is untouched.
%
%   Example (examples/ on the path): the forest at the end of a short
%   configuration loop, the depth parameter alone, then every parameter drawn.
%     result = configuration_loop(struct('budget', 200, 'verbose', false));
%     [values, means, sds] = forest_effects(result.forest, result.X, result.space, 4);
%     [~, i] = min(means);  values(i)                % the best depth on average
%     forest_effects(result.forest, result.X, result.space, [], struct('names', {result.names}))
%
%   See also FOREST_PROPOSE, CONFIGURATION_LOOP, FORESTMARGINS, FORESTFIT.
  caller = 'forest_effects';
  if nargin < 5
    opts = struct();
  end
  space = space_checked(space, forest, caller);
  p = numel(space.levels);
  names = cell(1, p);
  for j = 1:p
    names{j} = sprintf('theta(%d)', j);
  end
  opts = options_checked(opts, struct('points', 25, 'settings', 100, 'seed', 0, ...
                                      'names', {names}), caller);
  if nargin < 4 || isempty(column)
    column = 1:p;
  end
  if ~(isnumeric(column) && isreal(column) && isvector(column) && ...
       all(column >= 1 & column <= p & column == floor(column)))
    error('%s: column must list parameters in 1..%d', caller, p);
  end
  count_checked(opts.points, 1, 'points', caller);
  count_checked(opts.settings, 1, 'settings', caller);
  if ~(iscellstr(opts.names) && numel(opts.names) == p)
    error('%s: opts.names must be a cell of %d names, one per parameter', caller, p);
  end
  gen = draw_stream(opts.seed, caller);
  settings = space_random(space, opts.settings, gen);

  count = numel(column);
  values = cell(1, count);
  means = cell(1, count);
  sds = cell(1, count);
  for c = 1:count
    j = column(c);
    if space.levels(j) > 0
      v = (1:space.levels(j))';
    else
      v = linspace(space.lower(j), space.upper(j), opts.points)';
      if space.integer(j)
        v = round(v);
      end
      v = unique(v);                 % a fixed parameter has one value
    end
    stack = repmat(settings, numel(v), 1);
    stack(:, j) = kron(v, ones(opts.settings, 1));
    m = reshape(forestmargins(forest, stack, X), opts.settings, numel(v));
    values{c} = v;
    means{c} = mean(m, 1)';
    sds{c} = std(m, 0, 1)';
  end
  if nargout == 0
    draw(values, means, sds, space.levels(column), opts.names(column));
    clear values;
  elseif count == 1
    values = values{1};
    means = means{1};
    sds = sds{1};
  end
end

function draw(values, means, sds, levels, names)
  clf;
  count = numel(values);
  across = min(count, 3);
  down = ceil(count / across);
  for c = 1:count
    subplot(down, across, c);
    v = values{c};
    m = means{c};
    s = sds{c};
    if levels(c) > 0
      errorbar(v, m, s, 'o');
      set(gca, 'XTick', v');
      xlim([0.5, levels(c) + 0.5]);
    else
      fill([v; flipud(v)], [m - s; flipud(m + s)], [0.8 0.87 1], 'EdgeColor', 'none');
      hold on;
      plot(v, m, '-', 'LineWidth', 1.5, 'Color', [0 0.25 0.7]);
      hold off;
      if v(end) > v(1)
        xlim([v(1), v(end)]);
      end
    end
    xlabel(names{c});
    if mod(c - 1, across) == 0
      ylabel('predicted mean');
    end
  end
end
