% TOOLBOX_DEMO  The toolbox's demo, run by `make demo`: a hand-made tree,
% then the whole forest road on data it makes itself.
%
% See also TREE_DEMO, FOREST_DEMO.
tree_demo();
forest_demo();
