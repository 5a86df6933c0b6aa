function y = forest_predict(forest, Z)
% FOREST_PREDICT  A forest's prediction for every row of Z (configuration
%   columns followed by instance columns): the mean of its trees'
%   treecast predictions.
%
%   y = forest_predict(forest, Z)
%
%   forest: a cell array of trees in the forest format (help forestfit), as
%   forestfit or grow_forest returns them; compact trees are expanded first
%   (forest_expand). Z: one row per prediction. FORESTCAST gives the same
%   bits in one call, with the forest's variance.
%
%   See also FORESTCAST, TREECAST, FOREST_EXPAND, FORESTFIT, GROW_FOREST.
  forest = forest_expand(forest);
  y = zeros(size(Z, 1), 1);
  for t = 1:numel(forest)
    f = forest{t};
    y = y + treecast(Z, f.var, f.cut, f.nodepred, f.stddev, f.children, f.catsplit, ...
                     int32(1), int32(0));
  end
  y = y / numel(forest);
end
