function cases = test_forestfit()
% forestfit learns grow_tree's trees from runs, without the pair matrix.
  cases = {
    'without bootstrap and with every variable tried, the tree is grow_tree''s', @same_as_grow_tree
    'values farther apart than the largest double are still cut between them', @huge_values
    'a seed gives one forest; bootstrap samples R runs; defaults', @seeded_forests
    'every scorer keeps the first of equal scores: the kernels without AVX2 give the same forests', @vector_scorer
    'the forest feeds treecast, nodeharvest and forest_marginals unchanged', @feeds_the_toolbox
    'bad arguments are named, in argument order', @messages
    'a zeros or mat2cell shadowed on the path is refused, not trusted', @shadowed_host_functions
  };
end

function [Theta, X, runs, y, levels] = random_runs(K, N, R, p_levels, d_levels)
  % Configurations and instances with ordered columns full of ties and
  % categorical ones with only some categories present; responses rounded
  % so that equal scores are common.
  levels = [p_levels, d_levels];
  p = numel(p_levels);
  Theta = round(rand(K, p) * randi([2, 12])) / 4;
  X = round(rand(N, numel(d_levels)) * randi([2, 12])) / 4;
  for v = find(levels > 0)
    values = randi(levels(v), max(K, N), 1);
    if v <= p
      Theta(:, v) = values(1:K);
    else
      X(:, v - p) = values(1:N);
    end
  end
  runs = int32([randi(K, R, 1), randi(N, R, 1)]);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  y = round(4 * (Z(:, 1) + (Z(:, end) > 1) + randn(R, 1))) / 4;
end

