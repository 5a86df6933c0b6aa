function cases = test_robustness()
% What a failed call leaves behind: nothing in the caller's variables, no
% memory, no state that changes a later call.
  cases = {
    'an error mid-walk leaves the caller''s variables as they were', @no_half_built_outputs
    '100,000 failing calls do not grow the process', @failing_calls_do_not_leak
    '100,000 successful calls per module do not grow the process', @successful_calls_do_not_leak
    'the same call gives the same result after any other calls', @calls_keep_no_state
    'outputs and scratch the machine cannot hold are refused, naming the argument', @sizes_beyond_memory
    'working memory the host cannot grow is refused with the memory message', @growth_beyond_memory
    'in a memory cgroup, a call beyond the group''s limit is refused, not killed', @refused_in_memory_cgroup
    'under ulimit -v, a call beyond the address space left is refused, not a crash', @refused_under_ulimit
  };
end

function [forest, K] = forest_failing_at_tenth_leaf()
  % Nine good leaves, then a leaf whose statistics are a column.
  K = 4;
  leaf = {int32([1 3]), int32(1:2), 0, int32(1), [0 0 0 2 1]};
  forest = {repmat({leaf}, 1, 12)};
  forest{1}{10}{5} = forest{1}{10}{5}';
end

function t = tree_failing_late()
  % Configurations below 0.5 reach leaf 2; the others reach a categorical
  % split on X whose value sets miss category 5, so the walk fails after
  % writing leaf 2's cell.
  t = random_tree(0, 2);
  t.var = int32([1; 0; -2; 0; 0]);
  t.cut = [0.5; 0; 1; 0; 0];
  t.leftchildren = int32([2; 0; 4; 0; 0]);
  t.rightchildren = int32([3; 0; 5; 0; 0]);
  t.children = [t.leftchildren, t.rightchildren];
  t.catsplit = {int32([1 2]), int32(3)};
  t.ysub = repmat({[1 2]}, 5, 1);
  t.nodepred = (1:5)';
  [t.stddev, t.g_leaf, t.m_leaf, t.leaf_mean, t.leaf_var] = deal(zeros(5, 1));
  t.n_leaf = zeros(5, 1, 'int32');
end

function varargout = harvest(t, Theta, X)
  [varargout{1:nargout}] = nodeharvest(t.var, t.cut, t.ysub, t.leftchildren, ...
      t.rightchildren, t.catsplit, Theta, X, t.g_leaf, t.m_leaf, t.n_leaf, t.leaf_mean, t.leaf_var);
end

function no_half_built_outputs()
  [forest, K] = forest_failing_at_tenth_leaf();
  means = 'before';  vars = 'before';  tree_means = 'before';
  try
    [means, vars, tree_means] = poolmargins(forest, int32(K), int32(2), int32(0));
  catch
  end
  assert(strcmp(means, 'before') && strcmp(vars, 'before') && strcmp(tree_means, 'before'));

  t = tree_failing_late();
  Theta = [0.1; 0.9];                      % 0.1 ends at leaf 2, 0.9 goes on to node 3
  X = [1; 5];                              % instance 2's category is missing at node 3
  leaves = 'before';  count = 'before';
  try
    [leaves, count] = harvest(t, Theta, X);
  catch
  end
  assert(strcmp(leaves, 'before') && strcmp(count, 'before'));

  y = 'before';
  try
    y = treecast([0.9 1; 0.9 5], t.var, t.cut, t.nodepred, t.stddev, t.children, ...
                 t.catsplit, int32(1), int32(-1));
  catch
  end
  assert(strcmp(y, 'before'));
end

