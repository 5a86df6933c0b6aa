% POOLMARGINS  Forest means and variances per configuration, averaged over instances.
%
%   [means, vars, tree_means] = poolmargins(cell_of_leaves, numTheta,
%                                           numInstances, deterministic)
%
%   Turns the leaf collections of a forest (one nodeharvest call per tree)
%   into each configuration's prediction averaged over all instances.
%
%   cell_of_leaves  cell array, one element per tree (any shape, taken in
%                   column-major order). Each element is a cell array of
%                   leaves: the first numCellsFilled elements of that tree's
%                   nodeharvest output, with no unset element. A leaf is a
%                   5-element cell; read are element 1 (int32 row: the
%                   configurations, 1..numTheta), element 2 (int32 row: the
%                   instances; only its length m is used) and element 5
%                   (double 1x5: value 4 is the leaf mean mu, value 5 its
%                   variance s2).
%   numTheta        int32 scalar K, the number of configurations (>= 0).
%   numInstances    int32 scalar N, the number of instances (a divisor).
%   deterministic   int32 scalar; only 0 is served.
%
%   With w = m / N for each leaf, and T trees:
%     tree_means(k,t) = sum over the leaves of tree t listing k of w * mu
%     tree_var(k,t)   = sum over the same leaves of w^2 * s2
%     means(k)        = mean over t of tree_means(k,t)
%     vars(k)         = mean over t of (tree_means(k,t)^2 + tree_var(k,t))
%                       - means(k)^2
%   means and vars are K-by-1, tree_means is K-by-T. With no trees, means
%   and vars are NaN. A configuration no leaf lists gets 0 in that tree.
%
%   Errors: arguments are checked in order, then each tree and leaf as it
%   is reached, e.g. "Leaves must have 5 values.",
%   "mx_leaf_stats must be a noncomplex 1x5 double vector.",
%   "need to implement deterministic" (nonzero deterministic, at the first
%   well-formed leaf). A configuration number outside 1..numTheta, a
%   negative numTheta, and numTheta times T beyond 2^31-1 are refused.
%
%   Example: two trees over K = 2 configurations and N = 4 instances.
%     A = {int32([1 2]), int32([1 2 3]), [], int32(2), [0 0 0 10 4]};
%     B = {int32([1 2]), int32(4),       [], int32(3), [0 0 0 2 1]};
%     C = {int32(1),     int32(1:4),     [], int32(1), [0 0 0 6 1]};
%     [m, v, tm] = poolmargins({{A, B}, {C}}, int32(2), int32(4), int32(0))
%     % m = [7; 4], v = [2.65625; 17.15625], tm = [8 6; 8 0]
%
%   On a forest of forestfit (each tree f a struct in the forest format,
%   help forestfit); forest_marginals does this:
%     for t = 1:numel(forest)
%       f = forest{t};
%       [c, n] = nodeharvest(f.var, f.cut, f.ysub, f.leftchildren, ...
%                  f.rightchildren, f.catsplit, Theta, X, f.g_leaf, ...
%                  f.m_leaf, f.n_leaf, f.leaf_mean, f.leaf_var);
%       leaves{t} = c(1:n);
%     end
%     [m, v] = poolmargins(leaves, int32(size(Theta, 1)), int32(size(X, 1)), ...
%                          int32(0));
%
%   See also FORESTFIT, NODEHARVEST, TREECAST, FOREST_MARGINALS, FORESTMARGINS.

%!demo
%! % Every configuration's mean and variance over all instances, from the
%! % leaves of each tree of a forest (this is forest_marginals).
%! Theta = [rand(40, 1), randi(3, 40, 1)];  X = rand(25, 1);
%! runs = int32([randi(40, 2000, 1), randi(25, 2000, 1)]);
%! y = Theta(runs(:, 1), 1) + (Theta(runs(:, 1), 2) == 2) .* X(runs(:, 2));
%! forest = forest_expand(forestfit(Theta, X, runs, y, [0 3 0], struct('seed', 1)));
%! leaves = cell(1, numel(forest));
%! for t = 1:numel(forest)
%!   f = forest{t};
%!   [c, n] = nodeharvest(f.var, f.cut, f.ysub, f.leftchildren, f.rightchildren, ...
%!              f.catsplit, Theta, X, f.g_leaf, f.m_leaf, f.n_leaf, f.leaf_mean, f.leaf_var);
%!   leaves{t} = c(1:n);
%! end
%! [m, v] = poolmargins(leaves, int32(size(Theta, 1)), int32(size(X, 1)), int32(0));
%! [~, best] = sort(m);
%! for k = best(1:5)'
%!   fprintf('configuration %2d: mean %.3f, variance %.4f\n', k, m(k), v(k));
%! end

%!test
%! A = {int32([1 2]), int32([1 2 3]), [], int32(2), [0 0 0 10 4]};
%! B = {int32([1 2]), int32(4),       [], int32(3), [0 0 0 2 1]};
%! C = {int32(1),     int32(1:4),     [], int32(1), [0 0 0 6 1]};
%! [m, v, tm] = poolmargins({{A, B}, {C}}, int32(2), int32(4), int32(0));
%! assert(m, [7; 4]);
%! assert(v, [2.65625; 17.15625]);
%! assert(tm, [8 6; 8 0]);
