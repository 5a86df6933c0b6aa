function cases = test_configuration_tools()
% forest_propose, forest_effects and configuration_loop: the M tools that
% choose what to run next from a forest's marginal predictions.
  cases = {
    'a seed gives one proposal whatever the host''s random state, which is left as found', @seeded_proposal
    'expected improvement: s = 0 gives max(incumbent - m, 0); large |z| neither fails nor goes negative', @improvement_edges
    'a proposal never leaves the space: bounds, integers, levels; bad spaces are named', @stays_in_space
    'forest_effects: vectors for one parameter, cells for several; an unused parameter is flat', @effect_shapes
    'forest_effects draws a panel per parameter without a display, and prints a PNG', @headless_picture
    'configuration_loop spends its budget, caps runs, and ends inside the space', @short_loop
  };
end

function [forest, X, space] = fitted(seed)
  % Runs whose best configurations press against the space's bounds: the
  % data reach beyond the space, and y falls with theta(1) and theta(2).
  rand('state', seed);  randn('state', seed);
  Theta = [2 * rand(120, 1), randi(12, 120, 1), randi(3, 120, 1), 0.5 * ones(120, 1)];
  X = rand(25, 2);
  runs = int32([randi(120, 2500, 1), randi(25, 2500, 1)]);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  y = -Z(:, 1) - 0.1 * Z(:, 2) + (Z(:, 3) ~= 2) .* Z(:, 5) + 0.1 * randn(2500, 1);
  forest = forestfit(Theta, X, runs, y, [0 0 3 0 0 0], struct('seed', seed, 'min_leaf', 2));
  space = struct('lower', [0.2 2.5 1 0], 'upper', [0.9 8.7 3 1], 'levels', [0 0 3 0], ...
                 'integer', [false true false false]);
end

function seeded_proposal()
  [forest, X, space] = fitted(31);
  opts = struct('count', 4, 'num_random', 200, 'start', [0.5 4 1 0.5; 0.3 7 3 0.2], 'seed', 7);
  rand('state', 5);  randn('state', 6);
  before = {rand('state'), randn('state')};
  [a, ei, m, v] = forest_propose(forest, X, space, -1, opts);
  assert(isequal({rand('state'), randn('state')}, before), 'the host''s random state moved');
  rand('state', 99);  randn('state', 98);
  [b, ei2, m2, v2] = forest_propose(forest, X, space, -1, opts);
  assert(isequal(a, b) && isequal(ei, ei2) && isequal(m, m2) && isequal(v, v2), ...
         'seed 7 gave two proposals');
  assert(isequal(size(a), [4 4]) && size(unique(a, 'rows'), 1) == 4, 'not 4 distinct rows');
  assert(issorted(-ei), 'not ranked by EI');
  [c, ~, mc] = forest_propose(forest, X, space, -1, setfield(opts, 'seed', 8)); %#ok<SFLD>
  assert(~isequal(a, c), 'seeds 7 and 8 gave the same proposal');
  assert(isequal(mc, forestmargins(forest, c, X)), 'means are not forestmargins''s');
end

function improvement_edges()
  % A one-leaf forest predicts mean m and variance v for every
  % configuration; the values are chosen so that forestmargins's variance,
  % (m^2 + v) - m^2, is v exactly.
  cases = [2 0 5 3; 5 0 2 0; 2 0 2 0; 2 1 42 40; 42 1 2 0; 22 1 2 NaN];   % m v incumbent EI
  space = struct('lower', 0, 'upper', 1, 'levels', 0);
  for k = 1:size(cases, 1)
    leaf = struct('var', int32(0), 'cut', 0, 'leftchildren', int32(0), ...
                  'rightchildren', int32(0), 'catsplit', {cell(0, 2)}, ...
                  'leaf_mean', cases(k, 1), 'leaf_var', cases(k, 2));
    [next, ei, m, v] = forest_propose({leaf}, 1, space, cases(k, 3), ...
                                      struct('num_random', 0, 'start', 0.5));
    assert(next == 0.5 && m == cases(k, 1) && v == cases(k, 2), 'case %d: not the leaf', k);
    if isnan(cases(k, 4))
      % z = -20: phi(z) / z^2 * (1 - 3/z^2 + 15/z^4 - ...), where the naive
      % 1 - Phi(-z) would be 0 and EI phi(z).
      z = -20;
      tail = exp(-z ^ 2 / 2) / sqrt(2 * pi) / z ^ 2 * (1 - 3 / z ^ 2 + 15 / z ^ 4 - 105 / z ^ 6);
      assert(abs(ei - tail) < 1e-6 * tail, 'z = -20: EI %g, not %g', ei, tail);
    else
      assert(ei == cases(k, 4), 'case %d: EI %.17g, not %g', k, ei, cases(k, 4));
    end
  end
