function cases = test_forest_road()
% The forest road: nodeharvest per tree, then poolmargins, gives what
% averaging treecast over every (configuration, instance) pair gives.
  cases = {
    'learned forests with categorical splits match brute-force averaging', @learned_forests
    'random trees over configuration and instance variables match', @random_forests
    'one configuration, one instance, and a forest of leaf-only trees', @small_shapes
  };
end

function learned_forests()
  for trial = 1:3
    n_conf = randi([5, 60]);
    n_inst = randi([3, 40]);
    levels = [0, randi([2, 5]), 0, randi([2, 4]), 0];   % 3 parameters, 2 features
    p = 3;
    Theta = rand(n_conf, p);
    X = rand(n_inst, 2);
    Theta(:, 2) = randi(levels(2), n_conf, 1);
    X(:, 1) = randi(levels(4), n_inst, 1) + 0.5 * rand(n_inst, 1);
    runs = [randi(n_conf, 600, 1), randi(n_inst, 600, 1)];
    Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
    y = Z(:, 1) + (Z(:, 2) == 2) + Z(:, 4) .* Z(:, 5) + 0.1 * randn(600, 1);
    forest = grow_forest(Z, y, levels, randi([1, 4]), struct('mtry', 2, 'min_leaf', 3));
    check_road(forest, Theta, X);
  end
end

function random_forests()
  for trial = 1:4
    nvars = 6;
    p = randi([1, 5]);
    forest = cell(1, randi([1, 5]));
    for t = 1:numel(forest)
      f = random_tree(randi([0, 80]), nvars, 'categorical', [2 5]);
      f.leaf_mean = f.nodepred;            % the leaves predict their nodepred
      forest{t} = f;
    end
    Theta = random_rows(forest{1}, randi([1, 50]), 1, p);
    X = random_rows(forest{1}, randi([1, 50]), p + 1, nvars - p);
    check_road(forest, Theta, X);
  end
end

function small_shapes()
  f = random_tree(30, 3, 'categorical', 1);
  f.leaf_mean = f.nodepred;
  check_road({f, f}, random_rows(f, 1, 1, 2), random_rows(f, 7, 3, 1));
  check_road({f}, random_rows(f, 9, 1, 2), random_rows(f, 1, 3, 1));
  leaf = struct('var', int32(0), 'cut', 0, 'children', int32([0 0]), ...
                'leftchildren', int32(0), 'rightchildren', int32(0), 'nodepred', 3, ...
                'stddev', 0, 'catsplit', {cell(0, 2)}, 'ysub', {{[1 2]}}, 'g_leaf', 0, ...
                'm_leaf', 0, 'n_leaf', int32(2), 'leaf_mean', 3, 'leaf_var', 0.5);
  [m, v, tm] = check_road({leaf, f}, random_rows(f, 4, 1, 2), random_rows(f, 3, 3, 1));
  assert(tm(:, 1), repmat(3, 4, 1));
end

function [means, vars, tree_means] = check_road(forest, Theta, X)
  % The road, then every output against treecast over all pairs.
  K = rows(Theta);
  N = rows(X);
  T = numel(forest);
  [means, vars, tree_means] = forest_marginals(forest, Theta, X);

  [ci, ii] = ndgrid(1:K, 1:N);
  pairs = [Theta(ci(:), :), X(ii(:), :)];
  expected_tm = zeros(K, T);
  expected_tv = zeros(K, T);
  for t = 1:T
    f = forest{t};
    at = treecast(pairs, f.var, f.cut, (1:numel(f.var))', f.stddev, f.children, ...
                  f.catsplit, int32(1), int32(9));
    at = reshape(at, K, N);
    y = reshape(treecast(pairs, f.var, f.cut, f.nodepred, f.stddev, f.children, ...
                         f.catsplit, int32(1), int32(9)), K, N);
    expected_tm(:, t) = mean(y, 2);
    % Per configuration: each leaf weighted by its share of the instances.
    for k = 1:K
      [reached, ~, which] = unique(at(k, :));
      share = accumarray(which(:), 1) / N;
      expected_tv(k, t) = sum(share .^ 2 .* f.leaf_var(reached));
    end
  end
  scale = max(1, max(abs(expected_tm(:))));
  assert(tree_means, expected_tm, 1e-12 * scale);
  assert(means, mean(expected_tm, 2), 1e-12 * scale);
  expected_v = mean(expected_tm .^ 2 + expected_tv, 2) - mean(expected_tm, 2) .^ 2;
  assert(vars, expected_v, 1e-12 * scale ^ 2);
end
