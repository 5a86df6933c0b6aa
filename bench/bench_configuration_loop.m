function bench_configuration_loop()
% BENCH_CONFIGURATION_LOOP  The model-based loop of
%   examples/configuration_loop.m (forestfit, forestmargins and
%   forest_propose, 600 runs, some stopped at the time cap) against random
%   search at the same budget of runs, on the same synthetic algorithm,
%   over 40 seeds: in how many the loop's final incumbent has the better
%   true mean over all instances (the target: at least 30).
  root = fileparts(fileparts(mfilename('fullpath')));
  addpath(fullfile(root, 'examples'));
  seeds = 1:40;
  loop = zeros(size(seeds));
  random = zeros(size(seeds));
  capped = zeros(size(seeds));
  spent = zeros(size(seeds));
  for s = seeds
    start = tic;
    model = configuration_loop(struct('seed', s, 'verbose', false));
    spent(s) = toc(start);
    baseline = configuration_loop(struct('seed', s, 'search', 'random', 'verbose', false));
    loop(s) = model.true_mean;
    random(s) = baseline.true_mean;
    capped(s) = mean(baseline.capped);
  end
  better = sum(loop < random);
  printf('  true mean log10 runtime of the final incumbent, median over 40 seeds: loop %.3f, random search %.3f\n', ...
         median(loop), median(random));
  printf('  runs capped: %.0f%% of random search''s (median); one loop %.1f s (median), all %.0f s\n', ...
         100 * median(capped), median(spent), sum(spent));
  printf('  the loop''s incumbent is better in %d of 40 (target: at least 30)%s\n', better, ...
         repmat('  BELOW TARGET', 1, better < 30));
end
