function [forest, info] = forestfit_workers(Theta, X, runs, y, levels, opts, workers, blocks)
% FORESTFIT_WORKERS  Fit a forest in blocks of trees on worker processes,
%   on this machine or across machines, and put the blocks together.
%
%   forest = forestfit_workers(Theta, X, runs, y, levels, opts, workers)
%   forest = forestfit_workers(Theta, X, runs, y, levels, opts, workers, blocks)
%   [forest, info] = forestfit_workers(...)
%
%   The arguments up to opts are FORESTFIT's. The forest's trees are
%   independent and tree t draws from a stream fixed by opts.seed and t
%   alone, so trees first_tree..first_tree+n-1 fitted anywhere are the
%   forest's own: the forest returned equals forestfit(Theta, X, runs, y,
%   levels, opts) bit for bit, whatever the workers, and so does info: the
%   out-of-bag predictions are made again from the trees and their in-bag
%   counts (forestcast, tree by tree in tree order), the importance from
%   the trees' own figures. Capped runs (opts.censored) are refused: their
%   imputation needs the whole forest at every round.
%
%   workers  where the blocks run:
%     a number W     W local worker processes: in GNU Octave the parallel
%                    package's parcellfun (pkg load parallel), in MATLAB
%                    parfeval on the current parallel pool (gcp)
%     connections    GNU Octave's cluster: the result of pconnect, the
%                    blocks run through netcellfun on the servers
%   blocks   how many calls of forestfit the trees are split into (default:
%            W for local workers, one per tree on a cluster, whose servers
%            each run as many blocks at once as they have cores)
%
%   Unless opts sets num_threads, each block runs on one thread: the
%   workers already fill the cores. Local workers hand their blocks back
%   through files of their own (FORESTFIT_BLOCK): the parallel package's
%   channel moves a forest many times slower than a copy. What each block
%   pays is its worker's start and a copy of Theta, X, runs and y sent to
%   it. Workers pay when a block takes seconds: on 2 local workers,
%   300,000 runs and 20 trees take about 0.8 times as long as one process
%   on one thread. A local worker is a fresh copy of the session and pays
%   a page fault for every 4 KB page of the arrays the host makes for its
%   trees; on Linux with glibc 2.35 or later, Octave started with
%       GLIBC_TUNABLES=glibc.malloc.hugetlb=1 octave
%   gives those arrays huge pages, and the same fit takes about two
%   thirds of one process's time. On one machine, forestfit's own
%   threads (num_threads) cost nothing of the kind and share one copy of the
%   data: they are the better choice for fits of a few seconds or less, or
%   when memory is short; workers pay across machines.
%
%   A cluster in GNU Octave, with Debian's octave-parallel (built without
%   TLS, so without authentication: on a trusted network only). On each
%   server, as a user other than root (the server refuses root), with this
%   toolbox's build folder on that user's path (e.g. addpath in
%   ~/.octaverc):
%     /usr/libexec/octave-pserver --octave-binary=/usr/bin/octave-cli --no-auth
%   (the package's pserver() starts the same server with TLS where the
%   package has it; the servers write their process id to
%   /tmp/.octave-HOSTNAME.pid). On the client, the servers' names only:
%     pkg load parallel
%     conns = pconnect({'server1', 'server2'}, struct('use_tls', false));
%     forest = forestfit_workers(Theta, X, runs, y, levels, opts, conns);
%     sclose(conns);
%   A server may run on the client's own machine, named 'localhost' when it
%   comes first.
%
%   Example:
%     pkg load parallel
%     opts = struct('num_trees', 40, 'seed', 7);
%     forest = forestfit_workers(Theta, X, runs, y, levels, opts, 4);
%     isequal(forest, forestfit(Theta, X, runs, y, levels, opts))   % true
%
%   See also FORESTFIT, FORESTFIT_BLOCK, FORESTCAST, GROW_FOREST.

  if nargin < 7
    error('forestfit_workers: needs Theta, X, runs, y, levels, opts and workers');
  end
  if isfield(opts, 'censored')
    error(['forestfit_workers: capped runs (opts.censored) are imputed from the whole ' ...
           'forest at every round: fit them with forestfit in one process, on every core']);
  end
  count = 10;
  if isfield(opts, 'num_trees')
    count = opts.num_trees;
  end
  first = 1;
  if isfield(opts, 'first_tree')
    first = opts.first_tree;
  end
  if ~isfield(opts, 'num_threads')
    opts.num_threads = 1;
  end
  keep_inbag = isfield(opts, 'keep_inbag') && opts.keep_inbag;
  if nargout > 1
    opts.keep_inbag = true;         % the out-of-bag predictions are made from it
  end
  on_cluster = ~isnumeric(workers);
  if nargin < 8
    if on_cluster
      blocks = count;
    else
      blocks = workers;
    end
  end
  block_opts = tree_blocks(opts, first, count, blocks);
  n = numel(block_opts);
  % The same arguments for every block (the host copies none of them).
  same = @(a) repmat({a}, 1, n);
  args = {same(Theta), same(X), same(runs), same(y), same(levels), block_opts};
  outputs = max(nargout, 1);

  % (Octave 7 with parallel 4.0.1: a handle to the MEX function itself
  % makes the client crash when it exits; called by name it does not.)
  fit = @(varargin) forestfit(varargin{:});
  results = cell(1, outputs);         % output k of every block, 1-by-n
  if exist('OCTAVE_VERSION', 'builtin') == 0
    results = matlab_blocks(args, n, outputs);
  elseif on_cluster
    [results{:}] = netcellfun(workers, fit, args{:}, 'UniformOutput', false);
  else
    results = local_blocks(workers, args, n, outputs);
  end
  forest = [results{1}{:}];
  if nargout > 1
    info = whole_info([results{2}{:}], forest, Theta, X, runs, y, keep_inbag);
  end