function failing_calls_do_not_leak()
  [forest, K] = forest_failing_at_tenth_leaf();
  t = tree_failing_late();
  Theta = rand(50, 1);
  X = [1; 5];
  pool = @() poolmargins(forest, int32(K), int32(2), int32(0));
  walk = @() harvest(t, Theta, X);
  margins = @() forestmargins({t, t}, Theta, X);
  cast = @() forestcast({t}, [Theta, repmat(X, 25, 1)]);
  rows = @() treecast([rand(99, 1), ones(99, 1); 0.9 5], t.var, t.cut, t.nodepred, ...
                      t.stddev, t.children, t.catsplit, int32(1), int32(-1));
  if ~isempty(strfind(getenv('LD_PRELOAD'), 'asan'))
    skip_case('the sanitizer''s allocator holds freed memory back on purpose');
  end
  fail_many(pool, 2000);                   % warm-up: the host's own caches settle
  fail_many(walk, 2000);
  fail_many(rows, 2000);
  fail_many(margins, 2000);
  fail_many(cast, 2000);
  before = resident_kb();
  fail_many(pool, 40000);
  fail_many(walk, 20000);
  fail_many(rows, 20000);
  fail_many(margins, 10000);
  fail_many(cast, 10000);
  grown = resident_kb() - before;
  assert(grown < 8192, sprintf('resident size grew by %d kB over 100,000 failing calls', grown));
end