end

function stays_in_space()
  for seed = 41:43
    [forest, X, space] = fitted(seed);
    [next, ei] = forest_propose(forest, X, space, -2, ...
                                struct('count', 60, 'num_random', 100, 'seed', seed, 'step', 0.5));
    assert(size(next, 1) == 60 && all(ei >= 0), 'seed %d: shape', seed);
    inside = all(next(:, [1 2 4]) >= space.lower([1 2 4]) & next(:, [1 2 4]) <= space.upper([1 2 4]), 2);
    assert(all(inside), 'seed %d: %s is outside the bounds', seed, ...
           mat2str(next(find(~inside, 1), :)));
    assert(all(next(:, 2) == round(next(:, 2)) & next(:, 2) >= 3 & next(:, 2) <= 8), ...
           'seed %d: theta(2) is not an integer in 3..8', seed);
    assert(all(ismember(next(:, 3), 1:3)), 'seed %d: theta(3) is not a level', seed);
    assert(any(next(:, 1) == 0.9), 'seed %d: no candidate at the bound the data favour', seed);
  end
  good = space;
  expect_error(@() forest_propose(forest, X, rmfield(good, 'levels'), 0), 'space.levels is missing');
  bad = setfield(good, 'upper', [0.1 8.7 3 1]); %#ok<SFLD>
  expect_error(@() forest_propose(forest, X, bad, 0), 'space.lower(1) = 0.2 exceeds space.upper(1) = 0.1');
  bad = setfield(good, 'upper', [0.9 2.7 3 1]); %#ok<SFLD>
  expect_error(@() forest_propose(forest, X, bad, 0), ...
               'space.lower(2) = 3 exceeds space.upper(2) = 2 (rounded inward: an integer parameter)');
  bad = setfield(good, 'levels', [0 0 4 0]); %#ok<SFLD>
  expect_error(@() forest_propose(forest, X, bad, 0), ...
               'space.levels = [0  0  4  0] differ from the levels the forest was fitted with, [0  0  3  0]');
  expect_error(@() forest_propose(forest, X, setfield(good, 'integer', true), 0), ...
               'space.integer must have one element per parameter (4, as space.levels)'); %#ok<SFLD>
  expect_error(@() forest_propose(forest, X, good, 0, struct('start', [0.5 4 3.5 0])), ...
               'opts.start(1, 3) = 3.5 is outside the space: not a level in 1..3');
  expect_error(@() forest_propose(forest, X, good, 0, struct('steps', 1)), ...
               'unknown option opts.steps (the options: count, num_random, start, step, seed)');
end