function same_as_grow_tree()
  fields = {'var', 'cut', 'children', 'leftchildren', 'rightchildren', 'catsplit', 'ysub'};
  stats = {'nodepred', 'stddev', 'g_leaf', 'm_leaf', 'leaf_mean', 'leaf_var'};
  for trial = 1:14
    seed = 4200 + trial;
    rand('state', seed);  randn('state', seed);
    p_levels = [0, randi([0, 5]), 0];
    d_levels = [randi([0, 4]), 0];
    if trial == 3
      d_levels = [];                         % no instance features
    end
    R = randi([1, 600]);
    if trial <= 2
      R = randi([1, 12]);                    % a root leaf or a few nodes
    end
    K = randi([2, 40]);
    N = randi([1, 30]);
    if trial == 4
      p_levels(2) = 12;  K = 40;  R = 600;   % more categories than the lanes hold
    elseif trial == 5
      d_levels(1) = 7;  N = 30;  R = 600;    % two vectors of category lanes
    end
    [Theta, X, runs, y, levels] = random_runs(K, N, R, p_levels, d_levels);
    opts = struct('mtry', numel(levels), 'min_leaf', randi([1, 6]));
    if rem(trial, 3) == 0
      opts.max_nodes = randi([1, 40]);
    end
    ours = forestfit(Theta, X, runs, y, levels, ...
                     setfield(setfield(opts, 'bootstrap', false), 'num_trees', 1));
    Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
    theirs = grow_tree(Z, y, levels, opts);
    try
      assert(iscell(ours) && isequal(size(ours), [1 1]));
      a = ours{1};
      % Beyond grow_tree's fields, what the tree was fitted on.
      assert(isequal(fieldnames(a), [fieldnames(theirs); {'theta_columns'; 'levels'; ...
                                                          'catsplit_ends'; 'catsplit_values'}]));
      assert(isequal(a.theta_columns, size(Theta, 2)) && isequal(a.levels, levels));
      ends = reshape(cumsum(cellfun(@numel, a.catsplit(:))), [], 2);
      assert(isequal(a.catsplit_ends, int32(ends)) && ...
             isequal(a.catsplit_values, int32([zeros(1, 0), a.catsplit{:}])'));
      for f = fieldnames(theirs)'
        assert(strcmp(class(a.(f{1})), class(theirs.(f{1}))) && ...
               isequal(size(a.(f{1})), size(theirs.(f{1}))), 'field %s: class or size', f{1});
      end
      for f = fields
        assert(isequal(a.(f{1}), theirs.(f{1})), 'field %s differs', f{1});
      end
      assert(isequal(cellfun(@class, a.catsplit, 'UniformOutput', false), ...
                     cellfun(@class, theirs.catsplit, 'UniformOutput', false)));
      assert(isequal(cellfun(@size, a.catsplit, 'UniformOutput', false), ...
                     cellfun(@size, theirs.catsplit, 'UniformOutput', false)));
      assert(isequal(a.n_leaf, theirs.n_leaf));
      for f = stats
        assert(a.(f{1}), theirs.(f{1}), -1e-12);
      end
      assert(trial <= 2 || numel(a.var) > 1);   % the larger cases do split
    catch err
      error('seed %d (R %d, levels %s): %s', seed, R, mat2str(levels), err.message);
    end
  end
end

function huge_values()
  % Halfway from -1.5e308 to 1.5e308 is not lo + (hi - lo) / 2, which is
  % Inf: that cut sent every run left, to an empty right child, again and
  % again until the nodes ran out (or, without max_nodes, the memory).
  Theta = repmat([-1.5e308; 1.5e308], 3, 1);
  runs = int32([(1:6)', ones(6, 1)]);
  y = [1; 10; 1; 10; 1; 10];
  opts = struct('mtry', 1, 'min_leaf', 1, 'max_nodes', 9);
  ours = forestfit(Theta, zeros(1, 0), runs, y, 0, ...
                   setfield(setfield(opts, 'bootstrap', false), 'num_trees', 1));
  theirs = grow_tree(Theta, y, 0, opts);
  assert(isequal(ours{1}.var, int32([1; 0; 0])) && isequal(ours{1}.n_leaf, int32([6; 3; 3])));
  assert(ours{1}.cut(1) == 0 && isequal(ours{1}.cut, theirs.cut));
end

function seeded_forests()
  seed = 77;
  rand('state', seed);  randn('state', seed);
  [Theta, X, runs, y, levels] = random_runs(30, 20, 300, [0 3 0], [2 0]);
  opts = struct('num_trees', 4, 'min_leaf', 2, 'seed', 5);
  a = forestfit(Theta, X, runs, y, levels, opts);
  b = forestfit(Theta, X, runs, y, levels, opts);
  assert(isequal(a, b), 'seed %d: one seed, two forests', seed);
  assert(~isequal(a{1}, a{2}), 'seed %d: the trees of a forest are alike', seed);
  opts.seed = 6;
  c = forestfit(Theta, X, runs, y, levels, opts);
  assert(~isequal(a, c), 'seed %d: seeds 5 and 6 give one forest', seed);
  for t = 1:4
    root = sort(a{t}.ysub{1});
    assert(numel(root) == 300 && all(ismember(root, y)), 'seed %d: tree %d sample', seed, t);
    assert(~isequal(root, sort(y')), 'seed %d: tree %d drew every run once', seed, t);
  end
  % Five inputs, an empty struct and the documented defaults agree.
  d = forestfit(Theta, X, runs, y, levels);
  assert(numel(d) == 10 && isequal(d, forestfit(Theta, X, runs, y, levels, struct())));
  defaults = struct('num_trees', 10, 'mtry', 1, 'min_leaf', 5, 'max_nodes', Inf, ...
                    'bootstrap', true, 'seed', 0);
  assert(isequal(d, forestfit(Theta, X, runs, y, levels, defaults)));
  % Without bootstrap every tree holds every run once, in run order.
  e = forestfit(Theta, X, runs, y, levels, struct('bootstrap', false, 'num_trees', 2));
  assert(isequal(e{1}.ysub{1}, y') && isequal(e{2}.ysub{1}, y'));
end

function vector_scorer()
  % Ties between scores are common here, so the lanes' first bests must
  % reduce to the first best; min_leaf moves the ranges' ends off the
  % vector width.
  seed = 83;
  rand('state', seed);  randn('state', seed);
  [Theta, X, runs, y, levels] = random_runs(40, 30, 2000, [0 3 0], [8 0]);
  y(1:2:end) = y(1:2:end) + rand(1000, 1);      % and some distinct scores
  for min_leaf = 1:4
    opts = struct('num_trees', 3, 'mtry', 2, 'min_leaf', min_leaf, 'seed', min_leaf);
    assert(isequal(forestfit_vector(Theta, X, runs, y, levels, opts), ...
                   forestfit(Theta, X, runs, y, levels, opts)), ...
           'seed %d, min_leaf %d', seed, min_leaf);
  end
  % Integer responses symmetric in the order of the one variable: cutting
  % after i runs or before the last i scores exactly the same, and the
  % first best is the smaller i, in every lane layout.
  for n = 29:36
    half = randi(9, 1, floor(n / 2));
    y = [half, randi(9, 1, rem(n, 2)), fliplr(half)]';
    runs = int32([(1:n)', ones(n, 1)]);
    opts = struct('num_trees', 1, 'bootstrap', false, 'mtry', 1, 'min_leaf', 2);
    theirs = grow_tree((1:n)', y, 0, opts);
    ours = {forestfit((1:n)', zeros(1, 0), runs, y, 0, opts), ...
            forestfit_vector((1:n)', zeros(1, 0), runs, y, 0, opts)};
    for k = 1:2
      assert(isequal(ours{k}{1}.cut, theirs.cut), 'seed %d, n %d, scorer %d', seed, n, k);
    end
  end
end

function feeds_the_toolbox()
  seed = 91;
  rand('state', seed);  randn('state', seed);
  [Theta, X, runs, y, levels] = random_runs(25, 15, 500, [0 4], [3 0 0]);
  forest = forestfit(Theta, X, runs, y, levels, struct('num_trees', 3, 'mtry', 2, ...
                                                       'min_leaf', 3, 'seed', 2));
  % treecast routes every training run to a leaf holding its response.
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  f = forest{1};
  N = numel(f.var);
  at = treecast(Z, f.var, f.cut, (1:N)', f.stddev, f.children, f.catsplit, int32(1), int32(9));
  assert(all(f.var(at) == 0), 'seed %d', seed);
  % The forest road against averaging forest_predict over every pair.
  [means, vars] = forest_marginals(forest, Theta, X);
  [ci, ii] = ndgrid(1:rows(Theta), 1:rows(X));
  brute = mean(reshape(forest_predict(forest, [Theta(ci(:), :), X(ii(:), :)]), ...
                       rows(Theta), rows(X)), 2);
  assert(means, brute, -1e-12);
  assert(all(vars >= 0) && isequal(size(vars), [rows(Theta) 1]), 'seed %d', seed);
end

function messages()
  Theta = [0.1 1; 0.5 2; 0.9 1];
  X = [3; 4];
  runs = int32([1 1; 2 2; 3 1; 1 2]);
  y = [1; 2; 3; 4];
  levels = [0 2 0];
  ok = @(varargin) forestfit(varargin{:});
  expect_failure(@() forestfit(Theta, X, runs, y), ...
                 '^Usage: forest = forestfit\(Theta, X, runs, y, levels, opts\)');
  expect_error(@() ok(single(Theta), X, runs, y, levels), ...
               'Theta must be a real double K-by-p matrix.');
  expect_error(@() ok(Theta, 'x', runs, y, levels), ...
               'X must be a real double N-by-d matrix (d may be 0).');
  expect_error(@() ok(Theta, X, double(runs), y, levels), ...
               'runs must be an R-by-2 int32 matrix (rows of Theta, rows of X).');
  expect_error(@() ok(Theta, X, zeros(0, 2, 'int32'), [], levels), ...
               'runs has no rows: there is nothing to fit.');
  expect_error(@() ok(Theta, X, int32([1 1; 4 1]), [1; 2], levels), ...
               'runs(2, 1) = 4 is not a row of Theta (1..3).');
  % Argument order: a bad run is reported before a bad response.
  expect_error(@() ok(Theta, X, int32([1 1; 1 0]), [NaN; 2], levels), ...
               'runs(2, 2) = 0 is not a row of X (1..2).');
  expect_error(@() ok(Theta, X, runs, [1; 2; Inf; 4], levels), ...
               'y(3) is Inf; responses must be finite.');
  expect_error(@() ok(Theta, X, runs, y', levels), ...
               'y must be a real double R-by-1 vector, one response per run.');
  expect_error(@() ok(Theta, X, runs, y, [0 2]), ...
               'levels must be a real double 1-by-3 vector (one entry per column of Theta and X).');
  expect_error(@() ok(Theta, X, runs, y, [0 1.5 0]), ...
               'levels(2) = 1.5; it must be 0 (ordered) or a number of categories 1..2^31-1.');
  expect_error(@() ok(Theta, X, runs, y, [0 0 3]), ...
               ['X(2, 1) = 4, but variable 3 is categorical with levels 3: its values must ' ...
                'be the integers 1..3.']);
  expect_error(@() ok([NaN 1; 0.5 2; 0.9 1], X, runs, y, levels), ...
               'Theta(1, 1) is NaN; ordered variables need numbers.');
  expect_error(@() ok(Theta, X, runs, y, levels, struct('mtri', 2)), ...
               ['opts has an unknown field ''mtri'' (known: num_trees, mtry, min_leaf, ' ...
                'max_nodes, bootstrap, seed).']);
  for bad = {0, 4, 1.5, NaN}
    expect_error(@() ok(Theta, X, runs, y, levels, struct('mtry', bad{1})), ...
                 'opts.mtry must be an integer in 1..3 (the columns of Theta and X).');
  end
  expect_error(@() ok(Theta, X, runs, y, levels, struct('min_leaf', {1, 2})), ...
               ['opts must be a 1-by-1 struct (fields num_trees, mtry, min_leaf, max_nodes, ' ...
                'bootstrap, seed; all optional).']);
  expect_error(@() ok(Theta, X, runs, y, levels, struct('bootstrap', 'yes')), ...
               'opts.bootstrap must be a real scalar.');
  expect_error(@() ok(zeros(2, 0), zeros(2, 0), int32([1 1]), 1, zeros(1, 0)), ...
               'Theta and X have no columns: the trees need at least one variable.');
  expect_failure(@() ok(Theta, X, runs, y, levels, struct('num_trees', 2^31 - 1)), ...
                 '^the fit needs about .* bytes of memory, more than this machine has\.$');
end

function shadowed_host_functions()
  % forestfit makes the rows of ysub and catsplit with the host's zeros and
  % cuts them with its mat2cell: a shadowing function is refused.
  dir = tempname();
  mkdir(dir);
  addpath(dir);
  unwind_protect
    shadows = {'mat2cell', ['the host''s mat2cell or reshape, shadowed on the path, ' ...
                            'returned something else than a cell.']; ...
               'zeros', ['the host''s zeros, shadowed on the path, returned something ' ...
                         'else than a row of zeros.']};
    for k = 1:rows(shadows)
      file = fullfile(dir, [shadows{k, 1} '.m']);
      fid = fopen(file, 'w');
      fprintf(fid, 'function c = %s(varargin)\n  c = 0;\nend\n', shadows{k, 1});
      fclose(fid);
      rehash();
      expect_error(@() forestfit([1; 2], ones(2, 0), int32([1 1; 2 1]), [1; 2], 0), ...
                   shadows{k, 2});
      delete(file);
      rehash();
    end
  unwind_protect_cleanup
    rmpath(dir);
    confirm_recursive_rmdir(false, 'local');
    rmdir(dir, 's');
  end_unwind_protect
end
