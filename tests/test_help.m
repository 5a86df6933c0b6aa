function cases = test_help()
% Every module's help reaches the user, from the build or the installed
% package, and the help file does not hide the compiled module.
  cases = {
    'help NAME of every module gives its help file, call form included', @every_module_documented
  };
end

function every_module_documented()
  root = fileparts(fileparts(mfilename('fullpath')));
  names = module_names();
  assert(~isempty(names));
  for k = 1:numel(names)
    name = names{k};
    % A comment-only NAME.m found before NAME.mex would be a script: 2.
    assert(exist(name) == 3, '%s resolves to %s, not to its compiled module', name, which(name));
    text = evalc(sprintf('help %s', name));
    source = fileread(fullfile(root, name, [name '.m']));
    % The call form: the first line after the title naming the module.
    lines = strsplit(source, "\n");
    call = '';
    for j = 2:numel(lines)
      line = strtrim(regexprep(lines{j}, '^%', ''));
      if ~isempty(regexp(line, ['\<' name '\>'], 'once'))
        call = line;
        break;
      end
    end
    assert(~isempty(call), '%s.m names no call form', name);
    assert(~isempty(strfind(text, call)), 'help %s lacks its call form "%s"', name, call);
  end
end
