function expanded = forest_expand(forest)
% FOREST_EXPAND  A forest's trees in the expanded layout: the per-node arrays
%   and cells that TREECAST and NODEHARVEST read.
%
%   expanded = forest_expand(forest)
%   tree = forest_expand(compact_tree)
%
%   forest: a cell array of trees, as FORESTFIT returns them. A compact tree
%   (one with the field format_version, FORESTFIT's default) becomes a
%   struct with the fields of FORESTFIT's opts.layout = 'expanded', in its
%   order; a tree already expanded (every 1.x forest, GROW_TREE's trees) is
%   returned as it is. Given one tree struct, it returns one struct.
%
%   From a compact tree's fields:
%     leftchildren, rightchildren  the two columns of children
%     catsplit        row s: {left_sets of split s, the other categories
%                     1..L of the split's variable}, both int32 rows,
%                     increasing; catsplit_ends and catsplit_values pack them
%     ysub            each leaf's training responses (a 1-by-0 row where
%                     the forest kept none); internal nodes unset ([])
%     nodepred, leaf_mean   mean
%     leaf_var        variance;  stddev = sqrt(variance)
%     n_leaf          count
%     g_leaf, m_leaf  the sum of the node's responses and of their squares,
%                     from mean, variance and count: n*mean and
%                     n*(variance + mean^2), equal to FORESTFIT's own sums
%                     to rounding (no module reads them to predict)
%   Every other field equals FORESTFIT's expanded layout bit for bit, so
%   TREECAST, NODEHARVEST with POOLMARGINS, FOREST_PREDICT and
%   FOREST_MARGINALS give on the expanded trees the bits that FORESTCAST and
%   FORESTMARGINS give on the compact ones.
%
%   Example:
%     Theta = [rand(50, 2), randi(3, 50, 1)];  X = rand(40, 2);
%     runs = int32([randi(50, 2000, 1), randi(40, 2000, 1)]);
%     y = Theta(runs(:, 1), 1) + X(runs(:, 2), 2) + (Theta(runs(:, 1), 3) == 2);
%     forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1));
%     trees = forest_expand(forest);
%     f = trees{1};
%     Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
%     yhat = treecast(Z, f.var, f.cut, f.nodepred, f.stddev, f.children, ...
%                     f.catsplit, int32(1), int32(0));
%
%   See also FORESTFIT, FORESTMARGINS, FORESTCAST, TREECAST, NODEHARVEST, POOLMARGINS,
%   FOREST_PREDICT, FOREST_MARGINALS, GROW_TREE.

  if isstruct(forest) && numel(forest) == 1
    expanded = expand_tree(forest);
    return;
  end
  if ~iscell(forest)
    error('forest_expand: forest must be a cell array of trees (or one tree struct)');
  end
  expanded = forest;
  for t = 1:numel(forest)
    expanded{t} = expand_tree(forest{t});
  end
end

function e = expand_tree(t)
  if ~isstruct(t) || ~isfield(t, 'format_version')
    e = t;                       % expanded already
    return;
  end
  if ~isequal(t.format_version, 2)
    error('forest_expand: a tree of format version %g; this version reads format 2', ...
          t.format_version);
  end
  N = numel(t.var);
  leaf = t.var == 0;
  [left, right] = value_sets(t);
  M = numel(left);
  catsplit = [left(:), right(:)];
  if M == 0
    catsplit = cell(0, 2);
  end
  ysub = cell(N, 1);
  leaves = find(leaf);
  if isempty(t.response_ends)
    ysub(leaves) = {zeros(1, 0)};
  else
    sizes = diff([0; double(t.response_ends(:))]);
    ysub(leaves) = mat2cell(reshape(t.responses, 1, []), 1, sizes);
  end
  n = double(t.count);
  sets = [left(:); right(:)];
  if isempty(sets)
    packed = zeros(0, 1, 'int32');
  else
    packed = [sets{:}]';
  end
  e = struct();
  e.var = t.var;
  e.cut = t.cut;
  e.children = t.children;
  e.leftchildren = t.children(:, 1);
  e.rightchildren = t.children(:, 2);
  e.catsplit = catsplit;
  e.ysub = ysub;
  e.nodepred = t.mean;
  e.stddev = sqrt(t.variance);
  e.n_leaf = t.count;
  e.g_leaf = n .* t.mean;
  e.m_leaf = n .* (t.variance + t.mean .^ 2);
  e.leaf_mean = t.mean;
  e.leaf_var = t.variance;
  e.theta_columns = t.theta_columns;
  e.levels = t.levels;
  e.catsplit_ends = int32(reshape(cumsum(cellfun(@numel, sets)), [], 2));
  e.catsplit_values = packed;
end

function [left, right] = value_sets(t)
  % Split s's left set, and the other categories of the variable of the
  % node that names it (forestfit names each split once, in node order).
  ends = double(t.left_set_ends(:));
  M = numel(ends);
  left = cell(1, M);
  right = cell(1, M);
  starts = [0; ends(1:end - 1)];
  nodes = find(t.var < 0);
  for k = nodes(:)'
    s = t.cut(k);
    L = t.levels(-double(t.var(k)));
    sent_left = t.left_sets(starts(s) + 1:ends(s));
    left{s} = reshape(sent_left, 1, []);
    others = true(1, L);
    others(sent_left) = false;
    right{s} = int32(find(others));
  end
end
