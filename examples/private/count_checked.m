function count_checked(value, least, name, caller)
% COUNT_CHECKED  An error unless opts.NAME, VALUE, is a whole number of at
%   least LEAST.
  if ~(isnumeric(value) && isreal(value) && isscalar(value) && value >= least && ...
       value == floor(value) && isfinite(value))
    error('%s: opts.%s must be an integer >= %d', caller, name, least);
  end
end
