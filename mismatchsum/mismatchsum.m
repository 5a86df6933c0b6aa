% MISMATCHSUM  Weighted Hamming distances between integer-coded points.
%
%   C = mismatchsum(a, b, l)
%
%   a  int32 D-by-n: n points, one per column, D integer codes each.
%   b  int32 D-by-m, or empty (no rows or no columns), which stands for a.
%   l  double D-by-1, a length scale per coordinate; coordinate k weighs
%      w(k) = 1/(l(k)*l(k)).
%
%   C is n-by-m (n-by-n for an empty b): C(i,j) is the sum of w(k) over the
%   coordinates k where a(k,i) ~= b(k,j), added in ascending k. A match adds
%   exactly 0, so with an empty b the diagonal is 0 whatever the weights; a
%   length scale of 0 gives Inf only to pairs that differ there, a NaN one
%   gives NaN to them. Inputs after the third are ignored.
%
%   Errors: fewer than three inputs, or more than one output, gives the
%   usage text; "Error: column lengths must agree" when b is not empty and
%   its row count differs from a's; an l that is not D-by-1 prints
%   "Length scale vector is R by C (not D by 1)" and fails with "Error:
%   length scale vector must be D by 1". A non-empty a or b must be int32
%   and l a full double vector (e.g. "a must be an int32 matrix.").
%
%   Example:
%     a = int32([1 1 2; 5 6 6]);
%     C = mismatchsum(a, [], [1; 0.5])   % [0 4 5; 4 0 1; 5 1 0]
%
%   See also QUADGAP.

%!demo
%! % Five points with three integer-coded coordinates; the last coordinate
%! % counts a quarter as much (length scale 2).
%! a = int32(randi(3, 3, 5))
%! C = mismatchsum(a, [], [1; 1; 2])

%!test
%! a = int32([1 1 2; 5 6 6]);
%! assert(mismatchsum(a, [], [1; 0.5]), [0 4 5; 4 0 1; 5 1 0]);
