function cases = test_nodeharvest()
% Behaviours of nodeharvest that users (and poolmargins) rely on.
  cases = {
    'worked examples: leaf cells in depth-first order, unset tail', @worked_examples
    'leaf cells carry the first n ysub values and the statistics', @leaf_cell_contents
    'random trees: each pair in the leaf treecast reaches, cells as walked', @random_trees
    'categorical splits: NaN category, empty sets, sets tested at every visit', @categorical_splits
    'walk errors come in the order of the walk', @walk_error_order
    'argument messages in order; usage; output counts', @argument_checks
    'malformed trees and entries raise an error instead of a crash', @malformed_trees
    'a chain of 100,000 split nodes, continuing left or right', @deep_chain
  };
end

function [C, n] = harvest(t, Theta, X)
  [C, n] = nodeharvest(t.var, t.cut, t.ysub, t.leftchildren, t.rightchildren, t.catsplit, ...
                       Theta, X, t.g_leaf, t.m_leaf, t.n_leaf, t.leaf_mean, t.leaf_var);
end

function t = tree(var, cut, left, right, catsplit)
  N = numel(var);
  t.var = int32(var(:));  t.cut = cut(:);  t.catsplit = catsplit;
  t.leftchildren = int32(left(:));  t.rightchildren = int32(right(:));
  t.ysub = num2cell((1:N)' * 10);
  t.g_leaf = (1:N)' + 0.1;  t.m_leaf = (1:N)' + 0.2;  t.n_leaf = int32(-(1:N)');
  t.leaf_mean = (1:N)' + 0.4;  t.leaf_var = (1:N)' + 0.5;
end

function t = stump(var, cut, catsplit)
  t = tree([var 0 0], [cut 0 0], [2 0 0], [3 0 0], catsplit);
end

function check_cells(C, n, expected)
  % EXPECTED: rows of {configurations, instances, node}.
  assert(isa(n, 'int32') && isscalar(n) && n == rows(expected));
  for c = 1:rows(expected)
    assert(size(C{c}), [1 5]);
    assert(C{c}([1 2 4]), {int32(expected{c, 1}), int32(expected{c, 2}), int32(expected{c, 3})});
  end
  assert(all(cellfun(@(e) isequal(e, []), C(n + 1:end))));
  check_classes(C, n);
end

function check_classes(C, n)
  % (assert does not compare classes inside cells)
  classes = cellfun(@(c) strjoin(cellfun(@class, c, 'UniformOutput', false)), C(1:n), ...
                    'UniformOutput', false);
  assert(all(strcmp(classes, 'int32 int32 double int32 double')));
end

function worked_examples()
  t = tree([1 2 0 0 0], [0.5 10 0 0 0], [2 4 0 0 0], [3 5 0 0 0], cell(0, 2));
  [C, n] = harvest(t, [0.2; 0.7; 0.1], [5; 20]);
  assert(size(C), [1 5]);
  check_cells(C, n, {[1 3], 1, 4; [1 3], 2, 5; 2, [1 2], 3});
  [C, n] = harvest(stump(1, 0.5, cell(0, 2)), [0.2; 0.7; 0.1], [5; 20]);
  check_cells(C, n, {[1 3], [1 2], 2; 2, [1 2], 3});
  t = tree(0, NaN, 7, -7, cell(0, 2));    % the root is a leaf
  [C, n] = harvest(t, rand(4, 2), rand(3, 0));
  check_cells(C, n, {1:4, 1:3, 1});
end

function leaf_cell_contents()
  t = stump(1, 0.5, cell(0, 2));
  t.ysub = {[]; [4; 5; 6]; [1 2 3; 4 5 6]};   % a column gives its first value
  t.n_leaf(2) = -3;
  [C, n] = harvest(t, [0.2; 0.9], zeros(0, 1));
  assert(n, int32(2));
  assert(C{1}, {int32(1), zeros(1, 0, 'int32'), 4, int32(2), [2.1 2.2 -3 2.4 2.5]});
  assert(C{2}{3}, [1 4 2]);
  check_classes(C, n);
  t.ysub = cell(3, 1);                    % never set: an empty entry in Octave
  t.ysub{3} = zeros(1, 0);
  [C, n] = harvest(t, [0.2; 0.9], 1);
  assert(C{1}{3}, zeros(1, 0));
  assert(C{2}{3}, zeros(1, 0));
end

function random_trees()
  for trial = 1:20
    t = random_tree(randi([0, 40]), 5, 'categorical', [2 4]);
    p = randi([0, 5]);
    nT = randi([0, 30]) * (mod(trial, 5) ~= 0);   % some calls without rows
    nX = randi([0, 20]) * (mod(trial, 7) ~= 0);
    Theta = random_rows(t, nT, 1, p);
    X = random_rows(t, nX, p + 1, 5 - p);
    Theta(rand(size(Theta)) < 0.05 & ~ismember(1:p, t.categorical)) = NaN;
    [C, n] = harvest(t, Theta, X);
    assert(C(1:n), reference_walk(t, Theta, X, 1, 1:nT, 1:nX));
    check_classes(C, n);
    if nT * nX == 0
      continue;
    end
    % Every pair lies in exactly one leaf cell: the leaf treecast reaches.
    leaf = zeros(nT, nX);
    for c = 1:n
      assert(all(leaf(C{c}{1}, C{c}{2})(:) == 0));
      leaf(C{c}{1}, C{c}{2}) = C{c}{4};
    end
    [i, j] = ndgrid(1:nT, 1:nX);
    N = numel(t.var);
    walked = treecast([Theta(i(:), :), X(j(:), :)], t.var, t.cut, (1:N)', zeros(N, 1), ...
                      t.children, t.catsplit, int32(1), int32(0));
    assert(leaf(:), walked);
  end
end

function cells = reference_walk(t, Theta, X, k, confs, insts)
  % The leaf cells below node k, recursively, as the walk is defined.
  v = double(t.var(k));
  if v == 0
    y = t.ysub{k};
    stats = [t.g_leaf(k) t.m_leaf(k) double(t.n_leaf(k)) t.leaf_mean(k) t.leaf_var(k)];
    cells = {{int32(confs), int32(insts), reshape(y(1:columns(y)), 1, []), int32(k), stats}};
    return;
  end
  on_theta = abs(v) <= columns(Theta);
  if on_theta
    values = Theta(confs, abs(v));
  else
    values = X(insts, abs(v) - columns(Theta));
  end
  if v > 0
    left = t.cut(k) > values;
  else
    category = fix(values);  category(isnan(values)) = double(intmin('int32'));
    left = ismember(category, t.catsplit{fix(t.cut(k)), 1});
  end
  cells = cell(1, 0);
  kids = [t.leftchildren(k), t.rightchildren(k)];
  for side = [true false]
    part = find(left == side)';
    if on_theta && ~isempty(part)
      cells = [cells, reference_walk(t, Theta, X, kids(2 - side), confs(part), insts)];
    elseif ~on_theta && ~isempty(part)
      cells = [cells, reference_walk(t, Theta, X, kids(2 - side), confs, insts(part))];
    end
  end
end

function categorical_splits()
  missing = ['Missing value -- not allowed in this implementation ' ...
             '(randomly assign missing values during tree construction!).'];
  ints = 'Elements of catsplit cell array have to be ints (cast them to int in Matlab)';
  sets = {int32(7), int32(7); int32([1 3; 5 6]), int32([2 3])};
  for cut = [2, 2.9]                      % row 2; 3 is in both sets and goes left
    [C, n] = harvest(stump(-2, cut, sets), 1, [3; 2.7; 5.5; 3.1]);
    check_cells(C, n, {1, [1 3 4], 2; 1, 2, 3});
  end
  expect_error(@() harvest(stump(-2, 2, sets), 1, [3; NaN]), missing);
  expect_error(@() harvest(stump(-2, 2, sets), 1, [3; -0.5]), missing);
  sets{2, 2} = int32([2 intmin('int32')]);   % the category of NaN and 3e10
  [C, n] = harvest(stump(-2, 2, sets), 1, [NaN; 3; 3e10]);
  check_cells(C, n, {1, 2, 2; 1, [1 3], 3});
  [C, n] = harvest(stump(2, 0.5, sets), 1, [NaN; 0.2]);   % ordered: NaN goes right
  check_cells(C, n, {1, 2, 2; 1, 1, 3});
  % Both sets empty: the first value is missing; an empty list passes, but
  % the sets' class is tested all the same.
  empty = stump(-1, 1, {zeros(1, 0, 'int32'), int32([])});
  expect_error(@() harvest(empty, 5, 1), missing);
  [C, n] = harvest(empty, zeros(0, 1), 1);
  check_cells(C, n, cell(0, 3));
  expect_error(@() harvest(stump(-1, 1, {int32([]), []}), zeros(0, 1), 1), ints);
  expect_error(@() harvest(stump(-1, 1, {[], int32(1)}), zeros(0, 1), 1), ints);
  % Both sets are tested before any value: a right set of the wrong class
  % fails even though the left set lists every value.
  expect_error(@() harvest(stump(-1, 1, {int32(1), single(2)}), 1, 1), ints);
end

function walk_error_order()
  % The root splits the instances; its left child splits the configurations
  % on categories, its right child is a leaf with a char ysub entry.
  t = tree([2 -1 0 0 0], [0.5 1 0 0 0], [2 4 0 0 0], [3 5 0 0 0], {int32(1), int32(2)});
  t.ysub{3} = 'text';
  missing = ['Missing value -- not allowed in this implementation ' ...
             '(randomly assign missing values during tree construction!).'];
  expect_error(@() harvest(t, [1; 3], [0.2; 0.9]), missing);
  expect_error(@() harvest(t, [1; 2], [0.2; 0.9]), 'Elements of ysub cell array have to be doubles');
  [C, n] = harvest(t, [1; 2], 0.2);       % leaf 3 not reached: no check
  check_cells(C, n, {1, 1, 4; 2, 1, 5});
end

function argument_checks()
  t = stump(1, 0.5, cell(0, 2));
  a = {t.var, t.cut, t.ysub, t.leftchildren, t.rightchildren, t.catsplit, rand(2, 1), ...
       rand(3, 2), t.g_leaf, t.m_leaf, t.n_leaf, t.leaf_mean, t.leaf_var};
  usage = ['Usage: [cell_of_leaves, numCellsFilled] = cropnodes(var, cut, ysub, ' ...
           'leftchildren, rightchildren, catsplit, Theta, X, g_leaf, m_leaf, n_leaf).'];
  expect_error(@() nodeharvest(a{1:12}), usage);
  expect_error(@() nodeharvest(a{:}, 1), usage);
  expect_error(@() out3(@() nodeharvest(a{1:12})), usage);
  expect_error(@() out3(@() nodeharvest(a{:})), 'Too many output arguments');
  nodeharvest(a{:});                      % no output requested: still the cell
  assert(iscell(ans) && numel(ans) == 3);
  C = nodeharvest(a{:});
  assert(size(C), [1 3]);

  vec = 'must be a noncomplex %s Nx1 vector.';
  bad = {
    1, double(t.var), sprintf(['var ' vec], 'int')
    1, int32([1 0 0; 0 0 0]), sprintf(['var ' vec], 'int')
    2, t.cut(1:2), sprintf(['cut ' vec], 'double')
    2, [t.cut; 0], sprintf(['cut ' vec], 'double')
    2, int32(t.cut), sprintf(['cut ' vec], 'double')
    3, t.ysub', 'ysub must be a Nx1 cell array.'
    3, zeros(3, 1), 'ysub must be a Nx1 cell array.'
    4, double(t.leftchildren), sprintf(['leftchildren ' vec], 'int')
    5, t.rightchildren', sprintf(['rightchildren ' vec], 'int')
    6, cell(3, 1), 'catsplit must be a Mx2 cell array'
    6, zeros(0, 2), 'catsplit must be a Mx2 cell array'
    7, int32([1; 2]), 'Theta must be a noncomplex double Nxp matrix.'
    7, complex(rand(2, 1)), 'Theta must be a noncomplex double Nxp matrix.'
    8, single(rand(3, 2)), 'X must be a noncomplex double nxd matrix).'
    9, t.g_leaf(1:2), sprintf(['g_leaf ' vec], 'double')
    10, complex(t.m_leaf), sprintf(['m_leaf ' vec], 'double')
    11, double(t.n_leaf), sprintf(['n_leaf ' vec], 'int')
    12, t.leaf_mean', sprintf(['leaf_mean ' vec], 'double')
    13, int32(t.leaf_var), sprintf(['leaf_var ' vec], 'double')
  };
  for k = 1:rows(bad)
    b = a;
    b{bad{k, 1}} = bad{k, 2};
    expect_error(@() nodeharvest(b{:}), bad{k, 3});
  end
  b = a;  b{1} = int32([1 2]);  b{2} = complex(t.cut);   % the first failure wins
  expect_error(@() nodeharvest(b{:}), sprintf(['var ' vec], 'int'));
  % Sparse doubles are refused right after their own check.
  for k = [2 7 8 9 10 12 13]
    b = a;  b{k} = sparse(b{k});
    if k < 13
      b{k + 1} = 'wrong';
    end
    expect_failure(@() nodeharvest(b{:}), 'must be a full matrix, not sparse');
  end
end

function out3(f)
  [~, ~, ~] = f();
end

function malformed_trees()
  t = stump(1, 0.5, cell(0, 2));
  t.leftchildren(1) = 4;
  expect_failure(@() harvest(t, [0.2; 0.7], 1), 'left child of node 1 .* 1\.\.3 \(got 4\)');
  [~, n] = harvest(t, 0.7, 1);            % only a visited child is checked
  assert(n, int32(1));
  t.rightchildren(1) = -2;
  expect_failure(@() harvest(t, 0.7, 1), 'right child of node 1 .* \(got -2\)');
  t = stump(1, 0.5, cell(0, 2));
  t.leftchildren(1) = 1;                  % the root is its own left child
  expect_failure(@() harvest(t, 0.2, 1), 'node 1 is reached a second time');
  t.leftchildren(1) = 3;                  % both sides share node 3
  expect_failure(@() harvest(t, [0.2; 0.7], 1), 'node 3 is reached a second time');
  for v = [3, -3, intmin('int32')]        % Theta and X have one column each
    t = stump(v, 1, {int32(1), int32(2)});
    expect_failure(@() harvest(t, 1, 1), 'split variable \d+ of node 1 exceeds');
    [~, n] = harvest(t, 1, zeros(0, 1));  % no instance: no column read
    assert(n, int32(0));
  end
  for cut = [0, 2, -1]
    expect_failure(@() harvest(stump(-1, cut, {int32(1), int32(2)}), zeros(0, 1), 1), ...
                   'names catsplit row -?\d, outside 1\.\.1');
  end
  % A cut that is no whole number is shown as it is.
  for cut = {NaN, 'NaN'; 1e12, '1000000000000'; -Inf, '-Inf'; 2.5, '2.5'}'
    expect_failure(@() harvest(stump(-1, cut{1}, {int32(1), int32(2)}), zeros(0, 1), 1), ...
                   ['the cut of categorical node 1 is ' cut{2} '; it must name a catsplit row, 1\.\.1\.']);
  end
  t = tree([], [], [], [], cell(0, 2));
  expect_failure(@() harvest(t, zeros(0, 1), zeros(0, 1)), 'no nodes');
  t = stump(1, 0.5, cell(0, 2));
  t.ysub{3} = sparse(1, 3);
  expect_failure(@() harvest(t, 0.9, 1), 'ysub element 3 must be a full matrix');
  t.ysub{3} = zeros(0, 3);
  expect_failure(@() harvest(t, 0.9, 1), 'ysub element 3 has 3 columns but only 0 values');
  [~, n] = harvest(t, 0.1, 1);            % leaf 3 not reached
  assert(n, int32(1));
  expect_failure(@() harvest(t, zeros(2^31, 0), 1), 'Theta has 2147483648 rows');
end

function deep_chain()
  % Split node k (1..S) has a leaf S+k on one side and its continuation on
  % the other (node k+1, or leaf 2S+1 below node S). Most nodes pass every
  % row on, on Theta, on X or through categories; a few peel off the lowest
  % or the highest configuration or instance still in the chain.
  S = 100000;  nT = 40;  nX = 6;
  cont_left = rand(S, 1) < 0.5;
  next = [(2:S)'; 2 * S + 1];
  leaf = (S + 1:2 * S)';
  left = [cont_left .* next + ~cont_left .* leaf; zeros(S + 1, 1)];
  right = [~cont_left .* next + cont_left .* leaf; zeros(S + 1, 1)];
  kind = randi(3, S, 1);                  % 1: Theta, 2: X column 1, 3: X column 2
  var = [1; 2; -3](kind);
  cut = (1 - 2 * cont_left) * -Inf;       % every row to the continuation
  cut(kind == 3) = 2 - cont_left(kind == 3);
  peel = false(S, 1);
  for v = 1:2
    at = find(kind == v);
    peel(at(randperm(numel(at), [nT nX](v) - 2))) = true;
    at = peel & kind == v;
    lows = cumsum(at & ~cont_left);       % peels of the lowest row so far
    highs = cumsum(at & cont_left);
    n_rows = [nT nX](v);
    cut(at & ~cont_left) = lows(at & ~cont_left) + 0.5;
    cut(at & cont_left) = n_rows - highs(at & cont_left) + 0.5;
  end
  t = tree([var; zeros(S + 1, 1)], [cut; zeros(S + 1, 1)], left, right, ...
           {int32(1:3), zeros(1, 0, 'int32'); zeros(1, 0, 'int32'), int32(1:3)});
  Theta = (1:nT)';
  X = [(1:nX)', randi(3, nX, 1)];
  [C, n] = harvest(t, Theta, X);
  nodes = cellfun(@(c) c{4}, C(1:n));
  % Depth first: a left leaf before everything deeper, a right one after.
  key = [(1:S)' + (3 * S - 2 * (1:S)') .* cont_left; S + 0.5];
  assert(all(diff(key(nodes - S)) > 0));
  N = 2 * S + 1;
  [i, j] = ndgrid(1:nT, 1:nX);
  walked = treecast([Theta(i(:)), X(j(:), :)], t.var, t.cut, (1:N)', zeros(N, 1), ...
                    [t.leftchildren t.rightchildren], t.catsplit, int32(1), int32(0));
  leaf_of = zeros(nT, nX);
  for c = 1:n
    leaf_of(C{c}{1}, C{c}{2}) = C{c}{4};
  end
  assert(leaf_of(:), walked);
  assert(sum(cellfun(@(c) numel(c{1}) * numel(c{2}), C(1:n))), nT * nX);
  assert(any(nodes == N));                % some rows reach the bottom
end
