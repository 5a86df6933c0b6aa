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
%
%   The learning rule is the example learner's, GROW_TREE, exactly: greedy
%   splits minimising the children's squared error, ordered cuts halfway
%   between neighbouring training values (cut > x goes left), categorical
%   splits by the best prefix of the categories present ordered by mean
%   response (absent ones go right), breadth-first node numbering. With
%   bootstrap = false and mtry = p+d the tree is GROW_TREE's on
%   Z = [Theta(runs(:,1),:), X(runs(:,2),:)]; ysub{k} then lists node k's
%   responses in the order of the runs (with bootstrap, in the order drawn).
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
%   seeded through splitmix64 with opts.seed, with unbiased bounded draws by
%   rejection: the same seed gives the same forest on every platform and
%   build, and neither the C library's generator nor the host's is touched.
%
%   Errors name the argument: run indices outside 1..K or 1..N, NaN or Inf
%   responses, a categorical value that is not an integer in 1..L, NaN in
%   an ordered variable, levels of the wrong length, unknown option names,
%   mtry outside 1..p+d, R = 0, a fit that would not fit in memory.
%   Scratch memory is O(R + K*p + N*d) beyond the output. The cells of
%   ysub and catsplit are cut from one row per tree, and the per-node
%   fields from two matrices per tree (one int32, one double), all made by
%   the host's zeros, by the host's mat2cell (the pieces share their
%   array's memory until one is changed); a zeros, mat2cell or reshape of
%   your own that shadows the host's is refused with an error.
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
%! [means, vars] = forest_marginals(forest, Theta, X);
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
%! assert(f.n_leaf(1), int32(2000));
%! [means, vars] = forest_marginals(forest, Theta, X);
%! assert(size(means), [50 1]);
%! assert(all(vars >= -1e-12));
