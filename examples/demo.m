% DEMO  The toolbox's demo, run by `make demo`.
tree_demo();
