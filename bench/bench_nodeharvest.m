function bench_nodeharvest()
% BENCH_NODEHARVEST  Leaf collection of 2,000 configurations and 500
%   instances down a 2,001-node tree, against routing all 1,000,000 of their
%   pairs with treecast (the pair matrix built beforehand, not timed).
  rand('seed', 7);  randn('seed', 7);
  p = 8;  d = 4;
  t = random_tree(1000, p + d, 'categorical', [3 10]);
  Theta = random_rows(t, 2000, 1, p);
  X = random_rows(t, 500, p + 1, d);
  harvest = @() nodeharvest(t.var, t.cut, t.ysub, t.leftchildren, t.rightchildren, ...
                            t.catsplit, Theta, X, t.g_leaf, t.m_leaf, t.n_leaf, ...
                            t.leaf_mean, t.leaf_var);
  [i, j] = ndgrid(1:rows(Theta), 1:rows(X));
  pairs = [Theta(i(:), :), X(j(:), :)];
  N = numel(t.var);
  route = @() treecast(pairs, t.var, t.cut, (1:N)', zeros(N, 1), t.children, ...
                       t.catsplit, int32(1), int32(0));
  bench_report('nodeharvest 2000 x 500, 2001 nodes', bench_time(harvest, 5), ...
               bench_time(route, 3), 'treecast on 1e6 pairs');
end
