function forest = grow_forest(Z, y, levels, ntrees, opts)
% GROW_FOREST  A random forest of regression trees (see GROW_TREE).
%
%   forest = grow_forest(Z, y, levels, ntrees, opts)
%
%   Each tree is grown by GROW_TREE on a bootstrap sample of the rows of Z
%   (n draws with replacement) and tries opts.mtry randomly chosen variables
%   at each split (default: a third of the variables, at least one).
%   Returns a 1-by-ntrees cell of tree structs. The sampling draws from
%   rand/randperm, so seed the generator first for a repeatable forest.
%
%   See also GROW_TREE, FOREST_DEMO.

  if nargin < 5
    opts = struct();
  end
  [n, d] = size(Z);
  if ~isfield(opts, 'mtry')
    opts.mtry = max(1, floor(d / 3));
  end
  forest = cell(1, ntrees);
  for t = 1:ntrees
    sample = ceil(n * rand(n, 1));
    forest{t} = grow_tree(Z(sample, :), y(sample), levels, opts);
  end
end
