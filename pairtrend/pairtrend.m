% PAIRTREND  Linear (Pearson) correlation coefficient of two vectors.
%
%   cc = pairtrend(x, y)
%
%   x   double vector (row or column) of N >= 1 elements.
%   y   double vector of the same length N; a row and a column may be
%       mixed. Elements are paired in storage order.
%   cc  1-by-1 double, the correlation coefficient
%         num / (sqrt(N*Syy - Sy^2) * sqrt(N*Sxx - Sx^2)),
%       with num = N*Sxy - Sx*Sy and the sums taken in one pass in index
%       order. When -1e-10 < num < 1e-10 the result is exactly 1: the bound
%       is absolute, so vectors of small magnitude, a constant vector or a
%       single element give 1. A constant vector against data whose
%       numerator rounds outside the bound gives Inf or NaN, unreported.
%
%   Errors:
%     "Usage: cc = pairtrend(x,y)."   not exactly two inputs
%     "Too many output arguments"     more than one output
%     "var must be a noncomplex double vector of length N."
%                                     x not a real double vector, or empty
%     "y must be a noncomplex double vector of length N (where N=length(x))."
%     "x must be a full matrix, not sparse."  (and the same for y)
%
%   Example:
%     cc = pairtrend([1 2 3 4], [2; 4; 5; 9])
%     % cc = 0.9648...
%
%   See also LOWSWEEP.

%!demo
%! x = randn(1, 1000);
%! strong = pairtrend(x, 2 * x' + 0.5 * randn(1000, 1))
%! none = pairtrend(x, randn(1000, 1))

%!test
%! cc = pairtrend([1 2 3 4], [2; 4; 5; 9]);
%! assert(cc, 0.9648, 1e-4);
