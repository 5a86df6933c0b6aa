function t = random_tree(nsplits, nvars, varargin)
% RANDOM_TREE  A random well-formed tree in the toolbox's per-node arrays.
%
%   t = random_tree(nsplits, nvars, name, value, ...)
%
%   Grows a tree of nsplits split nodes (2*nsplits + 1 nodes) by splitting
%   random leaves. Options:
%     'categorical'  variables that split on categories (default none)
%     'levels'       categories 1..levels of those variables (default 4)
%     'complete'     true: the two value sets of every categorical split
%                    together list every category (default true)
%     'shuffle'      true: nodes other than the root get random numbers
%                    (default true)
%     'chain'        true: always split the newest leaf, giving a path of
%                    depth nsplits (default false)
%   Returns a struct with var, cut, children, leftchildren, rightchildren,
%   nodepred, stddev, catsplit, ysub, g_leaf, m_leaf, n_leaf, leaf_mean,
%   leaf_var, and nvars, categorical, levels for drawing data (random_rows).
%   Leaf rows hold junk in cut and children: a leaf's other entries must
%   never be read.

  opt = struct('categorical', [], 'levels', 4, 'complete', true, ...
               'shuffle', true, 'chain', false);
  for k = 1:2:numel(varargin)
    opt.(varargin{k}) = varargin{k + 1};
  end
  N = 2 * nsplits + 1;
  var = zeros(N, 1);
  cut = rand(N, 1) * 7 - 3;               % junk at leaves
  kids = randi([-5, N + 5], N, 2);        % junk at leaves
  catsplit = cell(0, 2);
  leaves = 1;
  used = 1;
  for s = 1:nsplits
    if opt.chain
      pick = numel(leaves);
    else
      pick = randi(numel(leaves));
    end
    k = leaves(pick);
    j = randi(nvars);
    if any(opt.categorical == j)
      K = opt.levels;
      order = randperm(K);
      nl = randi(max(K - 1, 1));
      left = order(1:nl);
      if opt.complete
        right = order(nl + 1:end);
      else
        right = order(nl + 1:nl + randi([0, K - nl]));
      end
      catsplit(end + 1, :) = {int32(shape_randomly(left)), int32(shape_randomly(right))};
      var(k) = -j;
      cut(k) = rows(catsplit) + 0.9 * rand;   % read by truncation
    else
      var(k) = j;
      cut(k) = rand;
    end
    kids(k, :) = [used + 1, used + 2];
    leaves = [leaves([1:pick - 1, pick + 1:end]), used + 1, used + 2];
    used = used + 2;
  end

  if opt.shuffle
    number = [1, 1 + randperm(N - 1)];    % old node i becomes number(i)
    var(number) = var;
    cut(number) = cut;
    internal = var ~= 0;
    kids(number, :) = kids;
    kids(internal, :) = number(kids(internal, :));
  end

  t.nvars = nvars;
  t.categorical = opt.categorical;
  t.levels = opt.levels;
  t.var = int32(var);
  t.cut = cut;
  t.children = int32(kids);
  t.leftchildren = t.children(:, 1);
  t.rightchildren = t.children(:, 2);
  t.nodepred = randn(N, 1);
  t.stddev = rand(N, 1);
  t.catsplit = catsplit;
  t.ysub = arrayfun(@(k) randn(1, randi([0, 3])), (1:N)', 'UniformOutput', false);
  t.g_leaf = randn(N, 1);
  t.m_leaf = randn(N, 1);
  t.n_leaf = int32(randi([-5, 50], N, 1));
  t.leaf_mean = randn(N, 1);
  t.leaf_var = rand(N, 1);
end

function v = shape_randomly(v)
  % Value sets are read in storage order whatever their shape.
  if rand < 0.5
    v = v(:);
  end
end
