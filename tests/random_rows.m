function X = random_rows(t, n, first, count)
% RANDOM_ROWS  n data rows for the tree T's variables FIRST..FIRST+COUNT-1
%   (default all): uniform [0,1) for ordered variables, categories
%   1..t.levels (with a random fraction added, as truncation ignores it)
%   for categorical ones.
  if nargin < 3
    first = 1;
    count = t.nvars;
  end
  X = rand(n, count);
  for c = 1:count
    if any(t.categorical == first + c - 1)
      X(:, c) = randi(t.levels, n, 1) + 0.9 * rand(n, 1);
    end
  end
end
