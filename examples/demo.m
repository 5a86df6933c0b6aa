% DEMO  The toolbox's demo, run by `make demo`.
tree_demo();
fprintf('\n');
forest_demo();
