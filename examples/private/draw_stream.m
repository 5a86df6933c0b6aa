function gen = draw_stream(seed, caller)
% DRAW_STREAM  A seeded random stream of the example functions' own: the
%   combined multiple recursive generator MRG32k3a, whose arithmetic is
%   exact in doubles, so a seed gives the same numbers in Octave and MATLAB
%   on any machine, and the host's generators are never touched.
%
%   gen = draw_stream(seed, caller)   seed: an integer in 0 .. 2^53 - 1;
%                                     caller names the function in errors
%
%   Seed s starts the generator at step s * 2^127 from the all-12345 state
%   (streams that never overlap). Draws come from 64 lanes at once, lane i
%   starting i * 2^76 steps further on, so a draw of n numbers costs n / 64
%   vector steps (draw_uniform).
  persistent cache
  if isempty(cache)
    cache = jumps();
  end
  if ~(isnumeric(seed) && isreal(seed) && isscalar(seed) && seed >= 0 && ...
       seed < 2^53 && seed == floor(seed))
    error('%s: opts.seed must be an integer in 0 .. 2^53 - 1', caller);
  end
  s1 = 12345 * ones(3, 1);
  s2 = s1;
  bit = 1;
  seed = double(seed);
  while seed > 0
    if mod(seed, 2) == 1
      s1 = times_mod(cache.stream1(:, :, bit), s1, cache.m1);
      s2 = times_mod(cache.stream2(:, :, bit), s2, cache.m2);
    end
    seed = floor(seed / 2);
    bit = bit + 1;
  end
  for k = 1:size(cache.lane1, 3)
    s1 = [s1, times_mod(cache.lane1(:, :, k), s1, cache.m1)]; %#ok<AGROW>
    s2 = [s2, times_mod(cache.lane2(:, :, k), s2, cache.m2)]; %#ok<AGROW>
  end
  gen = struct('s1', s1, 's2', s2);
end

function cache = jumps()
  % The transition matrices raised to 2^76 * 2^k (lanes: 64 = 2^6) and to
  % 2^127 * 2^k (seeds: 53 bits), by repeated squaring.
  m1 = 4294967087;
  m2 = 4294944443;
  a1 = [0 1 0; 0 0 1; m1 - 810728, 1403580, 0];
  a2 = [0 1 0; 0 0 1; m2 - 1370589, 0, 527612];
  cache = struct('m1', m1, 'm2', m2, 'lane1', zeros(3, 3, 6), 'lane2', zeros(3, 3, 6), ...
                 'stream1', zeros(3, 3, 53), 'stream2', zeros(3, 3, 53));
  for k = 1:127 + 52
    if k >= 77 && k <= 82
      cache.lane1(:, :, k - 76) = a1;
      cache.lane2(:, :, k - 76) = a2;
    end
    if k >= 128
      cache.stream1(:, :, k - 127) = a1;
      cache.stream2(:, :, k - 127) = a2;
    end
    a1 = times_mod(a1, a1, m1);
    a2 = times_mod(a2, a2, m2);
  end
  cache.stream1(:, :, 53) = a1;
  cache.stream2(:, :, 53) = a2;
end

function c = times_mod(a, b, m)
  % a * b mod m for a 3-by-3 and b 3-by-n, every entry in 0 .. m-1 < 2^32.
  % Each product is split so that no intermediate exceeds 2^50.
  c = zeros(3, size(b, 2));
  for k = 1:3
    high = floor(a(:, k) / 131072);
    low = a(:, k) - 131072 * high;
    part = reduce(high .* b(k, :), m);            % < 2^15 * 2^32
    c = reduce(c + reduce(131072 * part + low .* b(k, :), m), m);
  end
end

function r = reduce(x, m)
  % x mod m for integers |x| < 2^53, exact: the quotient's rounding is
  % mended by one step either way.
  r = x - floor(x / m) * m;
  r = r + m * (r < 0) - m * (r >= m);
end
