% FORESTFIT  Fit a random forest of regression trees to runs, each run a
%   (configuration, instance) pair, without forming the pair matrix.
%
%   forest = forestfit(Theta, X, runs, y, levels)
%   forest = forestfit(Theta, X, runs, y, levels, opts)
%
%   Theta   K-by-p double, one configuration per row.
%   X       N-by-d double, one instance per row (d may be 0).
%   runs    R-by-2 int32, R >= 1: run j paired row runs(j,1) of Theta with
%           row runs(j,2) of X (1-based).
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
%                        cores this process may use; 1: the calling thread
%                        alone). The forest is the same for every count.
%             ysub       which nodes keep their training responses in ysub:
%                        'leaves' (default; other nodes hold a 1-by-0 row),
%                        'all' (every node, as GROW_TREE) or 'none'
%
%   The learning rule is the example learner's, GROW_TREE, exactly: greedy
%   splits minimising the children's squared error, ordered cuts halfway
%   between neighbouring training values (cut > x goes left), categorical
%   splits by the best prefix of the categories present ordered by mean
%   response (absent ones go right), breadth-first node numbering. With
%   bootstrap = false and mtry = p+d the tree is GROW_TREE's on
%   Z = [Theta(runs(:,1),:), X(runs(:,2),:)] (with ysub = 'all'); ysub{k}
%   lists node k's responses in the order of the runs (with bootstrap, in
%   the order drawn).
%
%   forest is a 1-by-num_trees cell of tree structs with GROW_TREE's fields,
%   classes and shapes (var, cut, children, leftchildren, rightchildren,
%   catsplit, ysub, nodepred, stddev, n_leaf, g_leaf, m_leaf, leaf_mean,
%   leaf_var), read unchanged by treecast, nodeharvest and poolmargins,
%   and two fields that record what the tree was fitted on:
%     theta_columns  p, the number of columns of Theta (double scalar)
%     levels         the levels argument as a 1-by-(p+d) double row
%   forestmargins and forestcast check the data they route against these
%   before walking; trees without them (GROW_TREE's) are checked as walked.
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
%   Trees grow on worker threads; the calling thread builds the forest as
%   trees finish and, in GNU Octave, lets Ctrl-C stop the fit within a
%   fraction of a second (with num_threads = 1, between trees).
%
%   Errors name the argument: run indices outside 1..K or 1..N, X without
%   rows (zeros(N, 0) means no instance features), NaN or Inf responses,
%   responses above 0.5*sqrt(realmax)/R in magnitude (their squared sums
%   would overflow: scale y), a categorical value that is not an integer in
%   1..L, NaN in an ordered variable, levels of the wrong length, unknown
%   option names, mtry outside 1..p+d, R = 0, a fit that would not fit in
%   memory (the message names what drives its size). The memory check
%   counts every thread's scratch and the host's share of each tree, node
%   and value set, and is repeated as trees are built.
%   Scratch memory is O(num_threads*R + K*p + N*d) beyond the output. The forest is
%   built through the MEX C API alone: no function of the interpreter is
%   called, so a zeros, mat2cell or reshape of your own on the path is
%   never run.
%
%   Example:
%     Theta = [rand(50, 2), randi(3, 50, 1)];  X = rand(40, 2);
%     runs = int32([randi(50, 2000, 1), randi(40, 2000, 1)]);
%     y = Theta(runs(:, 1), 1) + X(runs(:, 2), 2) + (Theta(runs(:, 1), 3) == 2);
%     forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1));
%     [means, vars] = forest_marginals(forest, Theta, X);  % examples/
%     [~, best] = min(means)
%
%   See also GROW_TREE, GROW_FOREST, NODEHARVEST, POOLMARGINS, TREECAST.
