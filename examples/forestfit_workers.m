function forest = forestfit_workers(Theta, X, runs, y, levels, opts, workers, blocks)
% FORESTFIT_WORKERS  Fit a forest in blocks of trees on worker processes,
%   on this machine or across machines, and put the blocks together.
%
%   forest = forestfit_workers(Theta, X, runs, y, levels, opts, workers)
%   forest = forestfit_workers(Theta, X, runs, y, levels, opts, workers, blocks)
%
%   The arguments up to opts are FORESTFIT's. The forest's trees are
%   independent and tree t draws from a stream fixed by opts.seed and t
%   alone, so trees first_tree..first_tree+n-1 fitted anywhere are the
%   forest's own: the forest returned equals forestfit(Theta, X, runs, y,
%   levels, opts) bit for bit, whatever the workers.
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
%   workers already fill the cores.
%
%   A cluster in GNU Octave (the parallel package on every machine, and
%   this toolbox's build folder on the servers' path, e.g. in .octaverc):
%     on each server:   pkg load parallel; pserver()
%     on the client:    pkg load parallel
%                       hosts = {'client-name', 'server1', 'server2'};
%                       conns = pconnect(hosts);   % hosts{1}: this machine
%                       forest = forestfit_workers(Theta, X, runs, y, ...
%                                                  levels, opts, conns);
%                       conns.close();
%   (pconnect and pserver need a shared authentication file: see
%   parallel_generate_srp_data in the parallel package's documentation.)
%
%   Example:
%     pkg load parallel
%     opts = struct('num_trees', 40, 'seed', 7);
%     forest = forestfit_workers(Theta, X, runs, y, levels, opts, 4);
%     isequal(forest, forestfit(Theta, X, runs, y, levels, opts))   % true
%
%   See also FORESTFIT, GROW_FOREST.

  if nargin < 7
    error('forestfit_workers: needs Theta, X, runs, y, levels, opts and workers');
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

  % (Octave 7 with parallel 4.0.1: a handle to the MEX function itself
  % makes the client crash when it exits; called by name it does not.)
  fit = @(varargin) forestfit(varargin{:});
  if exist('OCTAVE_VERSION', 'builtin') == 0
    pieces = matlab_blocks(args, n);
  elseif on_cluster
    pieces = netcellfun(workers, fit, args{:}, 'UniformOutput', false);
  else
    pieces = parcellfun(workers, fit, args{:}, 'UniformOutput', false, 'VerboseLevel', 0);
  end
  forest = [pieces{:}];
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

function pieces = matlab_blocks(args, n)
  % MATLAB: one parfeval per block on the current pool, collected in order.
  pool = gcp();
  futures = cell(1, n);
  for b = 1:n
    block = cellfun(@(a) a{b}, args, 'UniformOutput', false);
    futures{b} = parfeval(pool, @forestfit, 1, block{:});
  end
  pieces = cell(1, n);
  for b = 1:n
    pieces{b} = fetchOutputs(futures{b});
  end
end
