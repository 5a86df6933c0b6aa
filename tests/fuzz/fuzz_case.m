function [args, nout] = fuzz_case(module, seed)
% FUZZ_CASE  The arguments and output count of fuzz call SEED of MODULE.
%
% Draws from a grammar of wrong and borderline values: a well-formed call,
% then a few of its arguments replaced by odd values (every numeric class,
% logical, char, cell, struct, sparse, complex, empty shapes, 3-D arrays,
% NaN, Inf, -0, huge and negative numbers, int32 limits), the argument
% count changed now and then, and 0 to 4 outputs requested. Tree modules
% also get trees mutated from well-formed ones. The same seed always gives
% the same call, so a failing call can be replayed.
  rand('twister', seed);
  randn('twister', seed);
  switch module
    case 'treecast'
      args = treecast_args();
    case 'nodeharvest'
      args = nodeharvest_args();
    case 'poolmargins'
      args = poolmargins_args();
    case 'forestfit'
      args = forestfit_args();
    case 'forestmargins'
      [forest, p, model] = fuzz_forest();
      [Theta, X] = forest_data(model, p);
      args = {forest, Theta, X, forest_opts()};
    case 'forestcast'
      [forest, p, model] = fuzz_forest();
      [Theta, X] = forest_data(model, p, true);
      args = {forest, [Theta, X], forest_opts()};
    case 'quadgap'
      args = quadgap_args();
    case 'mismatchsum'
      args = mismatchsum_args();
    case 'pairtrend'
      N = randi([0, 50]);
      args = {rand(N, 1), rand(N, 1)};
      args{randi(2)} = args{randi(2)}';   % rows and columns mix
    case 'lowsweep'
      m = randi([0, 6]);
      args = {tril(rand(m)) + eye(m), rand(m, randi([0, 3]))};
    case 'loopbench'
      args = {};
    otherwise
      error('fuzz_case: unknown module %s', module);
  end
  % Replace none, one or two arguments by odd values.
  for replaced = 1:(rand < 0.5) + (rand < 0.15)
    if ~isempty(args)
      args{randi(numel(args))} = odd_value();
    end
  end
  % Now and then a wrong number of arguments.
  if rand < 0.08 && ~isempty(args)
    args(randi(numel(args))) = [];
  elseif rand < 0.08
    args{end + 1} = odd_value();
  end
  nout = randi([0, 4]);
  if rand < 0.7
    nout = min(nout, 1);     % most calls ask for what users ask for
  end
end

function v = odd_value()
  switch randi(30)
    case 1,  v = int8(randi([-128, 127], randi([0, 3]), randi([0, 3])));
    case 2,  v = uint8(randi(255, 2, 2));
    case 3,  v = int16(-3);
    case 4,  v = uint16([1 2 3]);
    case 5,  v = int32([intmax('int32'); intmin('int32'); 0]);
    case 6,  v = uint32(4294967295);
    case 7,  v = int64(-9e18);
    case 8,  v = uint64([1; 2]);
    case 9,  v = single(rand(3, 2));
    case 10, v = rand(randi([0, 4]), randi([0, 4])) > 0.5;
    case 11, v = 'some text';
    case 12, v = {1, int32(2); 'x', []};
    case 13, v = struct('a', {1, 2});
    case 14, v = sparse(rand(4, 3) > 0.5);
    case 15, v = sparse(rand(randi([0, 5]), 1));
    case 16, v = complex(rand(3, 1), rand(3, 1));
    case 17, v = complex(single(1), 2);
    case 18, v = zeros(0, 0);
    case 19, v = zeros(randi([0, 3]), 0);
    case 20, v = zeros(0, randi([0, 3]));
    case 21, v = rand(2, 3, 2);
    case 22, v = int32(ones(2, 1, 3));
    case 23, v = [NaN; Inf; -Inf; -0];
    case 24, v = 1e300;
    case 25, v = -5;
    case 26, v = int32(-randi(1e9));
    case 27, v = int32(intmax('int32'));
    case 28, v = int32(intmin('int32'));
    case 29, v = cell(randi([0, 3]), randi([0, 3]));
    case 30, v = int32(randi([-3, 3], randi([0, 4]), randi([0, 2])));
  end
end

