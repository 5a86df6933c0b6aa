function [Theta, gen] = space_random(space, n, gen)
% SPACE_RANDOM  n configurations drawn uniformly from a checked space
%   (space_checked): ordered parameters on [lower, upper], integer ones on
%   its integers, categorical ones on 1..L; and the generator advanced.
  p = numel(space.levels);
  [u, gen] = draw_uniform(gen, n * p);
  u = reshape(u, n, p);
  low = repmat(space.lower, n, 1);
  width = repmat(space.upper - space.lower, n, 1);
  whole = repmat(space.integer, n, 1);
  Theta = low + u .* width;
  Theta(whole) = low(whole) + floor(u(whole) .* (width(whole) + 1));
  Theta = min(max(Theta, low), repmat(space.upper, n, 1));
  for j = find(space.levels > 0)
    Theta(:, j) = 1 + floor(u(:, j) * space.levels(j));
  end
end
