% FORESTFIT  Fit a random forest of regression trees to runs, each run a
%   (configuration, instance) pair, without forming the pair matrix.
%
%   forest = forestfit(Theta, X, runs, y, levels)
%   forest = forestfit(Theta, X, runs, y, levels, opts)
%   [forest, info] = forestfit(...)
%
%   Theta   K-by-p double, one configuration per row.
%   X       N-by-d double, one instance per row (d may be 0).
%   runs    R-by-2 int32 or double of whole numbers, R >= 1: run j paired
%           row runs(j,1) of Theta with row runs(j,2) of X (1-based).
%   y       R-by-1 double, the finite response of each run.
%   levels  1-by-(p+d) double over the columns of Theta then those of X:
%           0 for an ordered variable (any numbers but NaN), L >= 1 for a
%           categorical one whose values are the integers 1..L.
%   opts    struct, every field optional (five inputs: all defaults):
%             num_trees  trees in the forest (default 10)
%             mtry       variables tried at each split, drawn without
%                        repetition (default max(1, floor((p+d)/3))); when
%                        mtry = p+d all are tried, in the order 1..p+d
%             min_leaf   fewest runs in a leaf (default 5)
%             max_nodes  most nodes in a tree (default Inf)
%             bootstrap  true: each tree learns from R runs drawn with
%                        replacement; false: from every run once
%                        (default true)
%             seed       integer seeding the random choices (default 0)
%             first_tree the number of the forest's first tree fitted here
%                        (default 1): the call fits trees first_tree ..
%                        first_tree + num_trees - 1, so forests fitted in
%                        blocks of trees concatenate to the whole forest
%             num_threads  threads growing trees at once (default: the
%                        cores this process may use; a count above 4096
%                        is taken as 4096). The forest is the same for
%                        every count.
%             verbose    progress lines (trees done, time taken, an
%                        estimate of the time left, one every 5 s at most):
%                        unset, once a fit has run 2 s; true, always;
%                        false, never
%             layout     'compact' (default) or 'expanded': the trees'
%                        format, below
%             responses  compact layout: whether the leaves keep their
%                        training responses, 'leaves' (default) or 'none'
%             ysub       expanded layout: which nodes keep them in ysub,
%                        'leaves' (default), 'all' (every node, as
%                        GROW_TREE) or 'none'
%             importance info's importance: 'impurity' (default),
%                        'permutation' or 'none'
%             keep_inbag true: info.inbag (default false)
%             censored   logical R-by-1, true where the run was stopped at
%                        y without finishing: y is only a lower bound (a
%                        capped run, below)
%             max_response  the largest value imputed (default Inf)
%             impute_rounds the imputation's rounds at most (default 10)
%
%   info, computed only when asked for, says what the fit learnt about its
%   forest, with the same bits for every num_threads:
%     oob_prediction R-by-1: run j's out-of-bag prediction, the mean over
%                    the trees whose sample did not draw it of their
%                    prediction at its pair, summed in tree order; NaN where
%                    every tree drew it (everywhere when bootstrap = false)
%     oob_rmse       the root mean squared error of those predictions
%                    against y over the runs they cover, capped runs left out
%     oob_count      how many runs that is
%     importance     1-by-(p+d): the mean over the trees of tree_importance
%                    (for 'permutation', over the trees with out-of-bag runs)
%     tree_importance  num_trees-by-(p+d), each tree's figure per variable:
%                    'impurity', the decrease in squared error of its splits
%                    on the variable (count*variance of a split node less
%                    its children's); 'permutation', the increase of its
%                    out-of-bag mean squared error when the variable's
%                    values are permuted among its out-of-bag runs, the
%                    permutation drawn from the tree's own stream (NaN for a
%                    tree without such runs); no columns for 'none'
%     inbag          with keep_inbag: int32 R-by-num_trees, how often each
%                    tree's sample drew each run (0: out of bag)
%     imputed, rounds  with censored: the values fitted (capped runs
%                    imputed, the others y) and the imputation's rounds run
%   Out-of-bag predictions and impurity importance add about a tenth to a
%   fit; permutation importance about three quarters.
%
%   Capped runs (opts.censored): the forest is fitted with the bounds as
%   values; then, round after round, each capped run's value becomes the
%   mean of the normal of the forest's mean m and variance v at its pair,
%   truncated below at its bound c: m + s*phi(a)/(1 - Phi(a)), s = sqrt(v),
%   a = (c - m)/s, or max(m, c) where s = 0 (far in the tail the ratio comes
%   from its continued fraction, and tends to a), at most max_response; and
%   the forest is fitted again, until no value moves by more than 1e-6 of
%   the responses' range, or impute_rounds times. v is the forest's mixture
%   variance (as forestcast's), floored at its mean over the runs not
%   capped: leaves of capped runs alone have no spread, and without the
%   floor every imputed value would stay just above its bound. The forest
%   returned is the last fit's, on info.imputed.
%
%   The learning rule is the example learner's, GROW_TREE, exactly: greedy
%   splits minimising the children's squared error, ordered cuts halfway
%   between neighbouring training values (cut > x goes left), categorical
%   splits by the best prefix of the categories present ordered by mean
%   response (the others go right), breadth-first node numbering. With
%   bootstrap = false and mtry = p+d the tree is GROW_TREE's on
%   Z = [Theta(runs(:,1),:), X(runs(:,2),:)] (expanded layout, ysub = 'all');
%   a node's responses are in the order of the runs (with bootstrap, in the
%   order drawn).
%
%   forest is a 1-by-num_trees cell of trees, each a struct. FORESTMARGINS
%   and FORESTCAST read both layouts, with the same bits. FOREST_EXPAND turns
%   compact trees into expanded ones, which TREECAST, NODEHARVEST and
%   POOLMARGINS read (FOREST_PREDICT and FOREST_MARGINALS make those calls
%   for a whole forest).
%
%   A tree of N nodes: nodes are numbered breadth first from the root, node
%   1; the two children of a split are numbered together. N-by-1 columns:
%
%   The compact layout (since 2.0.0): 13 arrays whatever the tree's size.
%     var            int32. 0: a leaf. v > 0: an ordered split on variable v.
%                    v < 0: a categorical split on variable -v. Variables
%                    1..p are the columns of Theta, p+1..p+d those of X (for
%                    FORESTCAST and TREECAST: the columns of [Theta(i,:) X(j,:)]).
%     cut            double. Ordered split: a row goes left when cut > its
%                    value, right otherwise (an equal value and NaN go
%                    right); the cut lies halfway between two neighbouring
%                    training values. Categorical split: the number s of its
%                    left set. Leaf: 0.
%     children       int32 N-by-2: the left and right child's node numbers;
%                    0 0 at a leaf.
%     mean           double: the mean of the node's training responses, what
%                    a walk that ends at the node predicts.
%     variance       double: their variance about that mean (the mean of
%                    the squared deviations).
%     count          int32: the number of training runs at the node (with
%                    bootstrap, draws: a run drawn twice counts twice).
%     left_sets, left_set_ends
%                    int32 columns: the categories each categorical split
%                    sends left, split after split: split s's left set is
%                    left_sets(e(s)+1 : e(s+1)), e = [0; left_set_ends],
%                    increasing. The rule of the format: every other
%                    category 1..L of the split's variable goes right. A
%                    split costs the categories present at its node, never L.
%     responses, response_ends
%                    the leaves' training responses (opts.responses =
%                    'leaves'), leaf after leaf in node order: the i-th leaf's
%                    are responses(e(i)+1 : e(i+1)), e = [0; response_ends],
%                    in the order of the runs. Both 0-by-1 with 'none'.
%     theta_columns  p, the number of columns of Theta (double scalar).
%     levels         the levels argument, a 1-by-(p+d) double row.
%     format_version 2, the version of this layout.
%
%   The expanded layout (opts.layout = 'expanded'; every forest of 1.x, bit
%   for bit): per-node arrays and cells, GROW_TREE's fields then four more.
%     var, cut, children   as above; a categorical cut is its catsplit row.
%     leftchildren, rightchildren
%                    int32: the two columns of children (nodeharvest's form).
%     catsplit       M-by-2 cell, one row per categorical split, in node
%                    order: {r,1} an int32 row of the categories sent left,
%                    {r,2} those sent right. Every category 1..L is on
%                    exactly one side.
%     ysub           N-by-1 cell: ysub{k} is the 1-by-n_k double row of node
%                    k's training responses where opts.ysub keeps them (by
%                    default at the leaves); elsewhere a leaf holds a 1-by-0
%                    row and an internal node [] (unset). Both are empty:
%                    test with isempty.
%     nodepred       double: mean, the prediction treecast returns where a
%                    row's walk ends.
%     stddev         double: sqrt(leaf_var).
%     n_leaf         int32: count.
%     g_leaf, m_leaf double: the sum of the node's training responses, and
%                    of their squares.
%     leaf_mean, leaf_var  double: mean and variance.
%     theta_columns, levels  as above.
%     catsplit_ends, catsplit_values
%                    catsplit's value sets again, packed: catsplit_values
%                    is an int32 column of their values in the cell's order
%                    (left sets, then right sets), catsplit_ends an int32
%                    M-by-2 matrix of where each set ends in it, so that
%                    set i is catsplit_values(e(i)+1 : e(i+1)) with
%                    e = [0; catsplit_ends(:)].
%   The statistics are given at every node; the modules read them at the
%   leaves (var == 0). treecast reads var, cut, nodepred, stddev, children
%   and catsplit; nodeharvest reads var, cut, ysub, leftchildren,
%   rightchildren, catsplit and the five statistics. FORESTMARGINS and
%   FORESTCAST check the data they route against theta_columns and levels
%   before walking; trees without them (GROW_TREE's) are checked as
%   walked. Those two modules read an expanded tree's packed value sets
%   instead of catsplit (Octave opens a cell's elements slowly): after
%   changing catsplit by hand, remove catsplit_ends and catsplit_values.
%
%   Random choices come from the module's own generator, xoshiro256**
%   seeded through splitmix64, with unbiased bounded draws by rejection.
%   Tree t of the forest draws from a stream fixed by opts.seed and t
%   alone, so the same seed gives the same forest on every platform and
%   build, for every num_threads, and fitted whole or in blocks of trees
%   (on other processes or machines: examples/forestfit_workers.m).
%   Neither the C library's generator nor the host's is touched. Since
%   version 1.1.0 a seed gives another forest than before (one stream per
%   tree instead of one for the forest).
%
%   Trees grow on worker threads, even with num_threads = 1; the calling
%   thread builds the forest as trees finish, prints the progress lines and,
%   in GNU Octave, lets Ctrl-C stop the fit within a fraction of a second,
%   on any thread count. MATLAB delivers Ctrl-C to a compiled function only
%   after it returns (its documented interface has no way to ask for it
%   sooner): there a fit runs to its end.
%
%   Errors name the argument: run indices outside 1..K or 1..N (an index
%   within the columns of Theta or X asks whether it was transposed), run
%   indices that are no whole numbers, an X of no row at all (zeros(N, 0)
%   means no instance features), NaN or Inf responses, responses above
%   0.5*sqrt(realmax)/R in magnitude (their squared sums would overflow:
%   scale y), a categorical value that is not an integer in 1..L, NaN in an
%   ordered variable, levels of the wrong length, unknown option names, mtry
%   outside 1..p+d, R = 0, a fit that would not fit in memory (the message
%   names what drives its size). The memory check counts every thread's
%   scratch and the host's share of each tree, node and value set, with the
%   copy the host makes of the output, and is repeated as trees are built.
%   Scratch memory is
%   O(num_threads*R + K*p + N*d) beyond the output. The forest is
%   built through the MEX C API alone: no function of the interpreter is
%   called, so a zeros, mat2cell or reshape of your own on the path is
%   never run.
%
%   Example:
%     Theta = [rand(50, 2), randi(3, 50, 1)];  X = rand(40, 2);
%     runs = int32([randi(50, 2000, 1), randi(40, 2000, 1)]);
%     y = Theta(runs(:, 1), 1) + X(runs(:, 2), 2) + (Theta(runs(:, 1), 3) == 2);
%     forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1));
%     [means, vars] = forestmargins(forest, Theta, X);
%     [~, best] = min(means)
%
%   See also FORESTMARGINS, FORESTCAST, FOREST_EXPAND, FORESTFIT_WORKERS,
%   FOREST_MARGINALS, FOREST_PREDICT, GROW_TREE, GROW_FOREST, NODEHARVEST,
%   POOLMARGINS, TREECAST.

