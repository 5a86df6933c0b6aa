function cases = test_forestfit()
% forestfit learns grow_tree's trees from runs, without the pair matrix.
  cases = {
    'without bootstrap and with every variable tried, the tree is grow_tree''s', @same_as_grow_tree
    'values farther apart than the largest double are still cut between them', @huge_values
    'wide ranks, over 32 categories at a node, neighbouring values: grow_tree''s tree', @rare_paths
    'responses whose squared sums would overflow are refused, in grow_tree too', @huge_responses
    'a seed gives one forest; bootstrap samples R runs; defaults', @seeded_forests
    'the forest is the same on any number of threads and fitted in blocks of trees', @threads_and_blocks
    'ysub keeps the leaves'' responses (default), every node''s, or none', @kept_responses
    'tree blocks on 2 worker processes (octave-parallel) give the one-process forest and info', @worker_processes
    'every scorer keeps the first of equal scores: the kernels without AVX2 give the same forests', @vector_scorer
    'the forest feeds treecast, nodeharvest and forest_marginals unchanged', @feeds_the_toolbox
    'bad arguments are named, in argument order', @messages
    'the memory check counts what the fit holds and names what drives it', @memory_counted
    'info: out-of-bag predictions and importance, per tree, the same on any thread count', @fit_info
    'capped runs: imputed above their bounds, at most max_response, stably far in the tail', @capped_runs
    'Ctrl-C stops a fit of one large tree on one thread within about a second; the session goes on', @interrupted
    'a zeros, mat2cell or reshape shadowed on the path changes nothing', @shadowed_host_functions
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
    ours = forestfit(Theta, X, runs, y, levels, setfield(setfield(setfield(setfield(opts, ...
                     'bootstrap', false), 'num_trees', 1), 'ysub', 'all'), 'layout', 'expanded'));
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

function rare_paths()
  seed = 97;
  rand('state', seed);  randn('state', seed);
  one = struct('mtry', 1, 'min_leaf', 1, 'bootstrap', false, 'num_trees', 1, 'ysub', 'all', ...
               'layout', 'expanded');
  same = @(Theta, y, levels, opts) isequal(one_tree(Theta, y, levels, opts), ...
                                          grow_tree(Theta, y, levels, opts));
  % Nodes of few runs on a column of far more distinct values, so that
  % their ranks span far more values than runs: radix sorts of two digits
  % (span below 2^16) and of three.
  for span = [2000, 2^17 + 5]
    Theta = (1:span)' + rand(span, 1) / 2;
    picked = randperm(span, 300)';
    y = round(4 * sin(picked / span * 9) + randn(300, 1));
    opts = setfield(one, 'min_leaf', 3);
    ours = forestfit(Theta, zeros(1, 0), int32([picked, ones(300, 1)]), y, 0, opts);
    assert(isequal(rmfield(ours{1}, {'theta_columns', 'levels', 'catsplit_ends', 'catsplit_values'}), ...
                   grow_tree(Theta(picked), y, 0, opts)), 'seed %d: span %d', seed, span);
  end
  % 45 categories present at the node: more than the small sort takes.
  cats = [(1:45)'; randi(45, 255, 1)];
  y = round(cats / 9 + randn(300, 1));
  assert(same(cats, y, 45, setfield(one, 'min_leaf', 2)), 'seed %d: categories', seed);
  % Two neighbouring doubles: halfway rounds to the lower, so the cut is
  % the upper value, and cut > x still sends the lower left.
  Theta = [1; 1 + eps; 1; 1 + eps];
  forest = forestfit(Theta, zeros(1, 0), int32([(1:4)', ones(4, 1)]), [0; 5; 0; 5], 0, one);
  assert(forest{1}.cut(1) == 1 + eps && isequal(forest{1}.n_leaf, int32([4; 2; 2])));
  assert(isequal(forest{1}.ysub{2}, [0 0]) && same(Theta, [0; 5; 0; 5], 0, one));
end

function tree = one_tree(Theta, y, levels, opts)
  % forestfit's tree over the runs 1..K of Theta, in grow_tree's fields.
  runs = int32([(1:rows(Theta))', ones(rows(Theta), 1)]);
  forest = forestfit(Theta, zeros(1, 0), runs, y, levels, opts);
  tree = rmfield(forest{1}, {'theta_columns', 'levels', 'catsplit_ends', 'catsplit_values'});
end

function huge_responses()
  % Responses up to the bound split as small ones do; beyond it their
  % squared sums would overflow (every score NaN, one leaf): refused.
  Theta = (1:6)';
  runs = int32([(1:6)', ones(6, 1)]);
  y = [1; 1; 1; 9; 9; 9] * 1e152;
  opts = struct('mtry', 1, 'min_leaf', 1, 'bootstrap', false, 'num_trees', 1, 'ysub', 'all', ...
                'layout', 'expanded');
  ours = forestfit(Theta, zeros(1, 0), runs, y, 0, opts);
  theirs = grow_tree(Theta, y, 0, opts);
  assert(isequal(ours{1}.var, int32([1; 0; 0])) && ours{1}.cut(1) == 3.5);
  assert(isequal(ours{1}.cut, theirs.cut) && all(isfinite(ours{1}.m_leaf)));
  y(5) = 2e153;
  expect_failure(@() forestfit(Theta, zeros(1, 0), runs, y, 0, opts), '^y\(5\) = 2e\+153 is too large');
  expect_failure(@() grow_tree(Theta, y, 0, opts), '^y\(5\) = 2e\+153 is too large');
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
  assert(isequal(ours{1}.var, int32([1; 0; 0])) && isequal(ours{1}.count, int32([6; 3; 3])));
  assert(ours{1}.cut(1) == 0 && isequal(ours{1}.cut, theirs.cut));
end

function seeded_forests()
  seed = 77;
  rand('state', seed);  randn('state', seed);
  [Theta, X, runs, y, levels] = random_runs(30, 20, 300, [0 3 0], [2 0]);
  opts = struct('num_trees', 4, 'min_leaf', 2, 'seed', 5, 'ysub', 'all', 'layout', 'expanded');
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
                    'bootstrap', true, 'seed', 0, 'first_tree', 1, 'num_threads', 1, ...
                    'layout', 'compact', 'responses', 'leaves');
  assert(isequal(d, forestfit(Theta, X, runs, y, levels, defaults)));
  % Without bootstrap every tree holds every run once, in run order.
  e = forestfit(Theta, X, runs, y, levels, struct('bootstrap', false, 'num_trees', 2, ...
                                                   'ysub', 'all', 'layout', 'expanded'));
  assert(isequal(e{1}.ysub{1}, y') && isequal(e{2}.ysub{1}, y'));
end

function threads_and_blocks()
  seed = 79;
  rand('state', seed);  randn('state', seed);
  [Theta, X, runs, y, levels] = random_runs(60, 40, 3000, [0 5 0], [3 0]);
  opts = struct('num_trees', 7, 'min_leaf', 2, 'seed', 12, 'num_threads', 1);
  whole = forestfit(Theta, X, runs, y, levels, opts);
  for threads = [2 3 16]
    assert(isequal(forestfit(Theta, X, runs, y, levels, setfield(opts, 'num_threads', threads)), ...
                   whole), 'seed %d: %d threads', seed, threads);
  end
  % Tree t's draws depend on (seed, t) alone: blocks concatenate to the whole.
  blocks = {};
  for b = [1 3; 4 2; 6 2]'
    o = opts;
    o.first_tree = b(1);
    o.num_trees = b(2);
    o.num_threads = 2;
    blocks = [blocks, forestfit(Theta, X, runs, y, levels, o)];
  end
  assert(isequal(blocks, whole), 'seed %d: blocks', seed);
  assert(~isequal(whole{1}, whole{2}), 'seed %d: trees alike', seed);
end

function worker_processes()
  % examples/forestfit_workers.m on the parallel package's parcellfun (the
  % Debian package octave-parallel; CI installs it), in a child Octave: the
  % package's own clean-up at exit is not this toolbox's to test (under
  % AddressSanitizer it reads freed memory), only what the child prints.
  if isempty(pkg('list', 'parallel'))
    skip_case('the parallel package is missing; apt-get install octave-parallel');
  end
  seed = 89;
  paths = sprintf('addpath(''%s''); ', fileparts(which('forestfit')), ...
                  fileparts(which('forestfit_workers')), fileparts(mfilename('fullpath')));
  child = [paths 'pkg load parallel; ' ...
           sprintf('rand(''state'', %d); randn(''state'', %d); ', seed, seed) ...
           'Theta = [rand(40, 1), randi(4, 40, 1)]; X = rand(30, 2); ' ...
           'runs = int32([randi(40, 1500, 1), randi(30, 1500, 1)]); ' ...
           'y = Theta(runs(:, 1), 1) + X(runs(:, 2), 2) + randn(1500, 1); ' ...
           'opts = struct(''num_trees'', 5, ''min_leaf'', 2, ''seed'', 3, ''first_tree'', 2); ' ...
           '[one, a] = forestfit(Theta, X, runs, y, [0 4 0 0], opts); ' ...
           'two = forestfit_workers(Theta, X, runs, y, [0 4 0 0], opts, 2); ' ...
           '[three, b] = forestfit_workers(Theta, X, runs, y, [0 4 0 0], opts, 2, 3); ' ...
           'printf(''equal %d %d %d\n'', isequal(two, one), isequal(three, one), isequaln(a, b));'];
  [~, out] = system(sprintf('octave-cli --no-history --norc --quiet --eval "%s" 2>&1', child));
  assert(~isempty(strfind(out, 'equal 1 1 1')), 'seed %d: the child said: %s', seed, out);
end

function kept_responses()
  % The compact layout keeps the leaves' responses or none; the expanded
  % one every node's, the leaves' or none; forest_expand turns a compact
  % forest into the expanded one (its sums g_leaf and m_leaf to rounding).
  seed = 81;
  rand('state', seed);  randn('state', seed);
  [Theta, X, runs, y, levels] = random_runs(50, 30, 2000, [0 4], [0 3]);
  opts = struct('num_trees', 3, 'min_leaf', 3, 'seed', 4);
  compact = forestfit(Theta, X, runs, y, levels, opts);
  bare = forestfit(Theta, X, runs, y, levels, setfield(opts, 'responses', 'none'));
  opts.layout = 'expanded';
  leaves = forestfit(Theta, X, runs, y, levels, opts);
  all = forestfit(Theta, X, runs, y, levels, setfield(opts, 'ysub', 'all'));
  none = forestfit(Theta, X, runs, y, levels, setfield(opts, 'ysub', 'none'));
  for t = 1:3
    a = all{t};
    leaf = a.var == 0;
    assert(sum(leaf) > 10 && any(a.var < 0) && isequal(cellfun(@numel, a.ysub), double(a.n_leaf)), ...
           'seed %d', seed);
    expected = a.ysub;
    expected(~leaf) = {[]};                     % internal nodes: no host array
    assert(isequal(leaves{t}, setfield(a, 'ysub', expected)), 'seed %d: leaves, tree %d', seed, t);
    assert(isequal(compact{t}.responses', [expected{leaf}]), 'seed %d: responses, tree %d', seed, t);
    same_expanded(forest_expand(compact{t}), leaves{t}, seed);
    expected(leaf) = {zeros(1, 0)};             % leaves stay readable by nodeharvest
    same_expanded(forest_expand(bare{t}), none{t}, seed);
    assert(isequal(none{t}, setfield(a, 'ysub', expected)), 'seed %d: none, tree %d', seed, t);
  end
  expanded = forest_expand(compact);
  assert(isequal(forest_expand(leaves), leaves) && isequal(forest_expand(compact{2}), expanded{2}));
  % The default forest is smaller than the expanded layout's, which takes
  % at most half the memory of 'all'.
  sizes = whos('compact', 'leaves', 'all');
  bytes = @(name) sizes(strcmp({sizes.name}, name)).bytes;
  assert(bytes('compact') < bytes('leaves') && bytes('leaves') <= bytes('all') / 2, ...
         'seed %d: %d, %d and %d bytes', seed, bytes('compact'), bytes('leaves'), bytes('all'));
end

function same_expanded(ours, theirs, seed)
  % forest_expand's tree against forestfit's expanded one: the same but for
  % the sums, which it makes from mean, variance and count.
  sums = {'g_leaf', 'm_leaf'};
  assert(isequal(rmfield(ours, sums), rmfield(theirs, sums)), 'seed %d', seed);
  for f = sums
    assert(ours.(f{1}), theirs.(f{1}), -1e-12);
  end
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
  expanded = forest_expand(forest);
  f = expanded{1};
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
  % runs may be doubles holding row numbers, taken exactly.
  assert(isequal(ok(Theta, X, double(runs), y, levels), ok(Theta, X, runs, y, levels)));
  expect_error(@() ok(Theta, X, single(runs), y, levels), ...
               'runs must be an R-by-2 int32 or double matrix of row numbers (rows of Theta, rows of X).');
  expect_error(@() ok(Theta, X, [1 1; 2.5 1], [1; 2], levels), ...
               'runs(2, 1) = 2.5 is not a whole number: runs holds row numbers.');
  expect_error(@() ok(Theta, X, [1 1; 1 -3e9], [1; 2], levels), ...
               'runs(2, 2) = -3000000000 is beyond the int32 range: runs holds row numbers.');
  % An index within the columns of a matrix that lacks the rows.
  expect_error(@() ok(Theta', X, runs, y, [0 0 0 0]), ...
               ['runs(3, 1) = 3 is not a row of Theta (1..2), but Theta has 3 columns: is ' ...
                'Theta transposed? It needs one configuration per row.']);
  expect_error(@() ok(Theta, X', runs, y, [0 2 0 0]), ...
               ['runs(2, 2) = 2 is not a row of X (1..1), but X has 2 columns: is X ' ...
                'transposed? It needs one instance per row.']);
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
                'max_nodes, bootstrap, seed, first_tree, num_threads, verbose, layout, ' ...
                'responses, ysub, keep_inbag, importance, censored, max_response, ' ...
                'impute_rounds).']);
  for bad = {0, 1.5, -2, NaN}
    expect_error(@() ok(Theta, X, runs, y, levels, struct('num_threads', bad{1})), ...
                 'opts.num_threads must be a positive integer.');
    expect_error(@() ok(Theta, X, runs, y, levels, struct('first_tree', bad{1})), ...
                 'opts.first_tree must be a positive integer (of at most 2^53).');
  end
  % num_threads takes the one message of every module, whatever the value.
  expect_error(@() ok(Theta, X, runs, y, levels, struct('num_threads', 'two')), ...
               'opts.num_threads must be a positive integer.');
  % Fields are checked in the order given, not in the order the messages list them.
  expect_error(@() ok(Theta, X, runs, y, levels, struct('seed', 0.5, 'num_trees', 0)), ...
               'opts.seed must be an integer of at most 2^53 in magnitude.');
  expanded = struct('layout', 'expanded');
  for bad = {'leaf', 'All', 1, {{'all'}}, ['al'; 'll']}
    expect_error(@() ok(Theta, X, runs, y, levels, setfield(expanded, 'ysub', bad{1})), ...
                 'opts.ysub must be ''leaves'', ''all'' or ''none''.');
  end
  expect_error(@() ok(Theta, X, runs, y, levels, struct('layout', 'wide')), ...
               'opts.layout must be ''compact'' or ''expanded''.');
  expect_error(@() ok(Theta, X, runs, y, levels, struct('responses', 'all')), ...
               'opts.responses must be ''leaves'' or ''none''.');
  % Each layout names the responses it keeps in its own option, in any
  % field order.
  expect_error(@() ok(Theta, X, runs, y, levels, struct('ysub', 'all')), ...
               ['opts.ysub is the expanded layout''s (opts.layout = ''expanded''); a compact ' ...
                'forest keeps the leaves'' responses opts.responses names (''leaves'' or ''none'').']);
  expect_error(@() ok(Theta, X, runs, y, levels, struct('responses', 'none', 'layout', 'expanded')), ...
               ['opts.responses is the compact layout''s; the expanded layout keeps the ' ...
                'responses opts.ysub names (''leaves'', ''all'' or ''none'').']);
  for bad = {0, 4, 1.5, NaN}
    expect_error(@() ok(Theta, X, runs, y, levels, struct('mtry', bad{1})), ...
                 'opts.mtry must be an integer in 1..3 (the columns of Theta and X).');
  end
  expect_error(@() ok(Theta, X, runs, y, levels, struct('min_leaf', {1, 2})), ...
               ['opts must be a 1-by-1 struct (fields num_trees, mtry, min_leaf, max_nodes, ' ...
                'bootstrap, seed, first_tree, num_threads, verbose, layout, responses, ysub, ' ...
                'keep_inbag, importance, censored, max_response, impute_rounds; all optional).']);
  expect_error(@() ok(Theta, X, runs, y, levels, struct('bootstrap', 'yes')), ...
               'opts.bootstrap must be a real scalar.');
  expect_error(@() ok(zeros(2, 0), zeros(2, 0), int32([1 1]), 1, zeros(1, 0)), ...
               'Theta and X have no columns: the trees need at least one variable.');
  expect_error(@() ok(Theta, [], runs, y, levels(1:2)), ...
               ['X has no rows, but runs(:, 2) names rows of X: X needs N rows, one per ' ...
                'instance (zeros(N, 0) means no instance features).']);
  expect_error(@() ok(Theta, X, runs, [1; -2e153; 3; 4], levels), ...
               ['y(2) = -2e+153 is too large: with 4 runs, responses must be at most ' ...
                '1.676e+153 in magnitude, or their squared sums overflow (scale y).']);
end

function memory_counted()
  % The check counts what the fit holds: the host's share of every tree,
  % the value sets of every categorical split; it names what drives the size.
  too_much = @(what) ['^the fit needs about .* bytes of memory, more than this machine ' ...
                      'has \(most of it grows with ' what '\)\.$'];
  Theta = [0.1 1; 0.5 2; 0.9 1];
  runs = int32([1 1; 2 1; 3 1; 1 1]);
  y = [1; 2; 3; 4];
  expect_failure(@() forestfit(Theta, zeros(1, 0), runs, y, [0 2], struct('num_trees', 2^31 - 1)), ...
                 too_much('num_trees'));
  % 10^8 trees of one leaf: the host's share of each tree is what counts.
  expect_failure(@() forestfit(Theta, zeros(1, 0), runs, y, [0 2], ...
                               struct('num_trees', 1e8, 'min_leaf', 5)), ...
                 too_much('num_trees'));
  % In the expanded layout each categorical split lists every one of the
  % 2^31-1 categories; a compact one only those it sends left.
  expect_failure(@() forestfit(Theta, zeros(1, 0), runs, y, [0 2^31 - 1], ...
                               struct('num_trees', 1000, 'min_leaf', 1, 'layout', 'expanded')), ...
                 too_much('levels'));
  forest = forestfit(Theta, zeros(1, 0), runs, y, [0 2^31 - 1], ...
                     struct('num_trees', 1000, 'min_leaf', 1));
  assert(numel(forest) == 1000 && all(cellfun(@(t) numel(t.left_sets) <= numel(t.left_set_ends), ...
                                               forest)));
  % A matrix without columns holds nothing, however many rows it has.
  forest = forestfit(Theta, zeros(1e10, 0), int32([1 1; 2 2; 3 3]), [1; 2; 3], [0 2], ...
                     struct('num_trees', 1));
  assert(numel(forest) == 1);
end

function fit_info()
  seed = 93;
  rand('state', seed);  randn('state', seed);
  [Theta, X, runs, y, levels] = random_runs(60, 40, 3000, [0 4 0], [3 0]);
  y = y + 3 * (Theta(runs(:, 1), 3) > 1);             % variable 3 matters
  opts = struct('num_trees', 6, 'min_leaf', 3, 'seed', 8, 'keep_inbag', true, 'num_threads', 1);
  [forest, info] = forestfit(Theta, X, runs, y, levels, opts);
  for threads = [2 5]
    [other, again] = forestfit(Theta, X, runs, y, levels, setfield(opts, 'num_threads', threads));
    assert(isequal(other, forest) && isequaln(again, info), 'seed %d: %d threads', seed, threads);
  end
  assert(isequal(size(info.inbag), [3000 6]) && all(sum(info.inbag) == 3000));
  % The mean over the trees that did not draw a run of their prediction
  % at its pair, summed in tree order: forestcast's leaf means.
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  total = zeros(3000, 1);
  for t = 1:6
    out = info.inbag(:, t) == 0;
    total(out) = total(out) + forestcast(forest(t), Z(out, :));
  end
  trees = sum(info.inbag == 0, 2);
  assert(isequaln(info.oob_prediction, total ./ trees), 'seed %d: out-of-bag', seed);
  covered = trees > 0;
  assert(info.oob_count == sum(covered) && ...
         abs(info.oob_rmse - sqrt(mean((total(covered) ./ trees(covered) - y(covered)) .^ 2))) < 1e-12);
  % Impurity: each split's decrease in squared error, per variable, summed
  % over a tree; the importance is the trees' mean.
  f = forest{1};
  split = find(f.var ~= 0);
  sse = double(f.count) .* f.variance;
  drop = sse(split) - sse(f.children(split, 1)) - sse(f.children(split, 2));
  assert(info.tree_importance(1, :), accumarray(abs(double(f.var(split))), drop, [5 1])', -1e-12);
  assert(info.importance, mean(info.tree_importance), -1e-12);
  [~, top] = max(info.importance);
  assert(top == 3, 'seed %d: impurity ranks %s', seed, mat2str(info.importance, 3));
  % Permutation: the variable that matters first; the same on any thread count.
  opts.importance = 'permutation';
  [~, a] = forestfit(Theta, X, runs, y, levels, opts);
  [~, b] = forestfit(Theta, X, runs, y, levels, setfield(opts, 'num_threads', 3));
  [~, top] = max(a.importance);
  assert(isequaln(a, b) && top == 3, 'seed %d: permutation %s', seed, mat2str(a.importance, 3));
  % Without bootstrap no run is out of bag.
  [~, none] = forestfit(Theta, X, runs, y, levels, struct('bootstrap', false, 'num_trees', 2, ...
                                                          'importance', 'none'));
  assert(all(isnan(none.oob_prediction)) && none.oob_count == 0 && isnan(none.oob_rmse));
  assert(isequal(size(none.importance), [1 0]) && ~isfield(none, 'inbag'));
end

function capped_runs()
  seed = 95;
  rand('state', seed);  randn('state', seed);
  [Theta, X, runs, y, levels] = random_runs(40, 30, 2000, [0 3], [0]);
  bound = quantile(y, 0.7);
  capped = y >= bound;
  y(capped) = bound;
  opts = struct('num_trees', 5, 'seed', 2, 'censored', capped);
  [forest, info] = forestfit(Theta, X, runs, y, levels, opts);
  assert(info.rounds >= 1 && info.rounds <= 10 && isequal(info.imputed(~capped), y(~capped)));
  assert(all(info.imputed(capped) > bound), 'seed %d: an imputed value below its bound', seed);
  % A cap on the values imputed; no rounds: the bounds taken as values.
  [~, low] = forestfit(Theta, X, runs, y, levels, setfield(opts, 'max_response', bound + 0.01));
  assert(all(low.imputed(capped) <= bound + 0.01 & low.imputed(capped) > bound));
  [plain, none] = forestfit(Theta, X, runs, y, levels, setfield(opts, 'impute_rounds', 0));
  assert(none.rounds == 0 && isequal(none.imputed, y) && ...
         isequal(plain, forestfit(Theta, X, runs, y, levels, rmfield(opts, 'censored'))));
  % A bound some forty standard deviations above the forest's mean: the
  % tail's mean lies just above it (its ratio computed stably).
  far = y;
  far(1) = 60;
  capped(1) = true;
  [~, tail] = forestfit(Theta, X, runs, far, levels, setfield(opts, 'censored', capped));
  assert(tail.imputed(1) > 60 && tail.imputed(1) < 61, 'seed %d: %g', seed, tail.imputed(1));
  expect_error(@() forestfit(Theta, X, runs, y, levels, setfield(opts, 'max_response', 0)), ...
               sprintf(['opts.max_response = 0 is below y(%d) = %s, the bound of a capped ' ...
                        'run.'], find(opts.censored, 1), num2str(bound, 17)));
  expect_failure(@() forestfit(Theta, X, runs, y, levels, setfield(opts, 'censored', capped(2:end))), ...
                 '^opts.censored must be a logical vector of 2000 entries');
  expect_failure(@() forestfit(Theta, X, runs, y, levels, setfield(opts, 'censored', 2 * opts.censored)), ...
                 sprintf('^opts.censored\\(%d\\) = 2: it must be true', find(opts.censored, 1)));
  expect_error(@() forestfit(Theta, X, runs, y, levels, setfield(opts, 'impute_rounds', -1)), ...
               'opts.impute_rounds must be a whole number >= 0.');
  expect_error(@() forestfit(Theta, X, runs, y, levels, struct('importance', 'gini')), ...
               'opts.importance must be ''impurity'', ''permutation'' or ''none''.');
end

function interrupted()
  % A child Octave fits one tree of 4e5 distinct runs on one thread
  % (several seconds), gets SIGINT one second in, and then prints how long the fit ran and
  % exits with status 3 (so the session survived the interrupt).
  here = fileparts(which('forestfit'));
  out = [tempname() '.txt'];
  fit = sprintf(['addpath(''%s''); rand(''state'', 1); R = 4e5; T = rand(R, 3); ' ...
                 'runs = int32([(1:R)'', ones(R, 1)]); y = rand(R, 1); ' ...
                 'printf(''fitting\\n''); fflush(stdout); tic; ' ...
                 'forest = forestfit(T, zeros(1, 0), runs, y, [0 0 0], ' ...
                 'struct(''num_trees'', 1, ''min_leaf'', 1, ''mtry'', 3, ''num_threads'', 1));'], here);
  after = 'printf(''stopped after %.2f s\\n'', toc); exit(3);';
  script = sprintf(['(echo "%s"; echo "%s") | timeout 120 octave-cli --no-history --norc ' ...
                    '--quiet --interactive > %s 2>&1 & child=$!; ' ...
                    'for i in $(seq 100); do grep -q fitting %s && break; sleep 0.1; done; ' ...
                    'sleep 1; kill -INT $child; wait $child; echo "status $?" >> %s'], ...
                   fit, after, out, out, out);
  system(['bash -c ''' strrep(script, '''', '''\''''') '''']);
  text = fileread(out);
  delete(out);
  took = regexp(text, 'stopped after ([0-9.]+) s', 'tokens', 'once');
  assert(~isempty(took) && ~isempty(strfind(text, 'status 3')), 'the child said: %s', text);
  assert(str2double(took{1}) < 2.5, 'stopped %s s after the fit began', took{1});
end

function shadowed_host_functions()
  % forestfit calls no function of the interpreter: a zeros, mat2cell or
  % reshape shadowing the host's, even one returning nothing or keeping its
  % result, changes nothing in the forest.
  Theta = [1; 2; 3; 4];
  runs = int32([1 1; 2 1; 3 1; 4 1; 1 1; 2 1]);
  y = [1; 2; 5; 6; 1; 2];
  opts = struct('min_leaf', 1, 'num_trees', 2);
  expected = forestfit(Theta, ones(1, 0), runs, y, 0, opts);
  dir = tempname();
  mkdir(dir);
  addpath(dir);
  unwind_protect
    for name = {'zeros', 'mat2cell', 'reshape'}
      file = fullfile(dir, [name{1} '.m']);
      fid = fopen(file, 'w');
      fprintf(fid, 'function varargout = %s(varargin)\n  persistent kept\n  kept = 0;\nend\n', ...
              name{1});
      fclose(fid);
      rehash();
      assert(isequal(forestfit(Theta, ones(1, 0), runs, y, 0, opts), expected), name{1});
      delete(file);
      rehash();
    end
  unwind_protect_cleanup
    rmpath(dir);
    confirm_recursive_rmdir(false, 'local');
    rmdir(dir, 's');
  end_unwind_protect
end
