function t = chain_tree(D)
% CHAIN_TREE  A tree of D ordered splits on variable 1 in a chain, 2D+1
%   nodes: split i (node 2i-1) sends values below i/D to leaf 2i and the
%   rest on. Uniform values in [0, 1) walk D/2 splits on average, so the
%   walks of K rows cost about K*D/2 steps.
  n = 2 * D + 1;
  splits = (1:2:2 * D - 1)';
  t.var = zeros(n, 1, 'int32');
  t.var(splits) = 1;
  t.cut = zeros(n, 1);
  t.cut(splits) = (1:D)' / D;
  t.leftchildren = zeros(n, 1, 'int32');
  t.leftchildren(splits) = splits + 1;
  t.rightchildren = zeros(n, 1, 'int32');
  t.rightchildren(splits) = splits + 2;
  t.catsplit = cell(0, 2);
  t.leaf_mean = (1:n)';
  t.leaf_var = zeros(n, 1);
end