%!demo
%! % Runs of an algorithm: 200 configurations (2 ordered parameters and a
%! % categorical one) on 50 instances; which configurations to run next?
%! Theta = [rand(200, 2), randi(3, 200, 1)];  X = rand(50, 2);
%! runs = int32([randi(200, 3000, 1), randi(50, 3000, 1)]);
%! y = Theta(runs(:, 1), 1) + X(runs(:, 2), 1) .* (Theta(runs(:, 1), 3) ~= 2) ...
%!     + 0.1 * randn(3000, 1);
%! forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('num_trees', 10, 'seed', 1));
%! f = forest{1};
%! fprintf('tree 1 of %d: %d nodes, %d leaves; fields: %s\n', numel(forest), ...
%!         numel(f.var), sum(f.var == 0), strjoin(fieldnames(f)', ', '));
%! [means, vars] = forestmargins(forest, Theta, X);
%! [~, best] = sort(means);
%! fprintf('configuration  Theta               predicted mean over instances\n');
%! for k = best(1:5)'
%!   fprintf('%13d  %5.2f %5.2f %5d   %8.3f\n', k, Theta(k, :), means(k));
%! end

%!test
%! Theta = [rand(50, 2), randi(3, 50, 1)];  X = rand(40, 2);
%! runs = int32([randi(50, 2000, 1), randi(40, 2000, 1)]);
%! y = Theta(runs(:, 1), 1) + X(runs(:, 2), 2) + (Theta(runs(:, 1), 3) == 2);
%! forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1));
%! assert(size(forest), [1 10]);
%! assert(isequal(forest, forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1))));
%! f = forest{1};
%! assert(f.theta_columns, 3);
%! assert(f.levels, [0 0 3 0 0]);
%! N = numel(f.var);
%! assert(size(f.children), [N 2]);
%! assert(f.count(1), int32(2000));
%! [means, vars] = forest_marginals(forest, Theta, X);
%! assert(size(means), [50 1]);
%! assert(all(vars >= -1e-12));
