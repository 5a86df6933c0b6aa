function bench_forestmargins()
% BENCH_FORESTMARGINS  The forest in one call: forestmargins against the
%   road it replaces (forest_marginals: nodeharvest per tree, then
%   poolmargins) and against brute force (forest_predict on every
%   (configuration, instance) pair, then the mean over instances), at the
%   batch sizes a configuration loop asks for; forestcast against
%   forest_predict on 10^5 rows. The forest: 10 trees fitted by forestfit
%   to 48,000 runs over 12 variables (3 categorical), 1,500 instances.
%   forestmargins and forestcast run on their default threads (the cores
%   this process may use); the peers on one, as they are, on the forest's
%   trees expanded once beforehand (forest_expand: the per-node arrays
%   treecast and nodeharvest read).
  root = fileparts(fileparts(mfilename('fullpath')));
  addpath(fullfile(root, 'examples'));
  rand('state', 21);  randn('state', 21);
  [Theta, X, runs, y, levels] = runs12(2000, 1500, 48000);
  forest = forestfit(Theta, X, runs, y, levels, struct('num_trees', 10, 'mtry', 4, ...
                                                       'min_leaf', 3, 'seed', 1));
  printf('  forest: 10 trees of %.0f nodes on average, %d instances\n', ...
         mean(cellfun(@(f) numel(f.var), forest)), rows(X));
  % A batch of one configuration, on the compact forest against the same
  % forest in the 1.x layout (expanded), both on one thread and by default.
  expanded = forest_expand(forest);
  candidate = configurations(1);
  for threads = {struct(), struct('num_threads', 1)}
    [compact_time, expanded_time] = paired_times(@() forestmargins(forest, candidate, X, threads{1}), ...
                                                 @() forestmargins(expanded, candidate, X, threads{1}), 41);
    label = 'forestmargins, 1 configuration, compact';
    if isfield(threads{1}, 'num_threads')
      label = [label ', 1 thread'];
    end
    bench_report(label, compact_time, expanded_time, 'the 1.x (expanded) forest');
  end
  printf('    target: at most half the 1.x forest''s time: %.2f\n', compact_time / expanded_time);
  for K = [1 20 200 4000]
    candidates = configurations(K);
    [m, v] = forestmargins(forest, candidates, X);
    [rm, rv] = forest_marginals(expanded, candidates, X);
    assert(isequal(m, rm) && isequal(v, rv), 'forestmargins differs from the road');
    repeats = max(3, min(41, round(400 / K)));
    ours = bench_time(@() forestmargins(forest, candidates, X), repeats);
    road = bench_time(@() forest_marginals(expanded, candidates, X), max(3, min(11, repeats)));
    subset = 1:min(K, 200);                % brute force scales with K
    brute = bench_time(@() brute_force_means(expanded, candidates(subset, :), X), 3) ...
            * K / numel(subset);
    label = sprintf('forestmargins, %d configuration%s', K, repmat('s', 1, K > 1));
    bench_report(label, ours, road, 'forest_marginals (road)');
    bench_report(label, ours, brute, sprintf('brute force%s', ...
                 repmat(sprintf(' (x%d)', K / numel(subset)), 1, K > numel(subset))));
  end
  Z = [configurations(1e5), X(randi(rows(X), 1e5, 1), :)];
  assert(isequal(forestcast(forest, Z), forest_predict(expanded, Z)));
  ours = bench_time(@() forestcast(forest, Z), 5);
  single = bench_time(@() forestcast(forest, Z, struct('num_threads', 1)), 5);
  theirs = bench_time(@() forest_predict(expanded, Z), 5);
  bench_report('forestcast, 1e5 rows', ours, theirs, 'forest_predict');
  bench_report('forestcast, 1e5 rows, 1 thread', single, theirs, 'forest_predict');
end

function [a, b] = paired_times(f, g, repeats)
  % Median times of F and G taken in turn, so that both see the same load.
  f();
  g();
  times = zeros(repeats, 2);
  for r = 1:repeats
    start = tic;
    f();
    times(r, 1) = toc(start);
    start = tic;
    g();
    times(r, 2) = toc(start);
  end
  a = median(times(:, 1));
  b = median(times(:, 2));
end

function Theta = configurations(K)
  Theta = [rand(K, 4), randi(3, K, 1), randi(5, K, 1)];
end

function [Theta, X, runs, y, levels] = runs12(n_conf, n_inst, n_runs)
  % Six parameters (two categorical) and six instance features (one
  % categorical); the response mixes both kinds of variables.
  Theta = configurations(n_conf);
  X = [rand(n_inst, 5), randi(4, n_inst, 1)];
  levels = [0 0 0 0 3 5, 0 0 0 0 0 4];
  runs = int32([randi(n_conf, n_runs, 1), randi(n_inst, n_runs, 1)]);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  restart = [0; -0.4; 0.3];
  y = 1 + 2 * Z(:, 7) + 3 * (Z(:, 1) - 0.2 - 0.6 * Z(:, 8)) .^ 2 + 0.8 * Z(:, 2) .* Z(:, 7) ...
      + restart(Z(:, 5)) + 1.2 * Z(:, 8) .* (Z(:, 5) == 2) + 0.1 * Z(:, 6) ...
      + 0.5 * Z(:, 3) .* Z(:, 9) + 0.3 * (Z(:, 12) == 3) + 0.15 * randn(n_runs, 1);
end
