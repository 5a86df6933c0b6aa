function tree = grow_tree(Z, y, levels, opts)
% GROW_TREE  Fit one regression tree in the per-node arrays the toolbox reads.
%
%   tree = grow_tree(Z, y, levels)
%   tree = grow_tree(Z, y, levels, opts)
%
%   Z       n-by-d training data, one run per row. For the forest road the
%           columns are a configuration's parameters followed by an
%           instance's features.
%   y       n-by-1 responses (for example a log runtime).
%   levels  1-by-d: 0 for an ordered variable; L > 0 for a categorical one
%           whose values are the categories 1..L.
%   opts    struct, all fields optional:
%             mtry       variables tried at each split, drawn at random
%                        without repetition (default d, all of them, then
%                        tried in the order 1..d)
%             min_leaf   fewest responses in a leaf (default 5)
%             max_nodes  most nodes in the tree (default Inf)
%
%   Splits are chosen greedily, each node by itself, to minimise the sum
%   of squared errors of the two children. Nodes are numbered in the order
%   they are created, breadth first: the root is 1 and the children of a
%   split are numbered together. A node becomes a leaf when it holds fewer
%   than 2*min_leaf responses, when its responses are all equal, when no
%   split leaves min_leaf responses on each side, or when the tree has no
%   room for two more nodes.
%
%   Ordered split on variable v: a run goes left when cut > Z(:, v); the
%   cut lies halfway between two neighbouring training values.
%   Categorical split on variable v: the categories present at the node are
%   ordered by their mean response and the best prefix goes left. Every
%   category 1..L is listed on exactly one side; categories that no
%   training run at the node holds go right. So every value 1..L of the
%   variable is routed, by treecast and by nodeharvest alike.
%
%   tree: a struct in the forest format, documented field by field in
%   help forestfit (forestfit's trees add theta_columns and levels): the
%   per-node arrays treecast and nodeharvest read, with each node's training
%   responses (ysub) and their statistics.
%
%   See also FORESTFIT, GROW_FOREST, TREECAST, NODEHARVEST, POOLMARGINS.

  if nargin < 4
    opts = struct();
  end
  [n, d] = size(Z);
  y = y(:);
  % A node's sums of n responses are squared: beyond this bound they
  % overflow, every score is Inf or NaN and the tree a single leaf.
  largest = 0.5 * sqrt(realmax) / max(n, 1);
  big = find(abs(y) > largest, 1);
  if ~isempty(big)
    error('grow_tree: y(%d) = %g is too large: with %d runs, responses must be at most %.4g in magnitude, or their squared sums overflow (scale y).', ...
          big, y(big), n, largest);
  end
  mtry = option(opts, 'mtry', d);
  min_leaf = max(1, option(opts, 'min_leaf', 5));
  max_nodes = max(1, option(opts, 'max_nodes', Inf));

  cap = min(max(2 * n - 1, 1), max_nodes);
  var = zeros(cap, 1);
  cut = zeros(cap, 1);
  kids = zeros(cap, 2);
  rows_at = cell(cap, 1);
  catsplit = cell(0, 2);

  rows_at{1} = (1:n)';
  count = 1;
  k = 0;
  while k < count
    k = k + 1;
    idx = rows_at{k};
    m = numel(idx);
    if m < 2 * min_leaf || count + 2 > max_nodes
      continue;
    end
    yk = y(idx);
    if all(yk == yk(1))
      continue;
    end
    best = struct('score', -Inf);
    % All variables in order when all are tried, so that equal scores are
    % decided the same way as in forestfit (the first best is kept).
    if mtry >= d
      tried = 1:d;
    else
      tried = randperm(d, mtry);
    end
    for v = tried
      if levels(v) > 0
        cand = categorical_split(Z(idx, v), yk, levels(v), min_leaf);
      else
        cand = ordered_split(Z(idx, v), yk, min_leaf);
      end
      if cand.score > best.score
        best = cand;
        best.v = v;
      end
    end
    if ~isfinite(best.score)
      continue;
    end
    if levels(best.v) > 0
      catsplit(end + 1, :) = {int32(best.left), int32(best.right)}; %#ok<AGROW>
      var(k) = -best.v;
      cut(k) = size(catsplit, 1);
    else
      var(k) = best.v;
      cut(k) = best.cut;
    end
    kids(k, :) = [count + 1, count + 2];
    rows_at{count + 1} = idx(best.goes_left);
    rows_at{count + 2} = idx(~best.goes_left);
    count = count + 2;
  end

  N = count;
  tree.var = int32(var(1:N));
  tree.cut = cut(1:N);
  tree.children = int32(kids(1:N, :));
  tree.leftchildren = tree.children(:, 1);
  tree.rightchildren = tree.children(:, 2);
  tree.catsplit = catsplit;
  tree.ysub = cell(N, 1);
  counts = zeros(N, 1);
  sums = zeros(N, 1);
  squares = zeros(N, 1);
  means = zeros(N, 1);
  spreads = zeros(N, 1);
  for k = 1:N
    yk = y(rows_at{k})';
    tree.ysub{k} = yk;
    counts(k) = numel(yk);
    sums(k) = sum(yk);
    squares(k) = sum(yk .^ 2);
    means(k) = sums(k) / max(counts(k), 1);
    spreads(k) = mean((yk - means(k)) .^ 2);
  end
  spreads(counts == 0) = 0;
  tree.nodepred = means;
  tree.stddev = sqrt(spreads);
  tree.n_leaf = int32(counts);
  tree.g_leaf = sums;
  tree.m_leaf = squares;
  tree.leaf_mean = means;
  tree.leaf_var = spreads;
end

function value = option(opts, name, default)
  if isfield(opts, name)
    value = opts.(name);
  else
    value = default;
  end
end

function s = ordered_split(x, y, min_leaf)
  % Best cut on one ordered variable. Minimising the children's squared
  % errors is maximising S_l^2 / n_l + S_r^2 / n_r over the prefixes of
  % the runs sorted by x, where S are the sums of responses.
  s.score = -Inf;
  m = numel(y);
  [xs, order] = sort(x);
  S = cumsum(y(order));
  total = S(end);
  i = (min_leaf:m - min_leaf)';
  i = i(xs(i) < xs(i + 1));             % cut only between distinct values
  if isempty(i)
    return;
  end
  % Products rather than powers: forestfit computes the same expression.
  right = total - S(i);
  score = S(i) .* S(i) ./ i + right .* right ./ (m - i);
  [s.score, b] = max(score);
  lo = xs(i(b));
  hi = xs(i(b) + 1);
  s.cut = lo + (hi - lo) / 2;
  if isinf(hi - lo)                      % the distance overflows: halve first
    s.cut = lo / 2 + hi / 2;
  end
  if ~(s.cut > lo)                       % neighbouring doubles: cut at hi
    s.cut = hi;
  end
  s.goes_left = s.cut > x;
end

function s = categorical_split(x, y, L, min_leaf)
  % Best split of the categories 1..L: order the categories present by
  % their mean response and take the best prefix (optimal for squared
  % error). Absent categories join the right side.
  s.score = -Inf;
  c = fix(x);
  n_c = accumarray(c, 1, [L, 1]);
  S_c = accumarray(c, y, [L, 1]);
  present = find(n_c > 0);
  if numel(present) < 2
    return;
  end
  [~, order] = sort(S_c(present) ./ n_c(present));
  cats = present(order);
  nl = cumsum(n_c(cats));
  Sl = cumsum(S_c(cats));
  m = nl(end);
  total = Sl(end);
  i = (1:numel(cats) - 1)';
  i = i(nl(i) >= min_leaf & m - nl(i) >= min_leaf);
  if isempty(i)
    return;
  end
  right = total - Sl(i);
  score = Sl(i) .* Sl(i) ./ nl(i) + right .* right ./ (m - nl(i));
  [s.score, b] = max(score);
  s.left = sort(cats(1:i(b)))';
  s.right = setdiff(1:L, s.left);
  in_left = false(L, 1);
  in_left(s.left) = true;
  s.goes_left = in_left(c);
end