function t = mutated_tree()
  % A well-formed tree, then (mostly) one or two faults of the kinds a
  % hand-built tree has.
  t = random_tree(randi([0, 12]), 4, 'categorical', [2 4], 'complete', rand < 0.7);
  N = numel(t.var);
  for fault = 1:(rand < 0.6) * randi(2)
    k = randi(N);
    switch randi(12)
      case 1, t.children(k, randi(2)) = randi([-2, N + 2]);       % out of range
      case 2, t.children(k, randi(2)) = randi(max(k, 1));         % cycle or shared
      case 3, t.children(k, :) = int32([k k]);
      case 4, t.var(k) = (2 * (rand < 0.5) - 1) * (t.nvars + randi(3)); % past the data
      case 5, t.var(k) = intmin('int32');
      case 6, t.var(k) = -randi(t.nvars);  t.cut(k) = randi([-1, rows(t.catsplit) + 2]);
      case 7, t.cut(k) = NaN;
      case 8
        if ~isempty(t.catsplit)
          t.catsplit{randi(numel(t.catsplit))} = [];              % unset
        end
      case 9
        if ~isempty(t.catsplit)
          t.catsplit{randi(numel(t.catsplit))} = odd_value();     % wrong class
        end
      case 10
        if ~isempty(t.catsplit)
          t.catsplit{randi(numel(t.catsplit))} = zeros(1, 0, 'int32'); % empty set
        end
      case 11, t.ysub{k} = odd_value();
      case 12, t.ysub = cell(N, 1);                               % never set
    end
  end
  t.leftchildren = t.children(:, 1);
  t.rightchildren = t.children(:, 2);
end

function args = treecast_args()
  t = mutated_tree();
  X = random_rows(t, randi([0, 40]));
  if rand < 0.1
    X = X(:, 1:randi([0, columns(X)]));
  end
  args = {X, t.var, t.cut, t.nodepred, t.stddev, t.children, t.catsplit, ...
          int32(randi([-5, 5])), int32(randi([-2, 9]))};
end

function args = nodeharvest_args()
  t = mutated_tree();
  p = randi([0, 4]);
  Theta = random_rows(t, randi([0, 15]), 1, p);
  X = random_rows(t, randi([0, 15]), p + 1, max(t.nvars - p, 0));
  args = {t.var, t.cut, t.ysub, t.leftchildren, t.rightchildren, t.catsplit, Theta, X, ...
          t.g_leaf, t.m_leaf, t.n_leaf, t.leaf_mean, t.leaf_var};
end

function args = poolmargins_args()
  K = randi([0, 8]);
  T = randi([0, 4]);
  forest = cell(1, T);
  for tr = 1:T
    leaves = cell(1, randi([0, 4]));
    for j = 1:numel(leaves)
      leaf = {int32(randi(max(K, 1), 1, randi([0, 4]))), int32(1:randi([0, 5])), ...
              rand(1, 2), int32(j), rand(1, 5)};
      switch randi(40)                                          % mostly well-formed
        case 1, leaf{1}(end + 1) = int32(randi([-3, K + 3]));   % index out of range
        case 2, leaf{randi(5)} = odd_value();
        case 3, leaf(end) = [];                                 % 4 elements
        case 4, leaf{1} = leaf{1}';                             % a column
        case 5, leaf = odd_value();
      end
      leaves{j} = leaf;
    end
    if rand < 0.05
      leaves = odd_value();
    end
    forest{tr} = leaves;
  end
  args = {forest, int32(K), int32(randi([-1, 6])), int32(rand < 0.1)};
  if rand < 0.05
    args{2} = int32(-randi(5));
  end
end

