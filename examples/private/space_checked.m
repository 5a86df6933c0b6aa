function space = space_checked(space, forest, caller)
% SPACE_CHECKED  The configuration space of forest_propose and
%   forest_effects, checked field by field against itself and against the
%   forest (the levels its trees record), with integer bounds rounded
%   inward and a logical integer row added when it is missing.
  if ~(isstruct(space) && isscalar(space))
    error('%s: space must be a struct with fields lower, upper and levels', caller);
  end
  known = {'lower', 'upper', 'levels', 'integer'};
  names = fieldnames(space);
  unknown = names(~ismember(names, known));
  if ~isempty(unknown)
    error('%s: space.%s is not a field of a space (lower, upper, levels, integer)', ...
          caller, unknown{1});
  end
  for name = known(1:3)
    if ~isfield(space, name{1})
      error('%s: space.%s is missing', caller, name{1});
    end
  end
  levels = space.levels;
  if ~(isnumeric(levels) && isreal(levels) && isvector(levels) && ~isempty(levels) && ...
       all(levels >= 0 & levels == floor(levels) & isfinite(levels)))
    error('%s: space.levels must be a row of integers >= 0, one per parameter (0: ordered, L: categories 1..L)', ...
          caller);
  end
  p = numel(levels);
  space.levels = double(levels(:)');
  if ~isfield(space, 'integer') || isempty(space.integer)
    space.integer = false(1, p);
  end
  for name = {'lower', 'upper', 'integer'}
    value = space.(name{1});
    if ~((isnumeric(value) || islogical(value)) && isreal(value) && numel(value) == p)
      error('%s: space.%s must have one element per parameter (%d, as space.levels)', ...
            caller, name{1}, p);
    end
    space.(name{1}) = double(value(:)');
  end
  space.integer = space.integer ~= 0;
  ordered = space.levels == 0;
  bad = find(ordered & ~(isfinite(space.lower) & isfinite(space.upper)), 1);
  if ~isempty(bad)
    error('%s: space.lower(%d) and space.upper(%d) must be finite for an ordered parameter', ...
          caller, bad, bad);
  end
  whole = ordered & space.integer;
  space.lower(whole) = ceil(space.lower(whole));
  space.upper(whole) = floor(space.upper(whole));
  bad = find(ordered & space.lower > space.upper, 1);
  if ~isempty(bad)
    error('%s: space.lower(%d) = %g exceeds space.upper(%d) = %g%s', caller, bad, ...
          space.lower(bad), bad, space.upper(bad), ...
          repmat(' (rounded inward: an integer parameter)', 1, whole(bad)));
  end
  if ~iscell(forest) || isempty(forest)
    error('%s: forest must be a nonempty cell of trees, as forestfit returns it', caller);
  end
  tree = forest{1};
  if isstruct(tree) && isfield(tree, 'theta_columns') && tree.theta_columns ~= p
    error('%s: the space has %d parameters, the forest was fitted on %d', caller, p, ...
          tree.theta_columns);
  end
  if isstruct(tree) && isfield(tree, 'levels') && numel(tree.levels) >= p && ...
     ~isequal(double(tree.levels(1:p)), space.levels)
    error('%s: space.levels = [%s] differ from the levels the forest was fitted with, [%s]', ...
          caller, num2str(space.levels), num2str(double(tree.levels(1:p))));
  end
end
