function cases = test_forestmargins()
% forestmargins: the forest road (nodeharvest per tree, then poolmargins)
% in one call, with the same bits, on any number of threads.
  cases = {
    'learned and random forests give the road''s bits on any thread count', @same_as_road
    'shapes: no configurations, one instance, no trees, leaf-only trees; X without rows', @shapes
    'fitted trees check Theta and X before walking, naming argument, row and column', @fitted_checks
    'malformed trees and missing categories are errors naming where, never crashes', @malformed
    'packed value sets stand for catsplit; without them catsplit is read', @packed_sets
    'compact trees send every category their left sets do not list right; damage is named', @compact_trees
    'opts: num_threads only, a positive integer; a count above the cap is taken as the cap', @options
    'Ctrl-C stops the walk of one large tree within a fraction of a second; the session goes on', @interrupted
  };
end

function same_as_road()
  for trial = 1:4
    seed = 7300 + trial;
    rand('state', seed);  randn('state', seed);
    [forest, Theta, X] = road_forest(trial);
    [m, v, tm] = forest_marginals(forest, Theta, X);
    for threads = [1 2 5]
      [a, b, c] = forestmargins(forest, Theta, X, struct('num_threads', threads));
      assert(isequal(a, m) && isequal(b, v) && isequal(c, tm), ...
             'seed %d, %d threads: not the road''s bits', seed, threads);
    end
  end
end

function [forest, Theta, X] = road_forest(trial)
  % Trial 1: forestfit (fitted, packed sets); 2: the example learner (no
  % metadata, catsplit cells); 3, 4: random trees with shuffled node numbers.
  Theta = [rand(40, 2), randi(3, 40, 1)];
  X = [rand(30, 1), randi(4, 30, 1)];
  levels = [0 0 3 0 4];
  if trial <= 2
    runs = [randi(40, 800, 1), randi(30, 800, 1)];
    Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
    y = Z(:, 1) + (Z(:, 3) == 2) + Z(:, 4) .* (Z(:, 5) > 2) + 0.1 * randn(800, 1);
    if trial == 1
      forest = forestfit(Theta, X, int32(runs), y, levels, struct('num_trees', 4, 'mtry', 3, ...
                                                                   'min_leaf', 2, 'seed', trial));
    else
      forest = grow_forest(Z, y, levels, 3, struct('mtry', 3, 'min_leaf', 3));
    end
    return;
  end
  forest = cell(1, 3);
  for t = 1:3
    f = random_tree(randi([0, 60]), 5, 'categorical', [3 5]);
    f.leaf_mean = f.nodepred;
    forest{t} = f;
  end
  Theta = random_rows(forest{1}, 25, 1, 3);
  X = random_rows(forest{1}, 20, 4, 2);
end

function shapes()
  rand('state', 74);
  [forest, Theta, X] = road_forest(3);
  [m, v, tm] = forestmargins(forest, Theta(1:0, :), X);
  assert(isequal(size(m), [0 1]) && isequal(size(v), [0 1]) && isequal(size(tm), [0 3]));
  [m, v, tm] = forest_marginals(forest, Theta, X(1, :));
  [a, b, c] = forestmargins(forest, Theta, X(1, :));
  assert(isequal({a, b, c}, {m, v, tm}));
  % No trees: what poolmargins gives, NaN means and variances.
  [a, b, c] = forestmargins({}, Theta, X);
  assert(all(isnan([a; b])) && isequal(size(c), [rows(Theta) 0]));
  leaf = struct('var', int32(0), 'cut', 0, 'leftchildren', int32(0), ...
                'rightchildren', int32(0), 'catsplit', {cell(0, 2)}, 'leaf_mean', 3, ...
                'leaf_var', 0.5);
  [a, b, c] = forestmargins({leaf, leaf}, Theta, X);
  assert(isequal(c, repmat(3, rows(Theta), 2)) && all(a == 3) && all(b == 0.5));
  expect_failure(@() forestmargins(forest, Theta, X(1:0, :)), '^X has no rows');
end

function fitted_checks()
  rand('state', 75);  randn('state', 75);
  [forest, Theta, X] = road_forest(1);
  expect_failure(@() forestmargins(forest, Theta(:, 1:2), X), ...
                 '^Theta has 2 columns, but forest\{1\} was fitted with 3');
  expect_failure(@() forestmargins(forest, Theta, [X, X]), '^X has 4 columns');
  Theta(7, 3) = 4;                              % levels 3
  expect_failure(@() forestmargins(forest, Theta, X), '^Theta\(7, 3\) = 4, but forest\{1\}');
  Theta(7, 3) = 2.5;
  expect_failure(@() forestmargins(forest, Theta, X), '^Theta\(7, 3\) = 2.5,');
  Theta(7, 3) = 2;
  X(3, 2) = NaN;
  expect_failure(@() forestmargins(forest, Theta, X), '^X\(3, 2\) = NaN,');
  X(3, 2) = 1;
  X(5, 1) = NaN;                                % ordered: NaN goes right, as in treecast
  assert(isequal(forestmargins(forest, Theta, X), forest_marginals(forest, Theta, X)));
  bad = forest;
  bad{2}.levels = 'abc';
  expect_failure(@() forestmargins(bad, Theta, X), '^forest\{2\}\.levels must be');
