% LOOPBENCH  A fixed allocation and memory-write workload for timing.
%
%   loopbench
%   loopbench(anything, ...)     arguments are ignored
%
%   Allocates 10,000,000 int32 values from the host's call memory, sets
%   them all to 0, then writes every element once in each of ten passes,
%   element a + 100*b + 100000*c for c innermost, b next, a outermost
%   (a, c in 0..99, b in 0..999). Every write is really stored. Prints
%     Allocating int array of size 10000000
%     Starting loop
%     Done.
%   It returns nothing and takes no time readings: time it from outside.
%
%   Example:
%     tic; loopbench; toc
%
%   See also PAIRTREND, LOWSWEEP.

%!demo
%! tic; loopbench; toc

%!test
%! text = evalc('loopbench');
%! assert(~isempty(strfind(text, 'Done.')));
