% NODEHARVEST  The leaves of one regression tree reached by configurations
%   and instances.
%
%   [cell_of_leaves, numCellsFilled] = nodeharvest(var, cut, ysub,
%       leftchildren, rightchildren, catsplit, Theta, X, g_leaf, m_leaf,
%       n_leaf, leaf_mean, leaf_var)
%
%   Routes every configuration (row of Theta, nT-by-p double) and every
%   instance (row of X, nX-by-d double) down one tree at once, without
%   forming their pairs: variables 1..p are the columns of Theta, variable
%   p+j is column j of X, and pair (i, j) goes where the row
%   [Theta(i,:) X(j,:)] would go. A split on a Theta column divides only the
%   configurations, a split on an X column only the instances.
%
%   The tree, N nodes (N >= 1):
%     var            int32 N-by-1. 0: leaf. v > 0: ordered split on
%                    variable v. v < 0: categorical split on variable -v.
%     cut            double N-by-1. Ordered split: left when cut > x, right
%                    otherwise (x == cut and NaN go right). Categorical
%                    split: the row of catsplit holding its value sets
%                    (truncated, so 2.9 selects row 2).
%     ysub           N-by-1 cell of double arrays, one per reachable leaf.
%     leftchildren, rightchildren   int32 N-by-1 child node numbers.
%     catsplit       M-by-2 cell of int32 arrays: {r,1} the categories sent
%                    left, {r,2} those sent right (left searched first). A
%                    value's category is its truncation toward zero to
%                    int32; NaN and out-of-range values give intmin('int32').
%     g_leaf, m_leaf, leaf_mean, leaf_var   double N-by-1; n_leaf int32
%                    N-by-1: the statistics copied into each leaf cell.
%   These are the fields of a forestfit tree, documented field by field in
%   help forestfit; poolmargins's help shows the call on a whole forest.
%
%   cell_of_leaves is a 1-by-N cell. Its elements 1..numCellsFilled each
%   hold one leaf cell, in depth-first order (left subtree first); the rest
%   stay empty. A leaf cell is a 1-by-5 cell:
%     {1} int32 1-by-k, the configurations (1-based rows of Theta) reaching
%         the leaf, increasing
%     {2} int32 1-by-m, the instances (1-based rows of X), increasing
%     {3} double 1-by-n, the first n values of the leaf's ysub entry, n its
%         number of columns
%     {4} int32, the leaf's node number
%     {5} double 1-by-5: g_leaf, m_leaf, double(n_leaf), leaf_mean, leaf_var
%   Every (configuration, instance) pair lies in exactly one leaf cell. A
%   split passes on only the nonempty parts of the list it divides, so a
%   leaf gets a cell when every split on its path hands it some of the list
%   that split divides; the other list may be empty there (as with an empty
%   Theta or X), and then the cell holds no pair.
%   numCellsFilled is an int32 scalar, the number of leaf cells.
%
%   For POOLMARGINS keep only the filled elements of each tree's output:
%     forest{t} = cell_of_leaves(1:numCellsFilled);
%
%   Errors: each argument is checked in order and a wrong one is named, e.g.
%   "cut must be a noncomplex double Nx1 vector." (a wrong number of inputs
%   gives the usage line). During the walk: a category that neither value set
%   of its split lists, a value set that is not int32 (checked whenever its
%   node is visited), a ysub entry that is not double (checked when its leaf
%   is reached). Sparse arguments, a tree of no nodes, and a malformed tree
%   (child numbers outside 1..N, a node reached twice, a split variable
%   beyond the columns of Theta and X, a catsplit row outside 1..M) are
%   reported too, never read out of bounds. Any depth of tree is fine.
%
%   Example:
%     var = int32([1; 2; 0; 0; 0]);  cut = [0.5; 10; 0; 0; 0];
%     left = int32([2; 4; 0; 0; 0]);  right = int32([3; 5; 0; 0; 0]);
%     z = zeros(5, 1);
%     [C, n] = nodeharvest(var, cut, num2cell(z), left, right, cell(0, 2), ...
%                          [0.2; 0.7; 0.1], [5; 20], z, z, int32(z), z, z);
%     % n = 3: C{1} holds configurations [1 3], instance 1, node 4;
%     % C{2} [1 3], instance 2, node 5; C{3} configuration 2, [1 2], node 3.
%
%   See also FORESTFIT, POOLMARGINS, TREECAST.

%!demo
%! % One tree of a forest fitted to runs: which configurations and which
%! % instances reach each of its leaves.
%! Theta = rand(30, 2);  X = rand(20, 1);
%! runs = int32([randi(30, 600, 1), randi(20, 600, 1)]);
%! y = Theta(runs(:, 1), 1) + X(runs(:, 2));
%! forest = forestfit(Theta, X, runs, y, [0 0 0], struct('num_trees', 1, 'min_leaf', 40));
%! f = forest_expand(forest{1});           % the per-node arrays nodeharvest reads
%! [C, n] = nodeharvest(f.var, f.cut, f.ysub, f.leftchildren, f.rightchildren, ...
%!                      f.catsplit, Theta, X, f.g_leaf, f.m_leaf, f.n_leaf, ...
%!                      f.leaf_mean, f.leaf_var);
%! for k = 1:n
%!   fprintf('leaf %3d: %2d configurations x %2d instances, mean %.3f\n', ...
%!           C{k}{4}, numel(C{k}{1}), numel(C{k}{2}), C{k}{5}(4));
%! end

%!test
%! var = int32([1; 2; 0; 0; 0]);  cut = [0.5; 10; 0; 0; 0];
%! left = int32([2; 4; 0; 0; 0]);  right = int32([3; 5; 0; 0; 0]);
%! z = zeros(5, 1);
%! [C, n] = nodeharvest(var, cut, num2cell(z), left, right, cell(0, 2), ...
%!                      [0.2; 0.7; 0.1], [5; 20], z, z, int32(z), z, z);
%! assert(n, int32(3));
%! assert(C{1}(1:2), {int32([1 3]), int32(1)});
%! assert(C{2}(1:2), {int32([1 3]), int32(2)});
%! assert(C{3}(1:2), {int32(2), int32([1 2])});
%! assert([C{1}{4}, C{2}{4}, C{3}{4}], int32([4 5 3]));