function successful_calls_do_not_leak()
  % Arguments as users pass them: a tree with a categorical split, ranges,
  % complex arrays, lazily stored index vectors, option structs. In Octave such arguments
  % are converted when their data is first read.
  if ~isempty(strfind(getenv('LD_PRELOAD'), 'asan'))
    skip_case('the sanitizer''s allocator holds freed memory back on purpose');
  end
  t = tree_failing_late();
  Theta = [0.1; 0.9];
  X = [1; 2];
  leaf = {int32([1 3]), int32(1:2), 0, int32(1), 1:5};      % statistics as a range
  z = complex(rand(3, 6), 1);
  [~, lazy] = sort(rand(1, 50));
  calls = {
    'treecast', @() treecast([0.9 1; 0.2 2; 0.9 2], t.var, t.cut, t.nodepred, t.stddev, ...
                             t.children, t.catsplit, int32(1), int32(0))
    'nodeharvest', @() harvest(t, Theta, X)
    'poolmargins', @() poolmargins({{leaf}, {leaf}}, int32(3), int32(2), int32(0))
    'quadgap', @() quadgap(1:6, z(1, :))
    'quadgap', @() quadgap(z, z(:, 1:3), complex(ones(6, 3)))
    'mismatchsum', @() mismatchsum(int32([1 2; 3 4]), [], complex([1; 2], 1))
    'pairtrend', @() pairtrend(1:50, (1:50)')
    'pairtrend', @() pairtrend(lazy, 1:50)
    'lowsweep', @() lowsweep(complex(2, 1), 1:3)
    'forestfit', @() forestfit(Theta, X, int32([1 1; 2 2; 1 2; 2 1]), [1; 2; 3; 4], [0 0], ...
                               struct('num_trees', 2, 'min_leaf', 1))
    'forestmargins', @() forestmargins({t, t}, Theta, X, struct('num_threads', 2))
    'forestcast', @() forestcast({t}, [Theta, X], struct('num_threads', 2))
  };
  grown = zeros(rows(calls), 1);
  for c = 1:rows(calls)
    call = calls{c, 2};
    for k = 1:2000
      call();
    end
    before = resident_kb();
    for k = 1:100000
      call();
    end
    grown(c) = resident_kb() - before;
  end
  printf('        growth (kB): %s\n', sprintf('%s %d  ', [calls(:, 1), num2cell(grown)]'{:}));
  bad = find(grown >= 1024);
  assert(isempty(bad), sprintf('%s grew by %d kB over 100,000 calls\n', ...
                               [calls(bad, 1), num2cell(grown(bad))]'{:}));
end

function fail_many(call, count)
  for k = 1:count
    try
      call();
      error('robustness:returned', 'the call was expected to fail');
    catch err
      if strcmp(err.identifier, 'robustness:returned')
        rethrow(err);
      end
    end
  end
end

function kb = resident_kb()
  status = fileread('/proc/self/status');
  kb = str2double(regexp(status, 'VmRSS:\s*(\d+)', 'tokens', 'once'){1});
end

function calls_keep_no_state()
  t = random_tree(30, 4, 'categorical', [1 3], 'complete', false);
  X = random_rows(t, 60);
  tc = @() treecast(X, t.var, t.cut, t.nodepred, t.stddev, t.children, t.catsplit, ...
                    int32(9), int32(2));
  tk = random_tree(30, 4, 'categorical', [1 3]);
  Theta = random_rows(tk, 20, 1, 2);
  Xk = random_rows(tk, 10, 3, 2);
  nh = @() harvest(tk, Theta, Xk);
  a = rand(3, 40);  b = rand(3, 30);  Q = rand(40, 30);
  ai = int32(randi(3, 4, 40));
  l = rand(4, 1);
  x = rand(1, 200);  y = rand(200, 1);
  T = tril(rand(20)) + eye(20);  rhs = rand(20, 3);
  [forest, K] = forest_failing_at_tenth_leaf();
  forest{1} = forest{1}(1:9);
  calls = {tc, nh, @() poolmargins(forest, int32(K), int32(3), int32(0)), ...
           @() quadgap(a, b), @() quadgap(a, b, Q), @() mismatchsum(ai, [], l), ...
           @() pairtrend(x, y), @() lowsweep(T, rhs)};
  first = cellfun(@(c) c(), calls, 'UniformOutput', false);
  % Other calls in between, most of them failing, then everything again.
  for seed = 1:300
    module = {'treecast', 'nodeharvest', 'poolmargins', 'quadgap', 'mismatchsum', ...
              'pairtrend', 'lowsweep'}{mod(seed, 7) + 1};
    [args, nout] = fuzz_case(module, seed);
    out = cell(1, max(nout, 1));
    try
      evalc('[out{:}] = feval(module, args{:});');   % drops console lines
    catch
    end
  end
  again = cellfun(@(c) c(), calls(end:-1:1), 'UniformOutput', false);
  again = again(end:-1:1);
  same = cellfun(@isequal, first, again);
  assert(all(same), sprintf('calls %s changed', mat2str(find(~same))));
end

function sizes_beyond_memory()
  % Arguments of no columns cost nothing but set sizes; twice the memory
  % available now must be refused before anything is allocated.
  meminfo = fileread('/proc/meminfo');
  avail = 1024 * str2double(regexp(meminfo, 'MemAvailable:\s*(\d+)', 'tokens', 'once'){1});
  n = ceil(2 * avail / 8);
  side = ceil(sqrt(2 * avail / 8));
  expect_failure(@() treecast(zeros(n, 0), int32(0), 7, 7, 0, int32([0 0]), cell(0, 2), ...
                              int32(1), int32(0)), '^X is too large');
  expect_failure(@() quadgap(zeros(0, side)), '^a is too large');
  expect_failure(@() mismatchsum(zeros(0, side, 'int32'), [], zeros(0, 1)), ...
                 '^a is too large');
  leaf = struct('var', int32(0), 'cut', 0, 'leftchildren', int32(0), ...
                'rightchildren', int32(0), 'catsplit', {cell(0, 2)}, 'leaf_mean', 3, ...
                'leaf_var', 0);
  expect_failure(@() forestcast({leaf}, zeros(n, 0)), '^Z is too large');
  expect_failure(@() forestmargins({leaf}, zeros(n, 0), 1), '^Theta (is too large|has)');
end

function growth_beyond_memory()
  % Octave's mxRealloc hands back null where MATLAB raises: a block grown
  % past what the machine holds (2^59 bytes), or past what a size counts.
  for counts = {[1 2^56], 2^62}
    try
      host_growing(counts{1});
      error('host_growing(%s) returned', mat2str(counts{1}));
    catch err
      assert(~isempty(regexp(err.message, ...
          'working memory is too large: a block of \d+ MB could not be allocated', 'once')), ...
          'host_growing(%s): %s', mat2str(counts{1}), err.message);
    end
  end
end

function [text, status] = child_octave(shell, code)
  % CODE run by a child Octave that a bash shell starts after running SHELL
  % (which sets a limit or moves the shell into a group): what it printed,
  % and its exit status.
  script = [tempname() '.m'];
  fid = fopen(script, 'w');
  fprintf(fid, '%s\n', code);
  fclose(fid);
  [status, text] = system(sprintf(['bash -c ''%s && exec octave-cli --no-history --norc ' ...
                                   '--quiet %s'' 2>&1'], shell, script));
  delete(script);
end

function code = beyond_limit_call(rows)
  % A forestcast call whose outputs (16 bytes a row of Z) outgrow the limit
  % though Z itself costs nothing; then a small call, which must work, and
  % exit status 3.
  code = sprintf(['addpath(''%s''); ' ...
                  'leaf = struct(''var'', int32(0), ''cut'', 0, ''leftchildren'', int32(0), ' ...
                  '''rightchildren'', int32(0), ''catsplit'', {cell(0, 2)}, ' ...
                  '''leaf_mean'', 3, ''leaf_var'', 0);\n' ...
                  'try\n  forestcast({leaf}, zeros(%d, 0));\n  disp(''returned'');\n' ...
                  'catch err\n  disp(err.message);\nend\n' ...
                  'assert(isequal(forestcast({leaf}, zeros(2, 0)), [3; 3]));\nexit(3);'], ...
                 fileparts(which('forestcast')), rows);
end

function check_refused(text, status, limit_mb)
  % The call was refused with the memory message, counting at most the
  % limit as available, and the child went on.
  found = regexp(text, 'Z is too large: .* more than the (\d+) MB of memory available', ...
                 'tokens', 'once');
  assert(~isempty(found) && status == 3, 'the child (status %d) said: %s', status, text);
  assert(str2double(found{1}) <= limit_mb, 'counted %s MB available under a %d MB limit', ...
         found{1}, limit_mb);
end

function refused_in_memory_cgroup()
  % Outputs of 2 GB in a group of 768 MB: without the group's limit in the
  % check the child is killed when the outputs are zeroed.
  limit_mb = 768;
  [group, shell] = make_memory_group(limit_mb * 2^20);
  unwind_protect
    [text, status] = child_octave(shell, beyond_limit_call(2^27));
  unwind_protect_cleanup
    rmdir(group);
  end_unwind_protect
  check_refused(text, status, limit_mb);
end

function [group, shell] = make_memory_group(limit)
  % A new memory cgroup at the root of this machine's memory hierarchy (v2,
  % else v1), limited to LIMIT bytes without swap, and the shell command
  % that moves a shell into it. Skips the case where none can be made (as a
  % rule, only root can).
  name = sprintf('pairwood-test-%d', getpid());
  for line = strsplit(fileread('/proc/self/mountinfo'), "\n")
    halves = strsplit(line{1}, ' - ');
    if numel(halves) < 2
      continue;
    end
    mount = strsplit(halves{1}, ' ');
    fs = strsplit(halves{2}, ' ');
    v2 = strcmp(fs{1}, 'cgroup2');
    v1 = strcmp(fs{1}, 'cgroup') && any(strcmp(strsplit(fs{end}, ','), 'memory'));
    if ~(v1 || v2) || numel(mount) < 5
      continue;
    end
    root = mount{5};
    group = fullfile(root, name);
    if v2 && ~any(strcmp(strsplit(read_text(fullfile(root, 'cgroup.subtree_control'))), 'memory'))
      write_text(fullfile(root, 'cgroup.subtree_control'), '+memory');
    end
    [made, ~] = mkdir(group);
    if ~made
      continue;
    end
    if v2
      ok = write_text(fullfile(group, 'memory.max'), sprintf('%d', limit));
      write_text(fullfile(group, 'memory.swap.max'), '0');
    else
      ok = write_text(fullfile(group, 'memory.limit_in_bytes'), sprintf('%d', limit));
      write_text(fullfile(group, 'memory.memsw.limit_in_bytes'), sprintf('%d', limit));
    end
    if ok
      shell = sprintf('echo $$ > %s', fullfile(group, 'cgroup.procs'));
      return;
    end
    rmdir(group);
  end
  skip_case('no memory cgroup can be made here (it takes write access to a memory hierarchy''s root)');
end

function text = read_text(file)
  text = '';
  fid = fopen(file, 'r');
  if fid >= 0
    text = fread(fid, Inf, 'char=>char')';
    fclose(fid);
  end
end

function ok = write_text(file, text)
  % A cgroup file refuses a bad value when the write is flushed.
  ok = false;
  fid = fopen(file, 'w');
  if fid >= 0
    fprintf(fid, '%s', text);
    ok = fclose(fid) == 0;
  end
end

function refused_under_ulimit()
  if ~isempty(strfind(getenv('LD_PRELOAD'), 'asan'))
    skip_case('the sanitizer reserves terabytes of address space, more than any ulimit -v allows');
  end
  limit_mb = 1024;
  [text, status] = child_octave(sprintf('ulimit -v %d', limit_mb * 1024), ...
                                beyond_limit_call(2^27));
  check_refused(text, status, limit_mb);
end
