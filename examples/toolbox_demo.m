% TOOLBOX_DEMO  The toolbox's demo, run by `make demo`: a hand-made tree,
% then the whole forest road on data it makes itself.
tree_demo();
forest_demo();
