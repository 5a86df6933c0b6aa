function names = module_names()
% MODULE_NAMES  The toolbox's modules as the source tree has them: every
% top-level folder NAME holding NAME.cpp (the rule build.m builds by).
  root = fileparts(fileparts(mfilename('fullpath')));
  entries = dir(root);
  names = {};
  for k = 1:numel(entries)
    e = entries(k);
    if e.isdir && e.name(1) ~= '.' && exist(fullfile(root, e.name, [e.name '.cpp']), 'file')
      names{end + 1} = e.name; %#ok<AGROW>
    end
  end
end
