function opts = options_checked(opts, defaults, caller)
% OPTIONS_CHECKED  opts with every field of defaults it lacks; a field
%   that defaults does not have is an error naming it and the known ones.
  if ~isstruct(opts) || ~isscalar(opts)
    error('%s: opts must be a struct', caller);
  end
  names = fieldnames(defaults);
  given = fieldnames(opts);
  unknown = given(~ismember(given, names));
  if ~isempty(unknown)
    error('%s: unknown option opts.%s (the options: %s)', caller, unknown{1}, ...
          strjoin(names', ', '));
  end
  for k = 1:numel(names)
    if ~isfield(opts, names{k})
      opts.(names{k}) = defaults.(names{k});
    end
  end
end
