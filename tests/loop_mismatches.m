function C = loop_mismatches(a, b, l)
% LOOP_MISMATCHES  Weighted mismatch counts between the columns of a and b,
%   one coordinate at a time with weights 1/l.^2, as an Octave user writes
%   them (the same bits as mismatchsum for finite weights).
  w = 1 ./ (l .* l);
  C = zeros(columns(a), columns(b));
  for k = 1:rows(a)
    C = C + w(k) * (a(k, :)' ~= b(k, :));
  end
end
