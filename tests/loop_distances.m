function C = loop_distances(a, b)
% LOOP_DISTANCES  Squared distances between the columns of a and b as an
%   Octave user writes them exactly: one coordinate at a time, in ascending
%   order, so every element's sum is rounded as quadgap rounds it.
  C = zeros(columns(a), columns(b));
  for k = 1:rows(a)
    C = C + (a(k, :)' - b(k, :)).^2;
  end
end
