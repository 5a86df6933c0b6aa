function cases = test_help()
% Every module's help reaches the user, from the build or the installed
% package, and the help file does not hide the compiled module.
  cases = {
    'help NAME of every module gives its help file, call form included', @every_module_documented
    'help pairwood lists every module and example function', @overview_lists_everything
    'every module''s help example passes its tests (test NAME) and its demo runs (demo NAME)', @help_tests_and_demos_run
    'every help''s See also names each toolbox function its text names, and only functions there are', @see_also_complete
  };
end

function see_also_complete()
  root = fileparts(fileparts(mfilename('fullpath')));
  names = [module_names(), example_names(root), {'pairwood_version'}];
  word = @(name) ['(?<!\w)' name '(?!\w)'];
  for name = [module_names(), example_names(root)]
    parts = regexpi(get_help_text(name{1}), 'See also', 'split');
    assert(numel(parts) == 2, 'help %s has no (single) See also', name{1});
    for other = setdiff(names, name)
      assert(isempty(regexpi(parts{1}, word(other{1}), 'once')) || ...
             ~isempty(regexpi(parts{2}, word(other{1}), 'once')), ...
             'help %s names %s but its See also does not', name{1}, other{1});
    end
    for listed = regexp(parts{2}, '[A-Za-z]\w*', 'match')
      assert(exist(lower(listed{1})) ~= 0, 'help %s: See also %s, which does not exist', ...
             name{1}, listed{1});
    end
  end
end

function names = example_names(root)
  files = dir(fullfile(root, 'examples', '*.m'));
  [~, names] = cellfun(@fileparts, {files.name}, 'UniformOutput', false);
end

function overview_lists_everything()
  root = fileparts(fileparts(mfilename('fullpath')));
  text = evalc('help pairwood');
  for name = [module_names(), example_names(root), {'pairwood_version'}]
    assert(~isempty(regexp(text, ['\n\s*' name{1} '\s+- \S'], 'once')), ...
           'help pairwood has no line for %s', name{1});
  end
end

function help_tests_and_demos_run()
  seed = 24;
  for name = module_names()
    name = name{1};
    rand('state', seed);
    randn('state', seed);
    [passed, count, log] = run_help_tests(name);
    assert(count >= 1, '%s.m has no %%!test block', name);
    assert(passed == count, '%s: %d of the help''s %d tests fail (seed %d):\n%s', ...
           name, count - passed, count, seed, log);
    [code, starts] = test(name, 'grabdemo');
    assert(numel(starts) >= 2, '%s.m has no %%!demo block', name);
    try
      run_demo(code(starts(1):starts(2) - 1));
    catch err
      error('demo %s fails (seed %d): %s', name, seed, err.message);
    end
  end
end

function [passed, count, log] = run_help_tests(name)
  % test's report of a failing block goes to a file.
  file = tempname();
  fid = fopen(file, 'w');
  [passed, count] = test(name, 'quiet', fid);
  fclose(fid);
  log = fileread(file);
  delete(file);
end

function run_demo(demo_code)
  % In a workspace of its own, as demo runs it; its display is not wanted here.
  evalc(demo_code);
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
