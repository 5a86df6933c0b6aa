% Configurable-algorithm performance models: a MEX toolbox
%
% Building (add build/ to the path afterwards)
%   build        - Compile every module for this host (Octave or MATLAB).
%
% Regression trees and random forests
%   treecast     - Predict every row of X with one regression tree.
%   nodeharvest  - The leaves of one tree reached by configurations and instances.
%   poolmargins  - Forest means and variances per configuration over all instances.
%   forestfit    - A compiled forest learner: forest = forestfit(Theta, X, runs, y, levels, opts).
%
% Numeric kernels
%   quadgap      - Squared Euclidean distances between columns, or their weighted sums.
%   mismatchsum  - Weighted Hamming distances between integer-coded points.
%   pairtrend    - Linear (Pearson) correlation coefficient of two vectors.
%   lowsweep     - Solve a lower-triangular system T*x = b through the BLAS.
%   loopbench    - A fixed allocation and memory-write workload for timing.
%
% Example learner and demos (in examples/)
%   grow_tree        - Fit one regression tree in the per-node arrays the toolbox reads.
%   grow_forest      - A random forest of regression trees.
%   forest_predict   - A forest's prediction for every row of Z.
%   forest_marginals - Every configuration's predicted mean and variance over all instances.
%   forestfit_workers - forestfit in blocks of trees on worker processes or a cluster.
%   tree_demo        - Predict with a small hand-made regression tree.
%   forest_demo      - From measured runs to every configuration's predicted performance.
%   toolbox_demo     - The toolbox's demo: tree_demo, then forest_demo.
