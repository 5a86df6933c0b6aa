function cases = test_poolmargins()
% Behaviours of poolmargins that users rely on.
  cases = {
    'worked example: two trees, weights 0.75/0.25/1', @worked_example
    'random leaf collections agree with the closed form', @closed_form
    'no trees: NaN means and variances, even with deterministic set', @no_trees
    'empty trees, unlisted configurations, empty lists, repeated entries', @degenerate_leaves
    'trees taken in column-major order of any shape', @trees_in_linear_order
    'zero to three outputs give the same values; four give the usage', @output_counts
    'argument messages in order', @argument_checks
    'leaf messages in order, deterministic tested inside the leaf loop', @leaf_checks
    'configuration numbers outside 1..numTheta are refused', @bad_configuration_numbers
    'negative numTheta and oversized tables are refused', @bad_table_sizes
  };
end

function leaf = make_leaf(thetas, m, mu, s2)
  % A leaf cell as nodeharvest writes it: M instances, mean MU, variance S2.
  leaf = {int32(thetas(:)'), int32(1:m), randn(1, 2), int32(7), [randn(1, 3), mu, s2]};
end

function [a, b, c] = example_trees()
  a = make_leaf([1 2], 3, 10, 4);
  b = make_leaf([1 2], 1, 2, 1);
  c = make_leaf(1, 4, 6, 1);
end

function [m, v, tm] = pool(leaves, K, N, deterministic)
  if nargin < 4
    deterministic = 0;
  end
  [m, v, tm] = poolmargins(leaves, int32(K), int32(N), int32(deterministic));
end

function worked_example()
  [a, b, c] = example_trees();
  [m, v, tm] = pool({{a, b}, {c}}, 2, 4);
  assert(tm, [8 6; 8 0]);
  assert(m, [7; 4]);
  assert(v, [2.65625; 17.15625]);
end

function closed_form()
  for trial = 1:10
    K = randi([1, 40]);
    N = randi([1, 30]);
    T = randi([1, 6]);
    forest = cell(1, T);
    expected_tm = zeros(K, T);
    expected_tv = zeros(K, T);
    for t = 1:T
      L = randi([0, 12]);
      tree = cell(1, L);
      for j = 1:L
        thetas = randi(K, 1, randi([0, K]));   % repeats allowed: each adds
        m = randi([0, N]);
        mu = 10 * randn;
        s2 = rand * 3;
        tree{j} = make_leaf(thetas, m, mu, s2);
        w = m / N;
        for k = thetas
          expected_tm(k, t) += w * mu;
          expected_tv(k, t) += w ^ 2 * s2;
        end
      end
      forest{t} = tree;
    end
    [m, v, tm] = pool(forest, K, N);
    tol = 1e-12 * max(1, max(abs(expected_tm(:))));
    assert(tm, expected_tm, tol);
    expected_m = mean(expected_tm, 2);
    assert(m, expected_m, tol);
    expected_v = mean(expected_tm .^ 2 + expected_tv, 2) - expected_m .^ 2;
    assert(v, expected_v, 1e-12 * max(1, max(abs(expected_tm(:)) .^ 2)));
  end
end

function no_trees()
  for K = [0 3]
    for d = [0 5]
      [m, v, tm] = pool({}, K, 4, d);
      assert(size(tm), [K, 0]);
      assert([size(m), size(v)], [K 1 K 1]);
      assert(all(isnan([m; v])));
    end
  end
  [m, v, tm] = pool(cell(0, 3), 2, 4);
  assert(size(tm), [2 0]);
  assert(all(isnan([m; v])));
end

function degenerate_leaves()
  [a, b] = example_trees();
  % A tree without leaves counts with 0 in every mean and adds -mean^2.
  [m, v, tm] = pool({{a, b}, {}}, 3, 4);
  assert(tm, [8 0; 8 0; 0 0]);
  assert(m, [4; 4; 0]);
  assert(v, [(64 + 2.3125 - 16 + 0 - 16) / 2; (64 + 2.3125 - 16 - 16) / 2; 0]);
  % An empty instance list adds 0; an empty configuration list adds nothing.
  e = make_leaf([1 2], 0, 99, 99);
  f = make_leaf([], 4, 99, 99);
  [m, ~, tm] = pool({{a, e, f, b}}, 2, 4);
  assert(tm, [8; 8]);
  % A configuration listed twice in one leaf adds twice.
  [~, ~, tm] = pool({{make_leaf([2 1 2], 2, 1, 0)}}, 2, 4);
  assert(tm, [0.5; 1]);
end

function trees_in_linear_order()
  [a, b, c] = example_trees();
  forest = {{a}, {b}, {c}; {c}, {}, {a, b}};    % 2x3: column-major order
  [~, ~, tm] = pool(forest, 2, 4);
  assert(tm, [7.5 6 0.5 0 6 8; 7.5 0 0.5 0 0 8]);
  % A tree's leaves may come as a column or a matrix of cells too.
  [m1, v1] = pool({{a; b}, {c}}, 2, 4);
  [m2, v2] = pool({{a, b}, {c}}, 2, 4);
  assert([m1 v1], [m2 v2]);
end

function output_counts()
  [a, b, c] = example_trees();
  args = {{{a, b}, {c}}, int32(2), int32(4), int32(0)};
  poolmargins(args{:});
  m1 = poolmargins(args{:});
  [m2, v2] = poolmargins(args{:});
  [m3, v3, tm3] = poolmargins(args{:});
  assert(m1, [7; 4]);
  assert([m2 v2], [m3 v3]);
  assert(tm3, [8 6; 8 0]);
  usage = ['Usage: [means, vars, tree_means] = poolmargins(cell_of_leaves, numTheta, ' ...
           'numInstances, deterministic).'];
  expect_error(@() out4(@() poolmargins(args{:})), usage);
  expect_error(@() poolmargins(args{1:3}), usage);
  expect_error(@() poolmargins(args{:}, 1), usage);
end

function out4(f)
  [~, ~, ~, ~] = f();
end

function argument_checks()
  [a, b, c] = example_trees();
  good = {{{a, b}, {c}}, int32(2), int32(4), int32(0)};
  bad = {
    1, [], 'cell_of_leaves must be a nonempty cell array'
    1, {a}{1}{5}, 'cell_of_leaves must be a nonempty cell array'
    2, 2, 'numTheta must be a noncomplex int scalar.'
    2, int32([2 2]), 'numTheta must be a noncomplex int scalar.'
    2, complex(int32(2), int32(1)), 'numTheta must be a noncomplex int scalar.'
    3, 4, 'numInstances must be a noncomplex int scalar.'
    3, int32([4; 4]), 'numInstances must be a noncomplex int scalar.'
    4, 0, 'deterministic must be a noncomplex int scalar.'
    4, zeros(0, 0, 'int32'), 'deterministic must be a noncomplex int scalar.'
  };
  for k = 1:rows(bad)
    args = good;
    args{bad{k, 1}} = bad{k, 2};
    expect_error(@() poolmargins(args{:}), bad{k, 3});
  end
  % The first failing argument is the one reported.
  expect_error(@() poolmargins(good{1}, 2, 4, 0), 'numTheta must be a noncomplex int scalar.');
  expect_error(@() poolmargins(good{1}, int32(2), 4, 0), ...
               'numInstances must be a noncomplex int scalar.');
  expect_error(@() poolmargins(1, 2, 4, 0), 'cell_of_leaves must be a nonempty cell array');
  % An empty cell array is accepted, and so is an empty tree.
  assert(size(poolmargins(cell(1, 0), int32(2), int32(4), int32(0))), [2 1]);
end

function leaf_checks()
  [a, b, c] = example_trees();
  call = @(forest, d) poolmargins(forest, int32(2), int32(4), int32(d));
  tree_msg = 'entries of cell_of_leaves must be a nonempty cell arrays';
  leaf_msg = 'entries of entries of cell_of_leaves must be nonempty cell arrays';
  expect_error(@() call({{a}, 3}, 0), tree_msg);
  expect_error(@() call({{a}, cell(1, 2){1}}, 0), tree_msg);
  % An untrimmed nodeharvest output has unset elements after the leaves.
  untrimmed = cell(1, 3);
  untrimmed{1} = a;
  expect_error(@() call({untrimmed}, 0), leaf_msg);
  expect_error(@() call({{a, 'leaf'}}, 0), leaf_msg);
  for n = [4 6 0]
    expect_error(@() call({{cell(1, n)}}, 0), 'Leaves must have 5 values.');
  end
  expect_error(@() call({{[a, {1}]}}, 0), 'Leaves must have 5 values.');

  % One leaf element at a time, in the order the checks run.
  bad = {
    5, [], 'mx_leaf_stats is null.'
    5, [1 2 3 4 5]', 'mx_leaf_stats must be a noncomplex 1x5 double vector.'
    5, int32(1:5), 'mx_leaf_stats must be a noncomplex 1x5 double vector.'
    5, complex(1:5), 'mx_leaf_stats must be a noncomplex 1x5 double vector.'
    5, 1:6, 'mx_leaf_stats must be a noncomplex 1x5 double vector.'
    1, [], 'mx_theta_idx_here is null.'
    1, [1 2], 'mx_theta_idx_here must be a noncomplex int row vector.'
    1, int32([1; 2]), 'mx_theta_idx_here must be a noncomplex int row vector.'
    1, zeros(0, 0, 'int32'), 'mx_theta_idx_here must be a noncomplex int row vector.'
    2, [], 'mx_pi_idx is null.'
    2, 1:3, 'mx_pi_idx must be a noncomplex int row vector.'
    2, zeros(0, 0, 'int32'), 'mx_pi_idx must be a noncomplex int row vector.'
    2, int16(1:3), 'mx_pi_idx must be a noncomplex int row vector.'
  };
  for k = 1:rows(bad)
    leaf = a;
    leaf{bad{k, 1}} = bad{k, 2};
    expect_error(@() call({{b, leaf}}, 0), bad{k, 3});
  end
  % A never-set element reads the same as an explicit [] in every host.
  leaf = cell(1, 5);
  expect_error(@() call({{leaf}}, 0), 'mx_leaf_stats is null.');
  leaf{5} = [0 0 0 1 1];
  expect_error(@() call({{leaf}}, 0), 'mx_theta_idx_here is null.');
  % Stored values of a sparse array are not a full 1x5 buffer.
  leaf = a;
  leaf{5} = sparse([0 0 0 1 0]);
  expect_failure(@() call({{leaf}}, 0), 'mx_leaf_stats must be a full matrix');

  % deterministic is tested after the statistics and configurations of a
  % leaf passed, before its instance list.
  expect_error(@() call({{a}}, 1), 'need to implement deterministic');
  expect_error(@() call({{a}}, -1), 'need to implement deterministic');
  leaf = a;  leaf{1} = int32([1; 2]);
  expect_error(@() call({{leaf}}, 1), 'mx_theta_idx_here must be a noncomplex int row vector.');
  leaf = a;  leaf{2} = [];
  expect_error(@() call({{leaf}}, 1), 'need to implement deterministic');
  expect_error(@() call({{}, {a}}, 3), 'need to implement deterministic');
  [m, v] = call({{}, {}}, 3);              % no leaf reached: no message
  assert([m v], [0 0; 0 0]);
  % An empty configuration list still has its instance list checked.
  leaf = make_leaf([], 2, 1, 1);  leaf{2} = [1 2];
  expect_error(@() call({{leaf}}, 0), 'mx_pi_idx must be a noncomplex int row vector.');
  % Trees and leaves are checked as they are reached: a good first tree
  % does not hide a fault in the second.
  expect_error(@() call({{a, b}, {c, {}}}, 0), 'Leaves must have 5 values.');
end

function bad_configuration_numbers()
  [a, b] = example_trees();
  for theta = [0, -1, 3, 1000000, intmax('int32'), intmin('int32')]
    leaf = make_leaf([1 theta], 2, 1, 1);
    expect_failure(@() pool({{a}, {b, leaf}}, 2, 4), ...
                   sprintf('configuration %d .*leaf 2 of tree 2.*outside 1\\.\\.numTheta', theta));
  end
  % numTheta = 0 leaves no room for any configuration.
  expect_failure(@() pool({{a}}, 0, 4), 'outside 1\.\.numTheta');
  [m, v, tm] = pool({{make_leaf([], 3, 1, 1)}}, 0, 4);
  assert(size(m) == [0 1] & size(v) == [0 1] & size(tm) == [0 1]);
end

function bad_table_sizes()
  [a, b, c] = example_trees();
  expect_failure(@() pool({{a}}, -1, 4), 'numTheta must not be negative');
  expect_failure(@() pool({}, intmin('int32'), 4), 'numTheta must not be negative');
  % Argument checks come first.
  expect_error(@() poolmargins({}, int32(-1), 4, int32(0)), ...
               'numInstances must be a noncomplex int scalar.');
  % numInstances only divides, so fewer than one instance is refused, right
  % after its class check (before deterministic's).
  expect_error(@() poolmargins({{a}}, int32(2), int32(0), 0), ...
               'numInstances must be at least 1 (got 0).');
  expect_error(@() poolmargins({}, int32(2), int32(-4), int32(0)), ...
               'numInstances must be at least 1 (got -4).');
  % intmax x 2 trees is beyond any table the host can describe.
  expect_failure(@() pool({{a}, {c}}, intmax('int32'), 4), 'exceeds the largest table');
  % intmax x 1 tree fits the table limit but needs 64 GB of tables, which an
  % overcommitting host would hand out and then kill the session for.
  meminfo = fileread('/proc/meminfo');
  if str2double(regexp(meminfo, 'MemTotal:\s*(\d+)', 'tokens', 'once'){1}) < 60e6
    expect_failure(@() pool({{a}}, intmax('int32'), 4), 'MB of memory available');
  end
  % With no trees the table is empty, whatever numTheta.
  [m, v, tm] = pool(cell(1, 0), 1e6, 4);
  assert(size(tm), [1e6 0]);
end
