function cases = test_grow_tree()
% The example learner (examples/grow_tree.m) emits well-formed trees.
  cases = {
    'random data and options give well-formed trees', @random_trees_well_formed
    'a step in one variable is found exactly; constant data gives one leaf', @simple_shapes
    'bootstrap forests are repeatable from the generator state', @forest_repeatable
  };
end

function random_trees_well_formed()
  for trial = 1:8
    n = randi([1, 400]);
    levels = [0, randi([2, 6]), 0, randi([1, 3])];
    levels = levels(randperm(4));
    Z = rand(n, 4);
    for v = find(levels > 0)
      % Only some categories occur, so value sets must add the others.
      Z(:, v) = randi(levels(v), n, 1) + 0.5 * rand(n, 1) * (trial > 4);
    end
    Z(:, 1) = round(Z(:, 1) * 8) / 8;     % ties among ordered values
    y = randn(n, 1) + 3 * (Z(:, 2) > 0.5);
    opts = struct('mtry', randi(4), 'min_leaf', randi([1, 8]));
    if trial > 5
      opts.max_nodes = randi([1, 30]);
    end
    t = grow_tree(Z, y, levels, opts);
    check_well_formed(t, Z, y, levels, opts);
  end
end

function simple_shapes()
  x = (1:40)' / 40;
  y = 2 * (x > 0.5) + 1;
  t = grow_tree([rand(40, 1), x], y, [0 0], struct('mtry', 2, 'min_leaf', 3));
  assert(t.var, int32([2; 0; 0]));
  assert(t.cut(1) > 0.5 && t.cut(1) <= 0.525);
  assert(t.nodepred, [2; 1; 3]);
  t = grow_tree(rand(10, 2), 4 * ones(10, 1), [0 0]);
  assert(t.var, int32(0));
  assert([t.nodepred, t.leaf_var, double(t.n_leaf)], [4 0 10]);
  t = grow_tree(1, 1, 3);
  check_well_formed(t, 1, 1, 3, struct());
end

function forest_repeatable()
  Z = [rand(60, 2), randi(3, 60, 1)];
  y = randn(60, 1);
  rand('state', 7);
  a = grow_forest(Z, y, [0 0 3], 3, struct('min_leaf', 2));
  rand('state', 7);
  b = grow_forest(Z, y, [0 0 3], 3, struct('min_leaf', 2));
  assert(isequal(a, b));
  for t = 1:3
    assert(sum(double(a{t}.n_leaf(a{t}.var == 0))) == 60);
  end
end

function check_well_formed(t, Z, y, levels, opts)
  N = numel(t.var);
  assert(isa(t.var, 'int32') && isequal(size(t.var), [N 1]));
  assert(isa(t.children, 'int32') && isequal(size(t.children), [N 2]));
  assert(isequal(t.leftchildren, t.children(:, 1)) && isequal(t.rightchildren, t.children(:, 2)));
  double_columns = {t.cut, t.nodepred, t.stddev, t.g_leaf, t.m_leaf, t.leaf_mean, t.leaf_var};
  assert(all(cellfun(@(a) isa(a, 'double') && isequal(size(a), [N 1]), double_columns)));
  assert(isa(t.n_leaf, 'int32') && isequal(size(t.n_leaf), [N 1]));
  assert(iscell(t.ysub) && isequal(size(t.ysub), [N 1]) && size(t.catsplit, 2) == 2);
  if isfield(opts, 'max_nodes')
    assert(N <= opts.max_nodes);
  end

  % Every node is reached exactly once from the root, through valid splits.
  seen = zeros(N, 1);
  stack = 1;
  while ~isempty(stack)
    k = stack(end);
    stack(end) = [];
    seen(k) += 1;
    v = double(t.var(k));
    if v == 0
      continue;
    end
    kids = double(t.children(k, :));
    assert(all(kids >= 1 & kids <= N));
    stack = [stack, kids]; %#ok<AGROW>
    assert(abs(v) <= numel(levels) && (v < 0) == (levels(abs(v)) > 0));
    if v < 0
      r = t.cut(k);
      assert(r == fix(r) && r >= 1 && r <= rows(t.catsplit));
      left = t.catsplit{r, 1};
      right = t.catsplit{r, 2};
      assert(isa(left, 'int32') && isa(right, 'int32'));
      % Every category on exactly one side.
      assert(isequal(sort([left(:); right(:)]), int32(1:levels(-v))'));
    end
    % The node's responses are its children's, split between them.
    assert(isequal(sort(t.ysub{k}), sort([t.ysub{kids(1)}, t.ysub{kids(2)}])));
  end
  assert(all(seen == 1));

  % Statistics at every node; leaves hold at least min_leaf responses.
  min_leaf = 5;
  if isfield(opts, 'min_leaf')
    min_leaf = opts.min_leaf;
  end
  leaves = find(t.var == 0);
  for k = 1:N
    yk = t.ysub{k};
    assert(size(yk, 1) == 1 && t.n_leaf(k) == numel(yk));
    assert(t.g_leaf(k), sum(yk), 1e-12 * max(1, sum(abs(yk))));
    assert(t.m_leaf(k), sum(yk .^ 2), 1e-12 * max(1, sum(yk .^ 2)));
    assert(t.leaf_mean(k), mean(yk), 1e-12 * max(1, max(abs(yk))));
    assert(t.nodepred(k) == t.leaf_mean(k));
    assert(t.leaf_var(k), mean((yk - mean(yk)) .^ 2), 1e-12 * max(1, max(yk .^ 2)));
    assert(t.stddev(k) == sqrt(t.leaf_var(k)));
  end
  assert(all(t.n_leaf(leaves) >= min(min_leaf, numel(y))));
  assert(isequal(sort([t.ysub{leaves}]), sort(y(:)')));

  % treecast routes every training run to the leaf that holds its
  % response, and routes every category with no missing value (strategy
  % 9 would raise an error at a missing one).
  at = treecast(Z, t.var, t.cut, (1:N)', t.stddev, t.children, t.catsplit, ...
                int32(1), int32(9));
  for k = leaves'
    assert(isequal(sort(y(at == k))', sort(t.ysub{k})));
  end
  probe = rand(200, numel(levels));
  for v = find(levels > 0)
    probe(:, v) = randi(levels(v), 200, 1);
  end
  at = treecast(probe, t.var, t.cut, (1:N)', t.stddev, t.children, t.catsplit, ...
                int32(1), int32(9));
  assert(all(t.var(at) == 0));
end
