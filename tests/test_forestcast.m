function cases = test_forestcast()
% forestcast: the forest's prediction for every row, with its variance, on
% any number of threads.
  cases = {
    'equals forest_predict, and forestmargins of one pair, bit for bit', @same_as_references
    'small and large batches, any thread count: the same bits', @batches_and_threads
    'the first failing row is named, with its column and first failing tree', @faults
    'Ctrl-C stops a long call within a fraction of a second; the session goes on', @interrupted
  };
end

function same_as_references()
  seed = 7400;
  rand('state', seed);  randn('state', seed);
  Theta = [rand(40, 2), randi(3, 40, 1)];
  X = [rand(30, 1), randi(4, 30, 1)];
  runs = [randi(40, 800, 1), randi(30, 800, 1)];
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  y = Z(:, 1) + (Z(:, 3) == 2) + Z(:, 4) .* (Z(:, 5) > 2) + 0.1 * randn(800, 1);
  forest = forestfit(Theta, X, int32(runs), y, [0 0 3 0 4], struct('num_trees', 5, 'seed', 3));
  Z(9, 1) = NaN;                                % ordered: NaN goes right
  [mu, v] = forestcast(forest, Z);
  assert(isequal(mu, forest_predict(forest, Z)), 'seed %d: not forest_predict', seed);
  for i = [1 9 800]
    [m1, v1] = forestmargins(forest, Z(i, 1:3), Z(i, 4:5));
    assert(isequal([m1 v1], [mu(i) v(i)]), 'seed %d, row %d: not forestmargins', seed, i);
  end
  assert(all(v >= 0));
  [mu, v] = forestcast({}, Z(1:2, :));
  assert(all(isnan([mu; v])));
end

function batches_and_threads()
  % Trees compiled for a large batch and walked as they are for a small
  % one; blocks of rows spread over threads.
  seed = 7401;
  rand('state', seed);
  forest = cell(1, 4);
  for t = 1:4
    f = random_tree(randi([20, 300]), 6, 'categorical', [2 5], 'levels', 70);
    f.leaf_mean = f.nodepred;
    f.leaf_var = rand(size(f.nodepred));
    forest{t} = f;
  end
  Z = random_rows(forest{1}, 9000);
  [mu, v] = forestcast(forest, Z, struct('num_threads', 1));
  assert(isequal(mu, forest_predict(forest, Z)), 'seed %d', seed);
  [mu3, v3] = forestcast(forest, Z, struct('num_threads', 3));
  assert(isequal([mu v], [mu3 v3]), 'seed %d: thread count changed the bits', seed);
  [mu5, v5] = forestcast(forest, Z(1:5, :));
  assert(isequal([mu5 v5], [mu(1:5) v(1:5)]), 'seed %d: a small batch differs', seed);
  % A split on a column past 65,536 is walked as well as one before it.
  wide = struct('var', int32([70001; 0; 0]), 'cut', [0.5; 0; 0], 'leftchildren', int32([2; 0; 0]), ...
                'rightchildren', int32([3; 0; 0]), 'catsplit', {cell(0, 2)}, ...
                'leaf_mean', [0; 1; 2], 'leaf_var', [0; 0; 0]);
  Z = zeros(4, 70001);
  Z(:, 70001) = [0; 1; 0.2; NaN];
  Z(:, 70001 - 65536) = 1;                      % what a 16-bit column would read
  assert(isequal(forestcast({wide}, Z), [1; 2; 1; 2]), 'a wide Z read the wrong column');
end

function faults()
  t = struct('var', int32([1; 0; -2; 0; 0]), 'cut', [0.5; 0; 1; 0; 0], ...
             'leftchildren', int32([2; 0; 4; 0; 0]), 'rightchildren', int32([3; 0; 5; 0; 0]), ...
             'catsplit', {{int32([1 2]), int32(3)}}, 'leaf_mean', (1:5)', 'leaf_var', zeros(5, 1));
  u = t;                                        % the same, but missing category 2
  u.catsplit = {int32(1), int32(3)};
  Z = [rand(9000, 1) * 0.4, randi(3, 9000, 1)];
  Z(4321, :) = [0.9 7];                         % fails in both trees
  Z(10, :) = [0.9 2];                           % fails in the second tree only
  for threads = [1 2]
    expect_failure(@() forestcast({t, u}, Z, struct('num_threads', threads)), ...
                   '^Z\(10, 2\) = 2 is in neither value set of categorical node 3 of forest\{2\}');
  end
  % catsplit rows that no split names any more (a split pruned to a leaf)
  % are never read, with or without compiling.
  pruned = t;
  pruned.var(3) = 0;
  assert(isequal(forestcast({pruned}, Z(1:9, :)), forestcast({pruned}, Z)(1:9)));
  t.theta_columns = 1;
  t.levels = [0 3];
  expect_failure(@() forestcast({t}, Z), '^Z\(4321, 2\) = 7, but forest\{1\} was fitted');
  expect_failure(@() forestcast({t}, Z(:, 1)), '^Z has 1 columns, but forest\{1\}');
  expect_failure(@() forestcast({t}, Z, struct('num_threads', 0)), 'num_threads');
end

function interrupted()
  % A million rows down a chain of 30,000 splits: some 15,000 steps a row.
  interrupted_call('rand(''state'', 1); t = chain_tree(3e4); Z = rand(1e6, 1);', ...
      'result = forestcast({t}, Z);', ...
      'assert(isequal(forestcast({chain_tree(4)}, [0.1; 0.3; 0.6; 0.9; 1.5]), [2; 4; 6; 8; 9]));');
end
