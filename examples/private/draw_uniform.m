function [u, gen] = draw_uniform(gen, n)
% DRAW_UNIFORM  n-by-1 numbers uniform on (0, 1) from a DRAW_STREAM
%   generator, and the generator advanced past them: every lane steps
%   ceil(n / 64) times, and the numbers are taken step by step, lane by
%   lane (the last step's unused ones are dropped).
  m1 = 4294967087;
  m2 = 4294944443;
  lanes = size(gen.s1, 2);
  steps = ceil(n / lanes);
  u = zeros(lanes, steps);
  s1 = gen.s1;
  s2 = gen.s2;
  for k = 1:steps
    % Each product is below 2^53, so both recurrences are exact.
    p1 = 1403580 * s1(2, :) - 810728 * s1(1, :);
    p1 = p1 - floor(p1 / m1) * m1;
    p1 = p1 + m1 * (p1 < 0) - m1 * (p1 >= m1);
    p2 = 527612 * s2(3, :) - 1370589 * s2(1, :);
    p2 = p2 - floor(p2 / m2) * m2;
    p2 = p2 + m2 * (p2 < 0) - m2 * (p2 >= m2);
    s1 = [s1(2:3, :); p1];
    s2 = [s2(2:3, :); p2];
    u(:, k) = (p1 - p2 + m1 * (p1 <= p2)) * 2.328306549295727688e-10;
  end
  u = reshape(u(1:n), n, 1);
  gen.s1 = s1;
  gen.s2 = s2;
end
