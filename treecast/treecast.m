% TREECAST  Predict every row of X with one regression tree.
%
%   Y = treecast(X, var, cut, nodepred, stddev, children, catsplit, seed,
%                strategyForMissing)
%
%   Walks each row of X (n-by-d double) from the root (node 1) of a tree
%   given as parallel per-node arrays, and returns Y, n-by-1, the prediction
%   of the node where each row's walk ends.
%
%   The tree, N nodes:
%     var       int32 N-by-1. 0: leaf. v > 0: ordered split on column v of X.
%               v < 0: categorical split on column -v of X.
%     cut       double N-by-1. Ordered split: the row goes left when
%               cut > x, right otherwise (x == cut and NaN go right).
%               Categorical split: the row of catsplit holding the split's
%               value sets (truncated, so 2.9 selects row 2).
%     nodepred  double N-by-1, each node's prediction.
%     stddev    double N-by-1, read by strategies 6 and 7 only.
%     children  int32 N-by-2, left and right child node numbers.
%     catsplit  M-by-2 cell of int32 arrays: {r,1} the categories sent
%               left, {r,2} those sent right (left is searched first).
%               A value is compared as its category: truncated toward zero
%               to int32; NaN and out-of-range values give intmin('int32').
%   seed                int32 scalar; seeds the C library's rand() once per
%                       call, so equal calls give equal predictions.
%   strategyForMissing  int32 scalar, what to do at a categorical split whose
%                       sets list neither side for the row's category:
%       0 stop and return this node's nodepred
%       1 draw rand(): odd goes right, even goes left
%       2 draw rand(); t = mod(draw, L+R); left when t <= L, else right
%       3 the same draw; right when t <= L, else left
%       4 go left            5 go right
%       6 stop, return nodepred - stddev    7 stop, nodepred + stddev
%     (L, R: the sizes of the left and right sets.) Any other value is an
%     error, but only when a missing category is actually met.
%     The draws of strategies 1 to 3 come from the C library's rand(), whose
%     RAND_MAX is 32767 on Windows and 2^31-1 on Linux and macOS: a seed gives
%     the same predictions on one platform, not across platforms.
%
%   Errors: each argument is checked in order and a wrong one is named, e.g.
%   "cut must be a noncomplex double Nx1 vector."; a sparse argument, and a
%   malformed tree (child numbers outside 1..N, a cycle, a split variable
%   beyond the columns of X, a catsplit row outside 1..M) are reported when
%   a row's walk meets them, never read out of bounds.
%
%   A tree of forestfit (its fields: help forestfit) is passed as
%     y = treecast(X, f.var, f.cut, f.nodepred, f.stddev, f.children, ...
%                  f.catsplit, int32(1), int32(0))
%   with X's columns those of Theta followed by those of the instances;
%   forest_predict does this for every tree of a forest and averages.
%
%   Example:
%     var = int32([1; 0; 0]);  cut = [0.5; 0; 0];  nodepred = [5; 1; 9];
%     children = int32([2 3; 0 0; 0 0]);
%     y = treecast([0.2; 0.7], var, cut, nodepred, zeros(3,1), children, ...
%                  cell(0, 2), int32(1), int32(0))
%     % y = [1; 9]
%
%   See also FORESTFIT, NODEHARVEST, FOREST_PREDICT, FORESTCAST.

%!demo
%! % A tree predicting a runtime from a step size (column 1) and a restart
%! % policy (column 2): node 2 sends policies {1, 3} left and {2} right.
%! var = int32([1; -2; 0; 0; 0]);  cut = [0.5; 1; 0; 0; 0];
%! nodepred = [20; 15; 30; 12; 20];  stddev = [5; 4; 0; 0; 0];
%! children = int32([2 3; 4 5; 0 0; 0 0; 0 0]);
%! catsplit = {int32([1 3]), int32(2)};
%! X = [0.2 1; 0.2 2; 0.9 3; 0.4 7]       % policy 7 is in neither set
%! stop_there = treecast(X, var, cut, nodepred, stddev, children, catsplit, int32(1), int32(0))
%! go_left = treecast(X, var, cut, nodepred, stddev, children, catsplit, int32(1), int32(4))

%!test
%! var = int32([1; 0; 0]);  cut = [0.5; 0; 0];  nodepred = [5; 1; 9];
%! children = int32([2 3; 0 0; 0 0]);
%! y = treecast([0.2; 0.7], var, cut, nodepred, zeros(3,1), children, ...
%!              cell(0, 2), int32(1), int32(0));
%! assert(y, [1; 9]);
