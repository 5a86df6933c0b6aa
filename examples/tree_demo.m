function tree_demo()
% TREE_DEMO  Predict with a small hand-made regression tree.
%
% The tree models an algorithm's runtime from one continuous parameter
% (column 1: a step size) and one categorical parameter (column 2: which
% of three restart policies it uses):
%
%   node 1: step size < 0.5 ?            yes -> node 2, no -> node 3
%   node 2: restart policy in {1, 3} ?   yes -> node 4, {2} -> node 5
%   node 3, 4, 5: leaves predicting 30 s, 12 s and 20 s
%
% See also TREECAST, FOREST_DEMO.
  var      = int32([1; -2; 0; 0; 0]);
  cut      = [0.5; 1; 0; 0; 0];         % node 2 uses catsplit row 1
  nodepred = [20; 15; 30; 12; 20];
  stddev   = [5; 4; 0; 0; 0];
  children = int32([2 3; 4 5; 0 0; 0 0; 0 0]);
  catsplit = {int32([1 3]), int32(2)};

  X = [0.2 1; 0.2 2; 0.9 3; 0.4 7];     % policy 7 is unknown to the tree
  fprintf('step  policy   prediction (missing -> stop here)   (missing -> go left)\n');
  stop = treecast(X, var, cut, nodepred, stddev, children, catsplit, int32(1), int32(0));
  left = treecast(X, var, cut, nodepred, stddev, children, catsplit, int32(1), int32(4));
  for i = 1:size(X, 1)
    fprintf('%4.1f  %6d   %10.1f s %24.1f s\n', X(i, 1), X(i, 2), stop(i), left(i));
  end
end
