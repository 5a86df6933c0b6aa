% FORESTMARGINS  Every configuration's predicted mean and variance over all instances, in one call.
%
%   [means, vars, tree_means] = forestmargins(forest, Theta, X)
%   [means, vars, tree_means] = forestmargins(forest, Theta, X, opts)
%
%   forest  1-by-T cell of trees, as forestfit returns them (the forest
%           format: help forestfit). Read are var, cut, leftchildren,
%           rightchildren, leaf_mean, leaf_var, the value sets (catsplit,
%           or catsplit_ends and catsplit_values where a tree has them), and
%           theta_columns and levels where a tree has them.
%   Theta   K-by-p double, one configuration per row.
%   X       N-by-d double, N >= 1, one instance per row.
%   opts    struct, every field optional:
%             num_threads  threads to walk the trees on (default: the cores
%                          this process may use; a count above 4096 is
%                          taken as 4096)
%
%   The answer of nodeharvest per tree followed by poolmargins (the road of
%   forest_marginals), without leaf cells: with w = m/N for a leaf that m of
%   the N instances reach,
%     tree_means(k,t) = sum over the leaves of tree t that configuration k
%                       reaches with m >= 1 instances of w * leaf_mean
%     means(k)        = mean over t of tree_means(k,t)
%     vars(k)         = mean over t of (tree_means(k,t)^2 + tree_var(k,t))
%                       - means(k)^2,  tree_var(k,t) the same sum of
%                       w^2 * leaf_var
%   The results are bit-identical to forest_marginals: each configuration
%   sums its leaves in the order nodeharvest meets them, and the trees are
%   pooled as poolmargins pools them. The thread count never changes a bit.
%   With no trees (forest = {}), means and vars are NaN, as in poolmargins.
%
%   Checks: a tree that records what it was fitted on (theta_columns and
%   levels, as forestfit's do) requires Theta to have theta_columns columns,
%   X the rest, and every categorical value to be an integer in 1..L; this
%   is checked before any walking. A categorical value that neither value
%   set of a split lists, a child number outside the tree, a cycle, a split
%   variable beyond the columns of Theta and X, or a catsplit row that does
%   not exist is an error naming the tree, the node and, for a value, the
%   argument, row and column. A NaN on an ordered split goes right.
%   Scratch is O(K + N + nodes) per thread, checked against the memory
%   available; fewer threads are used where theirs would not fit.
%
%   Ctrl-C: in GNU Octave a long call stops within a fraction of a second
%   (once the host has zero-filled the outputs, which takes a while for
%   gigabytes), returns nothing, and the session goes on. Such a call walks
%   on worker threads (one with num_threads = 1) while the calling thread
%   asks the host for interrupts (mexEvalString, ten times a second); a call
%   of a few milliseconds runs on the calling thread alone. MATLAB delivers
%   Ctrl-C only when a MEX call returns, whatever it asks: there the call
%   runs to its end, and MATLAB stops at the statement after it.
%
%   Example (examples/ on the path, for forest_marginals):
%     Theta = [rand(60, 2), randi(3, 60, 1)];  X = rand(40, 2);
%     runs = int32([randi(60, 3000, 1), randi(40, 3000, 1)]);
%     y = Theta(runs(:, 1), 1) + X(runs(:, 2), 2) .* (Theta(runs(:, 1), 3) == 2);
%     forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1));
%     [means, vars] = forestmargins(forest, Theta, X);
%     [~, best] = min(means)
%     isequal(means, forest_marginals(forest, Theta, X))   % true
%
%   See also FORESTCAST, FORESTFIT, FOREST_MARGINALS, FOREST_PROPOSE, FOREST_EXPAND,
%   NODEHARVEST, POOLMARGINS.

%!demo
%! % The best of 2,000 candidate configurations over all instances, in one
%! % call, with each candidate's predicted mean and standard deviation.
%! Theta = [rand(200, 2), randi(3, 200, 1)];  X = rand(100, 2);
%! runs = int32([randi(200, 5000, 1), randi(100, 5000, 1)]);
%! y = Theta(runs(:, 1), 1) + X(runs(:, 2), 2) .* (Theta(runs(:, 1), 3) == 2);
%! forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1));
%! candidates = [rand(2000, 2), randi(3, 2000, 1)];
%! tic; [m, v] = forestmargins(forest, candidates, X); t = toc;
%! [~, order] = sort(m);
%! for k = order(1:5)'
%!   fprintf('candidate %4d: mean %.3f, sd %.3f\n', k, m(k), sqrt(v(k)));
%! end
%! fprintf('%d candidates x %d instances in %.1f ms\n', size(candidates, 1), size(X, 1), 1000 * t);

%!test
%! t = struct('var', int32([1; 0; -2; 0; 0]), 'cut', [0.5; 0; 1; 0; 0], ...
%!            'leftchildren', int32([2; 0; 4; 0; 0]), 'rightchildren', int32([3; 0; 5; 0; 0]), ...
%!            'catsplit', {{int32([1 2]), int32(3)}}, 'leaf_mean', (1:5)', 'leaf_var', zeros(5, 1));
%! [m, v, tm] = forestmargins({t, t}, [0.1; 0.9], [1; 3; 2; 1]);
%! assert(tm, [2 2; 4.25 4.25], 1e-14);
%! assert(m, [2; 4.25], 1e-14);
%! assert(v, [0; 0], 1e-14);
