% LOWSWEEP  Solve a lower-triangular system T*x = b through the BLAS.
%
%   x = lowsweep(T, b)
%
%   T   m-by-m double matrix. Only its lower triangle, diagonal included,
%       is read: entries above the diagonal are ignored, whatever they
%       hold. The diagonal is used as stored.
%   b   m-by-n double matrix of right-hand sides, one per column.
%   x   m-by-n double, the solution by forward substitution (BLAS dtrsm),
%       without pivoting or scaling. A zero on the diagonal is not
%       reported: it gives Inf or NaN entries. Complex inputs are solved on
%       their real parts.
%
%   Errors, checked in this order:
%     "Usage: x = lowsweep(T,b)"       not two inputs, or two outputs
%     "matrix must be square"          size(T, 1) ~= size(T, 2)
%     "Sorry, can't handle sparse matrices yet."
%     "Arguments must be matrices."    T or b with more than 2 dimensions
%     "T must be a double matrix."     (and the same for b)
%     "b must have as many rows as T (m), not k."
%
%   Example:
%     T = [2 0; 1 4];
%     x = lowsweep(T, [2 4; 9 6])
%     % x = [1 2; 2 1]
%
%   See also PAIRTREND.

%!demo
%! T = tril(rand(4)) + 4 * eye(4);  b = rand(4, 2);
%! x = lowsweep(T, b)
%! residual = norm(T * x - b)

%!test
%! x = lowsweep([2 0; 1 4], [2 4; 9 6]);
%! assert(x, [1 2; 2 1]);
