function [z, gen] = draw_normal(gen, n)
% DRAW_NORMAL  n-by-1 standard normal numbers from a DRAW_STREAM generator
%   (Box-Muller on 2n of DRAW_UNIFORM's numbers), and the generator advanced
%   past them.
  [u, gen] = draw_uniform(gen, 2 * n);
  z = sqrt(-2 * log(u(1:2:end))) .* cos(2 * pi * u(2:2:end));
end