end

function malformed()
  % The tree of test_robustness, with every kind of damage in turn.
  t = struct('var', int32([1; 0; -2; 0; 0]), 'cut', [0.5; 0; 1; 0; 0], ...
             'leftchildren', int32([2; 0; 4; 0; 0]), 'rightchildren', int32([3; 0; 5; 0; 0]), ...
             'catsplit', {{int32([1 2]), int32(3)}}, 'leaf_mean', (1:5)', 'leaf_var', zeros(5, 1));
  Theta = [0.1; 0.9];
  X = [1; 3; 2];
  [m, v, tm] = forestmargins({t}, Theta, X);
  assert(tm, [2; 13 / 3], 1e-14);
  assert(isequal(m, tm) && isequal(v, zeros(2, 1)));
  expect_failure(@() forestmargins({t}, Theta, [X; 5]), ...
                 '^X\(4, 1\) = 5 is in neither value set of categorical node 3 of forest\{1\}');
  damaged = {
    'rightchildren', int32([3; 0; 9; 0; 0]), '^forest\{1\}: the right child of node 3'
    'leftchildren', int32([2; 0; 1; 0; 0]), 'cycle'
    'var', int32([1; 0; -3; 0; 0]), 'split variable 3 of node 3 exceeds the 2 columns'
    'cut', [0.5; 0; 2; 0; 0], 'names catsplit row 2, outside 1..1'
    'cut', [0.5; 0; 1e10; 0; 0], 'node 3 is 10000000000; it must name a catsplit row, 1\.\.1'
    'catsplit', {int32([1 2]), [3 4]}, '^forest\{1\}\.catsplit\{1, 2\}.*must be an int32'
    'catsplit', cell(1, 2), 'must be an int32'
    'leaf_var', zeros(4, 1), '^forest\{1\}\.leaf_var must be'
    'catsplit', cell(1, 3), 'M-by-2 cell'
  };
  for k = 1:rows(damaged)
    bad = setfield(t, damaged{k, 1}, damaged{k, 2});
    expect_failure(@() forestmargins({bad}, Theta, X), damaged{k, 3});
    expect_failure(@() forestcast({bad}, [Theta(2) * [1; 1; 1], X]), damaged{k, 3});
  end
  % An ordered cut on a categorical split of a missing column: the same
  % fault from both modules.
  bad = setfield(setfield(t, 'var', int32([1; 0; -3; 0; 0])), 'cut', [0.5; 0; 0.5; 0; 0]);
  expect_failure(@() forestmargins({bad}, Theta, X), 'split variable 3 of node 3 exceeds');
  expect_failure(@() forestcast({bad}, [0.9, 1]), 'split variable 3 of node 3 exceeds');
  expect_failure(@() forestmargins({t, rmfield(t, 'cut')}, Theta, X), ...
                 '^forest\{2\} has no field cut');
  expect_failure(@() forestmargins({rmfield(t, 'cut'), 3}, Theta, X), ...
                 '^forest\{1\} has no field cut');
  % Two faulty trees: the first tree's fault, on any thread count.
  bad = setfield(t, 'rightchildren', int32([3; 0; 9; 0; 0]));
  for threads = [1 3]
    expect_failure(@() forestmargins({t, bad, bad}, Theta, [X; 5], ...
                                     struct('num_threads', threads)), ...
                   '^X\(4, 1\) = 5 is in neither value set of categorical node 3 of forest\{1\}');
  end
  expect_failure(@() forestmargins({t, 3}, Theta, X), '^forest\{2\} must be a 1-by-1');
  expect_failure(@() forestmargins(t, Theta, X), '^forest must be a cell');
end

function packed_sets()
  rand('state', 76);  randn('state', 76);
  [forest, Theta, X] = road_forest(1);
  forest = forest_expand(forest);
  expected = forest_marginals(forest, Theta, X);
  plain = cellfun(@(f) rmfield(f, {'catsplit_ends', 'catsplit_values'}), forest, ...
                  'UniformOutput', false);
  assert(isequal(forestmargins(plain, Theta, X), expected));
  % The packed sets are what is read: sending every category left shows it.
  f = forest{1};
  assert(any(f.var < 0), 'the test forest needs a categorical split');
  M = rows(f.catsplit);
  moved = f;                                    % every category left, every split
  moved.catsplit_values = int32(repmat(1:4, 1, M))';
  moved.catsplit_ends = int32([4 * (1:M)', repmat(4 * M, M, 1)]);
  assert(~isequal(forestmargins({moved}, Theta, X), forestmargins({f}, Theta, X)));
  broken = f;
  broken.catsplit_ends(end) = numel(f.catsplit_values) + 1;
  expect_failure(@() forestmargins({broken}, Theta, X), 'packed as forestfit makes them');
  expect_failure(@() forestmargins({rmfield(f, 'catsplit_values')}, Theta, X), 'packed');
end

function compact_trees()
  % Split 1 sends categories 1 and 2 of the 70 left; 3..70 go right.
  t = struct('var', int32([1; 0; -2; 0; 0]), 'cut', [0.5; 0; 1; 0; 0], ...
             'children', int32([2 3; 0 0; 4 5; 0 0; 0 0]), 'mean', (1:5)', ...
             'variance', [0; 1; 0; 2; 3], 'count', int32([9; 4; 5; 2; 3]), ...
             'left_sets', int32([2; 1]), 'left_set_ends', int32(2), 'responses', zeros(0, 1), ...
             'response_ends', zeros(0, 1, 'int32'), 'theta_columns', 1, 'levels', [0 70], ...
             'format_version', 2);
  Theta = [0.1; 0.9];
  X = [1; 3; 2; 70];
  [m, v, tm] = forestmargins({t, t}, Theta, X);
  assert(isequal(tm, [2 2; 4.5 4.5]) && isequal(m, [2; 4.5]));
  [mu, var] = forestcast({t}, [[0.1; 0.9; 0.9; 0.9; 0.9], [1; 1; 3; 2; 70]]);
  assert(isequal(mu, [2; 4; 5; 4; 5]) && isequal(var, [1; 2; 3; 2; 3]));
  expanded = forest_expand({t, t});
  assert(isequal(expanded{1}.catsplit, {int32([2 1]), int32(3:70)}));
  assert(isequal(forestmargins(expanded, Theta, X), m));
  [a, b] = forestmargins(expanded, Theta, X);
  assert(isequal(b, v));
  damaged = {
    'format_version', 3, '^forest\{1\}\.format_version must be 2'
    'left_set_ends', int32(3), '^forest\{1\}\.left_sets and left_set_ends must be'
    'levels', [0 0], 'node 3 splits variable 2 as categorical, but the tree''s levels'
    'children', int32([2; 0; 4; 0; 0]), '^forest\{1\}\.children must be an int32 5-by-2'
    'cut', [0.5; 0; NaN; 0; 0], 'the cut of categorical node 3 is NaN; it must name a left set, 1\.\.1'
    'cut', [0.5; 0; 2; 0; 0], 'names left set 2, outside 1\.\.1'
  };
  for k = 1:rows(damaged)
    bad = setfield(t, damaged{k, 1}, damaged{k, 2});
    expect_failure(@() forestmargins({bad}, Theta, X), damaged{k, 3});
    expect_failure(@() forestcast({bad}, [0.9, 2]), damaged{k, 3});
  end
  expect_failure(@() forestcast({rmfield(t, 'theta_columns')}, [0.9, 2]), ...
                 '^forest\{1\} has no field theta_columns: a compact tree needs');
end

function options()
  rand('state', 77);
  [forest, Theta, X] = road_forest(3);
  expect_failure(@() forestmargins(forest, Theta, X, struct('threads', 2)), ...
                 '^opts has an unknown field ''threads'' \(known fields: num_threads\)');
  for bad = {0, 1.5, -1, [1 2], 'two', NaN}
    expect_failure(@() forestmargins(forest, Theta, X, struct('num_threads', bad{1})), ...
                   '^opts\.num_threads must be a positive integer');
  end
  expect_failure(@() forestmargins(forest, Theta, X, 3), '^opts must be a 1-by-1 struct');
  [a, b] = forestmargins(forest, Theta, X, struct('num_threads', 1e7));
  [c, d] = forestmargins(forest, Theta, X);
  assert(isequal(a, c) && isequal(b, d));
  expect_failure(@() forestmargins(forest, Theta), '^Usage: \[means, vars, tree_means\]');
end

function interrupted()
  % A million configurations down one chain of 50,000 splits: some 30 s of
  % work, all in one tree's walk.
  interrupted_call('rand(''state'', 1); t = chain_tree(5e4); Theta = rand(1e6, 1);', ...
      'result = forestmargins({t}, Theta, 1);', ...
      'assert(isequal(forestmargins({chain_tree(4)}, [0.1; 0.3; 0.6; 0.9; 1.5], 1), [2; 4; 6; 8; 9]));');
end