function effect_shapes()
  [forest, X, space] = fitted(51);
  [values, means, sds] = forest_effects(forest, X, space, 3, struct('settings', 30));
  assert(isequal(values, (1:3)') && isequal(size(means), [3 1]) && all(sds > 0), ...
         'categorical: %s', mat2str([values, means, sds]));
  [~, best] = min(means);
  assert(best == 2, 'level %d is best, not 2 (seed 51)', best);
  [values, means, sds] = forest_effects(forest, X, space, [], struct('points', 4));
  assert(iscell(values) && isequal(size(values), [1 4]) && isequal(size(sds), [1 4]), 'cells');
  assert(isequal(values{1}, linspace(0.2, 0.9, 4)') && isequal(values{2}, [3; 5; 6; 8]), ...
         'grids: %s, %s', mat2str(values{1}), mat2str(values{2}));
  % theta(4) is 0.5 in every run: no tree can split on it.
  assert(all(means{4} == means{4}(1)) && all(sds{4} == sds{4}(1)), 'theta(4) moves the mean');
  assert(means{1}(1) > means{1}(end), 'theta(1) lowers the mean in the data, not here');
  [v2, m2, s2] = forest_effects(forest, X, space, 2, struct('points', 4));
  assert(isequal({v2, m2, s2}, {values{2}, means{2}, sds{2}}), ...
         'one parameter alone differs from the same among several');
end

function headless_picture()
  if isempty(available_graphics_toolkits())
    printf('        (skipped: Octave has no graphics toolkit here; apt-get install gnuplot-nox)\n');
    return;
  end
  [forest, X, space] = fitted(61);
  saved = warning();
  back = onCleanup(@() warning(saved));
  warning('off', 'Octave:gnuplot-graphics');   % the only toolkit without a display
  warning('off', 'print:nogs');                % pngcairo needs no Ghostscript
  try
    figure_handle = figure('visible', 'off');
    forest_effects(forest, X, space, [], struct('points', 5, 'settings', 10, ...
                   'names', {{'alpha', 'depth', 'restart', 'fixed'}}));
  catch err
    error('%s (bash scripts/install-deps.sh draw installs what drawing needs)', err.message);
  end
  closing = onCleanup(@() close(figure_handle));
  panels = findobj(figure_handle, 'type', 'axes');
  labels = arrayfun(@(a) get(get(a, 'xlabel'), 'string'), panels, 'UniformOutput', false);
  assert(isequal(sort(labels'), {'alpha', 'depth', 'fixed', 'restart'}), ...
         'panels: %s', strjoin(labels', ', '));
  [~, means] = forest_effects(forest, X, space, 1, struct('points', 5, 'settings', 10));
  line = findobj(panels(strcmp(labels, 'alpha')), 'type', 'line');
  assert(numel(line) == 1 && isequal(get(line, 'ydata')(:), means), ...
         'alpha''s line is not its means');
  file = [tempname() '.png'];
  removing = onCleanup(@() delete(file));
  device = '-dpng';
  if strcmp(graphics_toolkit(figure_handle), 'gnuplot')
    device = '-dpngcairo';
  end
  print(figure_handle, file, device);
  fid = fopen(file, 'r');
  assert(fid > 0, 'print wrote no %s', file);
  head = fread(fid, 8, 'uint8=>double')';
  fclose(fid);
  assert(isequal(head, [137 80 78 71 13 10 26 10]), 'the picture is not a PNG');
end

function short_loop()
  result = configuration_loop(struct('seed', 3, 'budget', 80, 'verbose', false));
  space = result.space;
  assert(numel(result.y) == 80 && size(result.runs, 1) == 80, '%d runs, not 80', numel(result.y));
  assert(size(result.Theta, 1) >= 12 && ~isempty(result.forest), 'no configuration proposed');
  assert(any(result.capped) && all(result.y(result.capped) == 2.5) && ...
         all(result.y(~result.capped) <= 2.5), 'capped runs: not at the cap');
  inc = result.incumbent;
  assert(all(inc(1:4) >= space.lower(1:4) & inc(1:4) <= space.upper(1:4)) && ...
         inc(4) == round(inc(4)) && ismember(inc(5), 1:3) && ismember(inc(6), 1:4), ...
         'incumbent %s outside the space', mat2str(inc));
  assert(ismember(inc, result.Theta, 'rows') && isfinite(result.true_mean), 'incumbent not run');
  random = configuration_loop(struct('seed', 3, 'budget', 80, 'search', 'random', 'verbose', false));
  assert(numel(random.y) == 80 && isempty(random.forest), 'random search: %d runs', numel(random.y));
end
