function pairwood()
% PAIRWOOD  Compiled functions that model how an algorithm's configurations
% perform across problem instances: regression trees and random forests
% over (configuration, instance) pairs, where a configuration is a row of
% Theta and an instance a row of X, and numeric kernels for such models.
% Each function below has its own help (help NAME); the modules also have
% a demo (demo NAME). The fields of a tree are documented in help forestfit.
%
% Regression trees and random forests (compiled modules)
%   forestfit    - Fit a random forest to runs, without forming the pairs.
%   treecast     - Predict every row of X with one regression tree.
%   nodeharvest  - The leaves of one tree reached by configurations and instances.
%   poolmargins  - Forest means and variances per configuration over all instances.
%   forestmargins - Every configuration's mean and variance over all instances, in one call.
%   forestcast   - A forest's prediction for every row of Z, with its variance.
%
% Numeric kernels (compiled modules)
%   quadgap      - Squared Euclidean distances between columns, or their weighted sums.
%   mismatchsum  - Weighted Hamming distances between integer-coded points.
%   pairtrend    - Linear (Pearson) correlation coefficient of two vectors.
%   lowsweep     - Solve a lower-triangular system T*x = b through the BLAS.
%   loopbench    - A fixed allocation and memory-write workload for timing.
%
% Forest helpers, example learner and demos (M files; examples/ in the source tree)
%   forest_expand    - A forest's compact trees as the per-node arrays treecast and nodeharvest read.
%   forest_predict   - A forest's prediction for every row of Z.
%   forest_marginals - Every configuration's predicted mean and variance over all instances.
%   forestfit_workers - forestfit in blocks of trees on worker processes or a cluster.
%   forestfit_block  - Fit a block of trees and save it to a file (a local worker's part).
%   grow_tree        - Fit one regression tree in M code (the learning rule of forestfit).
%   grow_forest      - A random forest of grow_tree trees.
%   tree_demo        - Predict with a small hand-made regression tree.
%   forest_demo      - From measured runs to every configuration's predicted performance.
%   toolbox_demo     - The toolbox's demo: tree_demo, then forest_demo.
%
% Choosing what to run next (M files; examples/ in the source tree)
%   forest_propose   - The configurations of highest expected improvement of their mean over all instances.
%   forest_effects   - How the mean over all instances moves with each parameter; draws it.
%   configuration_loop - A model-based configuration loop on a synthetic algorithm, with capped runs.
%
% The toolbox
%   pairwood         - This overview.
%   pairwood_version - The version of the toolbox.
%   build            - Compile every module (source tree only; Octave or MATLAB).

% Called as a function, it shows the overview too.
  help('pairwood');
end
