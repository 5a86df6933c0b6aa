% QUADGAP  Squared Euclidean distances between the columns of two matrices,
%   or their per-coordinate sums weighted by a pair matrix.
%
%   C = quadgap(a, b)     C(i,j) = sum over k of (a(k,i) - b(k,j))^2
%   C = quadgap(a)        the same with b = a
%   c = quadgap(a, b, Q)  c(k) = sum over i, j of Q(i,j) * (a(k,i) - b(k,j))^2
%
%   a  double D-by-n: n points, one per column, D coordinates each.
%   b  double D-by-m, or empty (no rows or no columns): an empty b stands
%      for a, so C is n-by-n and Q must be n-by-n.
%   Q  double n-by-m, the weight of each pair (column i of a, column j of b).
%
%   C is n-by-m (zeros when D = 0); c is D-by-1. Every sum is the plain
%   double evaluation over k = 1..D in ascending order (for c: over pairs
%   with i outer, j inner), each operation rounded: the same bits as the
%   loop  for k = 1:D, C = C + (a(k,:)' - b(k,:)).^2; end  and on every
%   machine. Complex arguments contribute their real parts.
%
%   Errors: a wrong number of inputs, or more than one output, gives the
%   usage text; "Error: column lengths must agree" when b is not empty and
%   its row count differs from a's; "Error: 3rd matrix argument has wrong
%   dimensions" when Q is not n-by-m. a, a non-empty b and Q must be full
%   double matrices (e.g. "a must be a full double matrix.").
%
%   Example:
%     a = [0 1 3; 0 0 4];
%     C = quadgap(a)            % [0 1 25; 1 0 20; 25 20 0]
%     c = quadgap(a, [], ones(3))  % [28; 64]
%
%   See also MISMATCHSUM.

%!demo
%! a = randn(3, 6);  b = randn(3, 4);
%! C = quadgap(a, b)                       % 6x4 squared distances
%! loop = zeros(6, 4);
%! for k = 1:3, loop = loop + (a(k, :)' - b(k, :)) .^ 2; end
%! same_bits = isequal(C, loop)

%!test
%! a = [0 1 3; 0 0 4];
%! assert(quadgap(a), [0 1 25; 1 0 20; 25 20 0]);
%! assert(quadgap(a, [], ones(3)), [28; 64]);
