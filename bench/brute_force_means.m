function means = brute_force_means(forest, Theta, X)
% BRUTE_FORCE_MEANS  Every configuration's mean over all instances the way
%   a user without the toolbox's forest modules would get it: the forest's
%   prediction (forest_predict) for every (configuration, instance) pair,
%   then the mean of each configuration's row.
  [ci, ii] = ndgrid(1:rows(Theta), 1:rows(X));
  y = forest_predict(forest, [Theta(ci(:), :), X(ii(:), :)]);
  means = mean(reshape(y, rows(Theta), rows(X)), 2);
end