function [forest, p, model] = fuzz_forest()
  % Mutated trees as the forest modules read them, some with what they were
  % fitted on (right or wrong) or packed value sets (some damaged); MODEL
  % is a tree as random_rows reads it, to draw data for them.
  forest = cell(1, randi([0, 3]));
  p = randi([0, 4]);
  model = random_tree(0, 4);
  for t = 1:numel(forest)
    f = mutated_tree();
    if t == 1
      model = f;
    end
    f.leaf_var = rand(size(f.var));
    if rand < 0.3
      f.theta_columns = p;
      L = f.levels;                            % random_tree's: categories per variable
      f.levels = zeros(1, f.nvars);
      f.levels(f.categorical) = L;
      if rand < 0.2
        f.levels = odd_value();
      end
    end
    if rand < 0.3
      try                                      % sets of odd classes are not packed
        f.catsplit_ends = int32(reshape(cumsum(cellfun(@numel, f.catsplit(:))), [], 2));
        f.catsplit_values = int32(cell2mat(cellfun(@(s) double(s(:)'), f.catsplit(:)', ...
                                                    'UniformOutput', false)))';
      catch
      end
      if rand < 0.3 && isfield(f, 'catsplit_ends')
        f.catsplit_ends(randi(max(numel(f.catsplit_ends), 1))) = int32(randi([-3, 40]));
      end
    end
    if rand < 0.05
      f = rmfield(f, {'cut', 'leaf_var', 'var'}{randi(3)});
    end
    if rand < 0.3
      f = compact_tree(f, p);
    end
    forest{t} = f;
  end
  if rand < 0.05
    forest = odd_value();
  elseif rand < 0.05 && ~isempty(forest)
    forest{randi(numel(forest))} = odd_value();
  end
end

function c = compact_tree(f, p)
  % The compact layout of a mutated tree (its left sets only), some fields
  % damaged in turn.
  c = struct('format_version', 2, 'theta_columns', p, 'levels', zeros(1, f.nvars));
  if isfield(f, 'theta_columns')                 % given already, right or wrong
    c.levels = f.levels;
  else
    c.levels(f.categorical) = f.levels;
  end
  names = {'var', 'cut', 'children'};
  for k = 1:numel(names)
    if isfield(f, names{k})
      c.(names{k}) = f.(names{k});
    end
  end
  c.mean = f.nodepred;
  if isfield(f, 'leaf_var')
    c.variance = f.leaf_var;
  end
  try
    sets = cellfun(@(s) double(s(:)'), f.catsplit(:, 1)', 'UniformOutput', false);
    c.left_sets = int32([zeros(1, 0), sets{:}])';
    c.left_set_ends = int32(cumsum(cellfun(@numel, sets)))';
  catch
    c.left_sets = zeros(0, 1, 'int32');
    c.left_set_ends = zeros(0, 1, 'int32');
  end
  names = fieldnames(c);
  if rand < 0.3
    name = names{randi(numel(names))};
    switch randi(3)
      case 1, c = rmfield(c, name);
      case 2, c.(name) = odd_value();
      case 3, c.(name)(randi(max(numel(c.(name)), 1))) = randi([-3, 70]);
    end
  end
end

function [Theta, X] = forest_data(model, p, paired)
  % Configurations and instances for the variables of MODEL; PAIRED: as
  % many of each, the rows of one Z.
  X = random_rows(model, randi([rand < 0.9, 12]), p + 1, max(model.nvars - p, 0));
  K = randi([0, 12]);
  if nargin > 2
    K = rows(X);
  end
  Theta = random_rows(model, K, 1, p);
end

function opts = forest_opts()
  opts = struct('num_threads', randi(3));
  switch randi(12)
    case 1, opts.num_threads = odd_value();
    case 2, opts = struct('threads', 1);
    case 3, opts = odd_value();
  end
end

function args = quadgap_args()
  D = randi([0, 5]);
  n = randi([0, 9]);
  m = randi([0, 9]);
  args = {rand(D, n), rand(D, m), rand(n, m)};
  if rand < 0.2
    args{2} = [];
  end
  args = args(1:randi(3));
end

function args = mismatchsum_args()
  D = randi([0, 5]);
  args = {int32(randi(3, D, randi([0, 9]))), int32(randi(3, D, randi([0, 9]))), rand(D, 1)};
  if rand < 0.2
    args{2} = int32([]);
  end
end

function args = forestfit_args()
  % Mostly well-formed runs over small data, then one borderline detail:
  % an index out of range, a category outside 1..L, a non-finite response,
  % levels of the wrong length, odd options.
  K = randi([rand < 0.05, 6]);
  N = randi([rand < 0.05, 6]);
  p = randi([rand < 0.1, 3]);
  d = randi([0, 2]);
  levels = zeros(1, p + d);
  levels(rand(1, p + d) < 0.4) = randi(4);
  Theta = round(rand(K, p) * 3) / 3;
  X = round(rand(N, d) * 3) / 3;
  for v = find(levels > 0)
    if v <= p
      Theta(:, v) = randi(levels(v), K, 1);
    else
      X(:, v - p) = randi(levels(v), N, 1);
    end
  end
  R = randi([rand < 0.05, 40]);
  runs = int32([randi(max(K, 1), R, 1), randi(max(N, 1), R, 1)]);
  y = round(randn(R, 1) * 2);
  opts = struct();
  names = {'num_trees', 'mtry', 'min_leaf', 'max_nodes', 'bootstrap', 'seed'};
  values = {randi(3), randi(max(p + d, 1)), randi(6), randi(9), rand < 0.5, randi([-5, 5])};
  for f = find(rand(1, 6) < 0.4)
    opts.(names{f}) = values{f};
  end
  switch randi(36)                     % mostly well-formed
    case 1, runs(randi(max(R, 1))) = int32(randi([-2, 9]));
    case 2, levels(end + 1) = 0;
    case 3, y(randi(max(R, 1))) = [NaN, Inf, -Inf](randi(3));
    case 4, opts.(char('a' + randi(25, 1, 4))) = 1;
    case 5, opts.max_nodes = [Inf, NaN, 1e300, 0.5](randi(4));
    case 6, opts.seed = [2^53, -2^60, 0.5, NaN](randi(4));
    case 7
      if ~isempty(Theta)
        Theta(randi(numel(Theta))) = [NaN, 0, 2.5, 1e9, -1](randi(5));
      end
    case 8, levels(randi(max(numel(levels), 1))) = [1.5, -1, 2^31, NaN](randi(4));
    case 9, opts = struct('mtry', {1, 2});
    case 10, opts.min_leaf = 1e12;
    case 11, opts.mtry = [0, p + d + 1](randi(2));
    case 12, opts.num_trees = [0, -1, 2^40](randi(3));
  end
  args = {Theta, X, runs, y, levels, opts};
  if rand < 0.2
    args = args(1:5);
  end
end
