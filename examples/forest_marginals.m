function [means, vars, tree_means, leaves] = forest_marginals(forest, Theta, X)
% FOREST_MARGINALS  Every configuration's predicted mean and variance over
%   all instances, from a forest, without forming any (configuration,
%   instance) pair.
%
%   [means, vars, tree_means, leaves] = forest_marginals(forest, Theta, X)
%
%   forest: a cell array of trees in the forest format (help forestfit), as
%   forestfit or grow_forest returns them; compact trees are expanded first
%   (forest_expand). Each tree's leaf cells are collected with nodeharvest
%   and trimmed to the filled ones (LEAVES, one cell per tree); poolmargins
%   then pools them per configuration. FORESTMARGINS gives the same bits in
%   one call.
%
%   See also FORESTMARGINS, NODEHARVEST, POOLMARGINS, FOREST_EXPAND, FORESTFIT, GROW_FOREST.
  forest = forest_expand(forest);
  leaves = cell(1, numel(forest));
  for t = 1:numel(forest)
    f = forest{t};
    [cells, filled] = nodeharvest(f.var, f.cut, f.ysub, f.leftchildren, f.rightchildren, ...
                                  f.catsplit, Theta, X, f.g_leaf, f.m_leaf, f.n_leaf, ...
                                  f.leaf_mean, f.leaf_var);
    leaves{t} = cells(1:filled);
  end
  [means, vars, tree_means] = poolmargins(leaves, int32(size(Theta, 1)), int32(size(X, 1)), ...
                                          int32(0));
end
