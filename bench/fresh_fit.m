function fresh_fit(what)
% FRESH_FIT  bench_forestfit's measurements that need a process of their
%   own, run in a fresh host process: prints one line of figures.
%
%   fresh_fit million      the first fit of 10^6 runs (10 trees, min_leaf 5,
%                          one thread) and then two warm ones: "first S warm
%                          S peak MB forest MB", the peak the growth of the
%                          process's largest resident size
%   fresh_fit categories   30 categorical columns of 100,000 levels on 2,000
%                          runs: "peak MB forest MB"
%   fresh_fit workers      300,000 runs, 20 trees, on one thread and on 2
%                          local worker processes (forestfit_workers), the
%                          same forest: "single S workers S", medians of 5
%                          taken in turn. Worker processes start by forking
%                          this one, which is as cheap as a user's session
%                          here, not a process that holds gigabytes.
  if strcmp(what, 'workers')
    workers_figures();
    return;
  end
  if strcmp(what, 'million')
    [Theta, X, runs, y, levels] = road_runs(1000, 1000, 1e6, 12);
    opts = struct('num_trees', 10, 'mtry', 3, 'min_leaf', 5, 'seed', 1, 'num_threads', 1, ...
                  'verbose', false);
  else
    rand('state', 14);
    Theta = randi(1e5, 2000, 30);
    X = zeros(1, 0);
    levels = 1e5 * ones(1, 30);
    runs = int32([(1:2000)', ones(2000, 1)]);
    y = sum(Theta(:, 1:3) > 5e4, 2) + rand(2000, 1);
    opts = struct('num_trees', 10, 'mtry', 10, 'min_leaf', 2, 'seed', 1, 'verbose', false);
  end
  reset_peak();
  base = resident('VmRSS');
  times = zeros(1, 3);
  for r = 1:numel(times)
    start = tic;
    forest = forestfit(Theta, X, runs, y, levels, opts);
    times(r) = toc(start);
    if strcmp(what, 'categories')
      break;
    end
    if r < numel(times)
      clear forest;
    end
  end
  peak = (resident('VmHWM') - base) / 1024;
  sizes = whos('forest');
  if strcmp(what, 'million')
    printf('first %.4f warm %.4f peak %.1f forest %.1f\n', times(1), median(times(2:end)), ...
           peak, sizes.bytes / 1e6);
  else
    printf('peak %.1f forest %.1f\n', peak, sizes.bytes / 1e6);
  end
end

function workers_figures()
  pkg load parallel
  addpath(fullfile(fileparts(fileparts(mfilename('fullpath'))), 'examples'));
  [Theta, X, runs, y, levels] = road_runs(3000, 1000, 3e5, 13);
  opts = struct('num_trees', 20, 'mtry', 3, 'min_leaf', 3, 'seed', 1, 'num_threads', 1, ...
                'verbose', false);
  whole = forestfit(Theta, X, runs, y, levels, opts);
  assert(isequal(forestfit_workers(Theta, X, runs, y, levels, opts, 2), whole));
  clear whole;
  times = zeros(5, 2);
  for r = 1:rows(times)
    start = tic;
    forest = forestfit(Theta, X, runs, y, levels, opts);
    times(r, 1) = toc(start);
    clear forest;
    start = tic;
    forest = forestfit_workers(Theta, X, runs, y, levels, opts, 2);
    times(r, 2) = toc(start);
    clear forest;
  end
  printf('single %.4f workers %.4f\n', median(times(:, 1)), median(times(:, 2)));
end

function reset_peak()
  % The peak resident size starts again from the current one (Linux).
  fid = fopen('/proc/self/clear_refs', 'w');
  if fid >= 0
    fprintf(fid, '5');
    fclose(fid);
  end
end

function kb = resident(field)
  % The process's resident size, or its peak, in kB (Linux).
  status = fileread('/proc/self/status');
  kb = str2double(regexp(status, [field ':\s*(\d+)'], 'tokens', 'once'));
end
