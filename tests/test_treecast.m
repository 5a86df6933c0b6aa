function cases = test_treecast()
% Behaviours of treecast that users rely on.
  cases = {
    'ordered split: cut > x goes left; equal, NaN and +Inf go right', @ordered_split_sides
    'categorical split: truncated cut row, left set first, sets of any shape', @categorical_split_sides
    'a one-node tree predicts its nodepred for every row, whatever X holds', @single_leaf
    'X with no rows gives a 0x1 result', @no_rows
    'random trees agree with a plain row-by-row walk (strategies 0, 4-7)', @random_trees_agree
    'category numbers anywhere in the int32 range, many rows or few', @category_numbers_anywhere
    'strategies 1-3 draw once per missing category, in row order', @random_strategies_draw_for_draw
    'strategies 2 and 3 compare with <= L', @le_L_comparison
    'the strategy is checked only where a category is missing', @strategy_checked_lazily
    'the right value set is fetched only when the left one fails', @right_set_fetched_lazily
    'value set messages: unset and not int32', @value_set_messages
    'argument messages in order, seeding before the last argument', @argument_checks
    'malformed trees raise an error instead of reading out of bounds', @malformed_trees
    'the first failing row is the one reported', @first_failing_row_reported
    'rows walked together behave as the same rows walked one call each', @together_as_one_by_one
    'deep chains, and paths of exactly N-1 steps, are walked to their end', @deep_chain
  };
end

function y = call(t, X, strategy, seed)
  if nargin < 4
    seed = 1;
  end
  y = treecast(X, t.var, t.cut, t.nodepred, t.stddev, t.children, t.catsplit, ...
               int32(seed), int32(strategy));
end

function t = stump(var, cut, catsplit)
  % A root split with two leaves: nodes 2 (left) and 3 (right).
  t.var = int32([var; 0; 0]);
  t.cut = [cut; 0; 0];
  t.nodepred = [5; 1; 9];
  t.stddev = [2; 0; 0];
  t.children = int32([2 3; 0 0; 0 0]);
  t.catsplit = catsplit;
end

function ordered_split_sides()
  t = stump(1, 0.5, cell(0, 2));
  assert(call(t, [0.2; 0.7], 0), [1; 9]);
  assert(call(t, [0.5; 0.4999; NaN; -Inf; Inf], 0), [9; 1; 9; 1; 9]);
  t.cut(1) = NaN;                         % a NaN cut sends everything right
  assert(call(t, [-1; 1], 0), [9; 9]);
end