end

function results = local_blocks(workers, args, n, outputs)
  % Local worker processes hand each block back through a file of their
  % own (forestfit_block): the parallel package's channel to the client
  % moves a forest many times slower than a copy.
  files = cell(1, n);
  for b = 1:n
    files{b} = [tempname() '.bin'];
    args{end}{b}.info = outputs > 1;
  end
  cleanup = onCleanup(@() remove_files(files));
  block = @(varargin) forestfit_block(varargin{:});
  parcellfun(workers, block, files, args{:}, 'UniformOutput', false, 'VerboseLevel', 0);
  results = cell(1, outputs);
  for k = 1:outputs
    results{k} = cell(1, n);
  end
  for b = 1:n
    saved = load(files{b});
    results{1}{b} = saved.forest;
    if outputs > 1
      results{2}{b} = saved.info;
    end
  end
end

function remove_files(files)
  for b = 1:numel(files)
    if exist(files{b}, 'file')
      delete(files{b});
    end
  end
end

function block_opts = tree_blocks(opts, first, count, blocks)
  % opts for each block: consecutive runs of trees, sizes differing by at
  % most one.
  blocks = max(1, min(blocks, count));
  sizes = floor(count / blocks) * ones(1, blocks);
  sizes(1:rem(count, blocks)) = sizes(1:rem(count, blocks)) + 1;
  starts = first + [0, cumsum(sizes(1:end - 1))];
  block_opts = cell(1, blocks);
  for b = 1:blocks
    block_opts{b} = opts;
    block_opts{b}.first_tree = starts(b);
    block_opts{b}.num_trees = sizes(b);
  end
end

function info = whole_info(parts, forest, Theta, X, runs, y, keep_inbag)
  % The blocks' info as forestfit gives it for the whole forest, summed in
  % tree order: the out-of-bag predictions from each tree's own, the
  % importance from each tree's figure.
  inbag = [parts.inbag];
  tree_importance = vertcat(parts.tree_importance);
  Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
  total = zeros(size(Z, 1), 1);
  trees = zeros(size(Z, 1), 1);
  for t = 1:numel(forest)
    out = inbag(:, t) == 0;
    total(out) = total(out) + forestcast(forest(t), Z(out, :), struct('num_threads', 1));
    trees(out) = trees(out) + 1;
  end
  prediction = total ./ trees;
  covered = trees > 0;
  squares = cumsum((prediction(covered) - y(covered)) .^ 2);
  rmse = NaN;
  if ~isempty(squares)
    rmse = sqrt(squares(end) / numel(squares));
  end
  sums = zeros(1, size(tree_importance, 2));
  counted = zeros(1, size(tree_importance, 2));
  for t = 1:size(tree_importance, 1)
    known = ~isnan(tree_importance(t, :));
    sums(known) = sums(known) + tree_importance(t, known);
    counted(known) = counted(known) + 1;
  end
  info = struct('oob_prediction', prediction, 'oob_rmse', rmse, 'oob_count', sum(covered), ...
                'importance', sums ./ counted, 'tree_importance', tree_importance);
  if keep_inbag
    info.inbag = inbag;
  end
end

function results = matlab_blocks(args, n, outputs)
  % MATLAB: one parfeval per block on the current pool, collected in order.
  pool = gcp();
  futures = cell(1, n);
  for b = 1:n
    block = cellfun(@(a) a{b}, args, 'UniformOutput', false);
    futures{b} = parfeval(pool, @forestfit, outputs, block{:});
  end
  pieces = cell(outputs, n);
  for b = 1:n
    [pieces{:, b}] = fetchOutputs(futures{b});
  end
  results = num2cell(pieces, 2)';
end