function categorical_split_sides()
  sets = {int32([7 7]), int32(7); int32([1 3]), int32([2 3]')};
  for cut = [2, 2.9]
    t = stump(-2, cut, sets);
    X = [0 3; 0 2.7; 0 4; 0 -0.5; 0 NaN];
    % 3 is in both sets and goes left; 4, category 0 and NaN are missing.
    assert(call(t, X, 0), [1; 9; 5; 5; 5]);
    assert(call(t, X, 6), [1; 9; 3; 3; 3]);
    assert(call(t, X, 7), [1; 9; 7; 7; 7]);
    assert(call(t, X, 4), [1; 9; 1; 1; 1]);
    assert(call(t, X, 5), [1; 9; 9; 9; 9]);
  end
  t = stump(-1, 1, {int32([1 2; 3 4]), zeros(1, 0, 'int32')});
  assert(call(t, [4; 5; -2147483648; NaN; 3e10], 0), [1; 5; 5; 5; 5]);
  t.catsplit{1, 2} = int32(intmin('int32'));   % the category of NaN and overflow
  assert(call(t, [NaN; 3e10; -3e10], 0), [9; 9; 9]);
end

function single_leaf()
  t.var = int32(0);
  t.cut = NaN;
  t.nodepred = 4.25;
  t.stddev = NaN;
  t.children = int32([99 -4]);
  t.catsplit = cell(0, 2);
  assert(call(t, rand(6, 3), 9), repmat(4.25, 6, 1));
  assert(call(t, zeros(3, 0), 0), repmat(4.25, 3, 1));
end

function no_rows()
  t = stump(-1, 1, cell(0, 2));          % a catsplit row that does not exist
  assert(call(t, zeros(0, 4), 0), zeros(0, 1));
end

function random_trees_agree()
  for trial = 1:12
    t = random_tree(randi([1, 60]), 5, 'categorical', [2 4], 'complete', trial <= 4);
    X = random_rows(t, 41);             % not a multiple of any group size
    X(randi(numel(X), 5, 1)) = NaN;
    for strategy = [0 4 5 6 7]
      assert(call(t, X, strategy), reference_walk(t, X, strategy, []));
    end
  end
end

function category_numbers_anywhere()
  % Categories renumbered close together far from 0, and far apart over
  % the whole int32 range; each tree routes many rows (walked in groups)
  % and a few rows (fewer than a quarter of its nodes: walked one by one).
  for codes = {100:106, [-2147483647, -64, -3, 0, 63, 64, 2147483647]}
    codes = codes{1};
    for trial = 1:3
      t = random_tree(60, 3, 'categorical', [1 2], 'levels', numel(codes), ...
                      'complete', trial > 1);
      for k = 1:numel(t.catsplit)
        t.catsplit{k} = int32(codes(t.catsplit{k}));
      end
      X = random_rows(t, 700);
      for j = 1:2
        code = codes(fix(X(:, j)));
        X(:, j) = code(:) + 0.4 * sign(code(:));   % truncates back to the code
      end
      for strategy = [0 4 7]
        assert(call(t, X, strategy), reference_walk(t, X, strategy, []));
        assert(call(t, X(1:5, :), strategy), reference_walk(t, X(1:5, :), strategy, []));
      end
    end
  end
end

function random_strategies_draw_for_draw()
  for trial = 1:6
    t = random_tree(randi([5, 40]), 4, 'categorical', [1 3], 'complete', false);
    X = random_rows(t, 50);
    for strategy = 1:3
      seed = randi(1e6);
      draws = crand(int32(seed), 5000);
      [expected, used] = reference_walk(t, X, strategy, draws);
      assert(call(t, X, strategy, seed), expected);
      % The generator stands right after the draws the walk consumed.
      assert(crand(1), draws(used + 1));
    end
  end
end

function le_L_comparison()
  % L = 2, R = 1: strategy 2 always goes left, 3 always right, yet every
  % missing row consumes one draw (checked by the next draw in line).
  t = stump(-1, 1, {int32([1 2]), int32(3)});
  X = repmat(8, 20, 1);
  assert(call(t, X, 2, 5), ones(20, 1));
  assert(crand(1), crand(int32(5), 21)(21));
  assert(call(t, X, 3, 5), repmat(9, 20, 1));
  % L = 0, R = 2: strategy 2 goes left only when the draw is even.
  t = stump(-1, 1, {zeros(0, 1, 'int32'), int32([1 2])});
  draws = crand(int32(11), 30);
  expected = 9 - 8 * (mod(draws, 2) == 0)';
  assert(call(t, repmat(5, 30, 1), 2, 11), expected);
  % Strategy 1: an even draw goes left, an odd one right.
  assert(call(t, repmat(5, 30, 1), 1, 11), expected);
end

function strategy_checked_lazily()
  t = stump(-1, 1, {int32(1), int32(2)});
  assert(call(t, [1; 2; 1], 42), [1; 9; 1]);
  assert(call(t, [1; 2], -1), [1; 9]);
  msg = 'Neither going left nor right nor staying here should be impossible!';
  expect_error(@() call(t, [1; 3], 8), msg);
  expect_error(@() call(t, [1; 3], -1), msg);
end

function right_set_fetched_lazily()
  c = cell(1, 2);
  c{1} = int32([1 4]);                   % {1,2} never set
  t = stump(-1, 1, c);
  assert(call(t, [1; 4], 0), [1; 1]);
  expect_error(@() call(t, [1; 2], 0), "Empty Cell in catsplit\n"(1:end - 1));
  c{2} = 'text';                         % wrong class, still only when fetched
  t = stump(-1, 1, c);
  assert(call(t, 4, 0), 1);
end

function value_set_messages()
  ints = 'Elements of catsplit cell array have to be ints (cast them to int in Matlab)';
  expect_error(@() call(stump(-1, 1, {[1 2], int32(3)}), 1, 0), ints);
  expect_error(@() call(stump(-1, 1, {int32(1), single(3)}), 3, 0), ints);
  expect_error(@() call(stump(-1, 1, {int8(1), int32(3)}), 3, 0), ints);
  expect_error(@() call(stump(-1, 1, cell(1, 2)), 3, 0), 'Empty Cell in catsplit');
  expect_error(@() call(stump(-1, 1, {[], int32(3)}), 3, 0), 'Empty Cell in catsplit');
end

function argument_checks()
  t = stump(1, 0.5, cell(0, 2));
  a = {rand(3, 1), t.var, t.cut, t.nodepred, t.stddev, t.children, t.catsplit, ...
       int32(1), int32(0)};
  usage = ['Usage: fwd(X, var, cut, nodepred, stddev, children, catsplit, ' ...
           'seed, strategyForMissing).'];
  expect_error(@() treecast(a{1:8}), usage);
  expect_error(@() treecast(a{:}, 1), usage);
  expect_error(@() out2(@() treecast(a{1:8})), usage);
  expect_error(@() out2(@() treecast(a{:})), 'Too many output arguments');
  treecast(a{:});                        % no output requested is fine

  bad = {
    1, int32([1; 2; 3]), 'X must be a noncomplex double nxd matrix.'
    1, complex(rand(3, 1)), 'X must be a noncomplex double nxd matrix.'
    2, double(t.var), 'var must be a noncomplex int Nx1 vector.'
    2, int32([1 0 0; 0 0 0]), 'var must be a noncomplex int Nx1 vector.'
    3, t.cut(1:2), 'cut must be a noncomplex double Nx1 vector.'
    3, int32(t.cut), 'cut must be a noncomplex double Nx1 vector.'
    4, t.nodepred', 'nodepred must be a noncomplex double Nx1 vector.'
    5, complex(t.stddev), 'stddev must be a noncomplex double Nx1 vector.'
    6, double(t.children), 'children must be a noncomplex int Nx2 matrix.'
    6, int32([t.children, t.children(:, 1)]), 'children must be a noncomplex int Nx2 matrix.'
    7, cell(3, 1), 'catsplit must be a Mx2 cell array'
    7, zeros(0, 2), 'catsplit must be a Mx2 cell array'
    8, 1, 'seed must be a noncomplex int scalar'
    8, int32([1 2]), 'seed must be a noncomplex int scalar'
    9, 0, 'strategyForMissing must be a noncomplex int scalar'
    9, int32([]), 'strategyForMissing must be a noncomplex int scalar'
  };
  for k = 1:rows(bad)
    b = a;
    b{bad{k, 1}} = bad{k, 2};
    expect_error(@() treecast(b{:}), bad{k, 3});
  end
  % The first failing argument is reported: var before cut, cut before seed.
  b = a;  b{2} = int32([1 2]);  b{3} = complex(t.cut);
  expect_error(@() treecast(b{:}), 'var must be a noncomplex int Nx1 vector.');
  % seed seeds the generator before strategyForMissing is tested.
  crand(int32(1), 3);
  b = a;  b{8} = int32(77);  b{9} = 1;
  expect_error(@() treecast(b{:}), 'strategyForMissing must be a noncomplex int scalar');
  assert(crand(2), crand(int32(77), 2));
  % Sparse arrays are read as full buffers, so they are refused.
  b = a;  b{1} = sparse(rand(3, 1));
  expect_failure(@() treecast(b{:}), 'X must be a full matrix');
  b = a;  b{3} = sparse(t.cut);
  expect_failure(@() treecast(b{:}), 'cut must be a full matrix');
end

function out2(f)
  [~, ~] = f();
end

function malformed_trees()
  t = stump(1, 0.5, cell(0, 2));
  t.children(1, 1) = 4;
  expect_failure(@() call(t, 0.1, 0), 'node numbers in 1\.\.3');
  assert(call(t, 0.9, 0), 9);             % only the walk that meets it fails
  t.children(1, :) = [0 -2];
  expect_failure(@() call(t, 0.9, 0), 'node numbers in 1\.\.3');
  t = stump(1, 0.5, cell(0, 2));
  t.children(1, :) = [1 3];               % the root is its own left child
  expect_failure(@() call(t, 0.1, 0), 'cycle');
  t = struct('var', int32(1), 'cut', 0.5, 'nodepred', 1, 'stddev', 0, ...
             'children', int32([1 1]), 'catsplit', {cell(0, 2)});
  expect_failure(@() call(t, rand(9, 1), 0), 'cycle');
  t = stump(3, 0.5, cell(0, 2));
  expect_failure(@() call(t, rand(2, 2), 0), 'split variable 3 of node 1 exceeds');
  t.var(1) = intmin('int32');
  expect_failure(@() call(t, rand(2, 2), 0), 'exceeds');
  for cut = [0, 2, -1, NaN, 1e12]
    expect_failure(@() call(stump(-1, cut, {int32(1), int32(2)}), 1, 0), 'catsplit row.* 1\.\.1\.');
  end
  t.var = int32(zeros(0, 1));  t.cut = zeros(0, 1);  t.nodepred = zeros(0, 1);
  t.stddev = zeros(0, 1);  t.children = zeros(0, 2, 'int32');
  assert(call(t, zeros(0, 1), 0), zeros(0, 1));
  expect_failure(@() call(t, 1, 0), 'no nodes');
  t = stump(-1, 1, {zeros(1, 0, 'int32'), int32([])});
  assert(call(t, 1, 0), 5);
  expect_failure(@() call(t, 1, 2), 'both of its value sets are empty');
  expect_failure(@() call(t, 1, 3), 'both of its value sets are empty');
end

function first_failing_row_reported()
  % Node 2 is categorical with a missing category for row 3's value; node
  % 3 leads into a cycle. Rows are reported in order whatever the grouping.
  t.var = int32([1; -1; 1; 0]);
  t.cut = [0.5; 1; 0.7; 0];
  t.nodepred = [1; 2; 3; 4];
  t.stddev = zeros(4, 1);
  t.children = int32([2 3; 4 4; 3 3; 0 0]);
  t.catsplit = {int32(0), int32(1)};
  X = [0.1; 0.2; -2.5; 0.9; 0.8];         % row 3 missing, rows 4-5 into the cycle
  X = [X; 0.1 * ones(30, 1)];
  msg = 'Neither going left nor right nor staying here should be impossible!';
  expect_error(@() call(t, X, 9), msg);
  X(3) = 0.05;                            % category 0: listed, no missing value
  expect_failure(@() call(t, X, 9), 'cycle');
end

function together_as_one_by_one()
  % Faulty trees too: the whole call gives every row's own result, or the
  % error of the first row that has one.
  for trial = 1:100
    t = random_tree(randi([4, 30]), 4, 'categorical', [2 4], 'complete', rand < 0.5);
    N = numel(t.var);
    for fault = randi(5, 1, 3)          % several faults, so rows meet different errors
      k = randi(N);
      switch fault
        case 1, t.children(k, randi(2)) = randi([-1, N + 1]);
        case 2, t.children(k, randi(2)) = randi(k);
        case 3, t.var(k) = 5;
        case 4, t.cut(k) = rows(t.catsplit) + 1;  t.var(k) = -1;
        case 5, if ~isempty(t.catsplit), t.catsplit{randi(numel(t.catsplit))} = []; end
      end
    end
    X = random_rows(t, 300);
    strategy = randi([4, 8]);
    y = zeros(rows(X), 1);
    first_error = '';
    for i = 1:rows(X)
      try
        y(i) = call(t, X(i, :), strategy);
      catch err
        first_error = err.message;
        break;
      end
    end
    if isempty(first_error)
      assert(call(t, X, strategy), y);
    else
      expect_error(@() call(t, X, strategy), first_error(numel('treecast: ') + 1:end));
    end
  end
end

function deep_chain()
  t = random_tree(3000, 2, 'chain', true);
  X = random_rows(t, 40);
  assert(call(t, X, 0), reference_walk(t, X, 0, []));
  % Node k leads to node k + 1 on both sides: every row visits all N nodes,
  % the longest walk allowed. The last split meets a missing category, so
  % the checked walk takes the last step where the block walk stopped. A step
  % more is a cycle.
  N = 300;
  t.var = int32([ones(N - 2, 1); -2; 0]);
  t.cut = [rand(N - 2, 1); 1; 0];
  t.nodepred = (1:N)';
  t.stddev = zeros(N, 1);
  t.children = int32([2:N, 0; 2:N, 0]');
  t.catsplit = {int32(1), int32(2)};
  for n = [1, 2 * N]                     % walked one by one, and in groups
    X = [rand(n, 1), repmat(3, n, 1)];
    assert(call(t, X, 4), repmat(N, n, 1));
  end
  t.children(N - 1, 1) = 1;
  expect_failure(@() call(t, X, 4), 'cycle');
end

function [y, used] = reference_walk(t, X, strategy, draws)
  % Row by row, as the row walk is defined; DRAWS replays rand().
  used = 0;
  y = zeros(rows(X), 1);
  for i = 1:rows(X)
    k = 1;
    while true
      v = double(t.var(k));
      if v == 0
        y(i) = t.nodepred(k);
        break;
      end
      x = X(i, abs(v));
      if v > 0
        k = t.children(k, 1 + ~(t.cut(k) > x));
        continue;
      end
      r = fix(t.cut(k));
      c = category(x);
      left = t.catsplit{r, 1};
      right = t.catsplit{r, 2};
      if any(left(:) == c)
        k = t.children(k, 1);
      elseif any(right(:) == c)
        k = t.children(k, 2);
      else
        L = numel(left);
        R = numel(right);
        switch strategy
          case 0
            y(i) = t.nodepred(k);  break;
          case {1, 2, 3}
            used = used + 1;
            d = draws(used);
            if strategy == 1
              go_left = mod(d, 2) == 0;
            else
              go_left = (mod(d, L + R) <= L) == (strategy == 2);
            end
          case 4
            go_left = true;
          case 5
            go_left = false;
          case 6
            y(i) = t.nodepred(k) - t.stddev(k);  break;
          case 7
            y(i) = t.nodepred(k) + t.stddev(k);  break;
        end
        k = t.children(k, 2 - go_left);
      end
    end
  end
end

function c = category(x)
  if isnan(x) || x <= -2147483649 || x >= 2147483648
    c = -2147483648;
  else
    c = fix(x);
  end
end
