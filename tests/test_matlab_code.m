function cases = test_matlab_code()
% The M code users run (examples and their private helpers, help files, build.m, pairwood.m,
% pairwood_version.m, the README's code) is MATLAB's as well as Octave's:
% no Octave-only syntax anywhere, and Octave-only functions only inside a
% block guarded by exist('OCTAVE_VERSION', 'builtin') (or a variable set
% from it), or in a subfunction NAME_octave that only such a block calls.
  cases = {
    'user-facing M code has no Octave-only syntax, and guards Octave-only calls', @user_code_runs_in_matlab
  };
end

function user_code_runs_in_matlab()
  root = fileparts(fileparts(mfilename('fullpath')));
  problems = {};
  code = [dir(fullfile(root, 'examples', '*.m')); dir(fullfile(root, 'examples', 'private', '*.m')); ...
          dir(fullfile(root, 'build.m')); dir(fullfile(root, 'pairwood_version.m'))];
  for k = 1:numel(code)
    file = fullfile(code(k).folder, code(k).name);
    problems = [problems, scan_code(fileread(file), code(k).name)]; %#ok<AGROW>
  end
  % Help files are comments: their example calls must not be Octave's only.
  help = [{fullfile(root, 'pairwood.m')}, ...
          cellfun(@(n) fullfile(root, n, [n '.m']), module_names(), 'UniformOutput', false)];
  for k = 1:numel(help)
    [~, name] = fileparts(help{k});
    problems = [problems, scan_calls(fileread(help{k}), [name '.m'])]; %#ok<AGROW>
  end
  blocks = regexp(fileread(fullfile(root, 'README.md')), '```matlab\n(.*?)```', 'tokens');
  for k = 1:numel(blocks)
    problems = [problems, scan_code(blocks{k}{1}, sprintf('README.md block %d', k))]; %#ok<AGROW>
  end
  assert(isempty(problems), 'Octave-only M code:\n  %s', strjoin(problems, '\n  '));
end

function names = octave_only()
  % Functions MATLAB lacks; stdout and stderr are Octave's variables.
  names = ['printf|puts|fputs|fdisp|rows|columns|fflush|stdout|stderr|unsetenv|' ...
           'print_usage|nthargout|isargout|ostrsplit|postpad|prepad|merge|ifelse|' ...
           'mkoctfile|octave_config_info|page_screen_output'];
end

function problems = scan_calls(text, name)
  problems = {};
  lines = strsplit(text, "\n", 'CollapseDelimiters', false);
  for j = 1:numel(lines)
    if ~isempty(regexp(lines{j}, ['\<(' octave_only() ')\s*\('], 'once'))
      problems{end + 1} = sprintf('%s:%d: %s', name, j, strtrim(lines{j})); %#ok<AGROW>
    end
  end
end

function problems = scan_code(text, name)
  syntax = {'"', 'a double-quoted string'; '#', 'a # comment'; '!', '! for ~'; ...
            '\+\+|--|[-+*/]=|\*\*', 'an Octave operator'; ...
            '\<(endfunction|endif|endfor|endwhile|endswitch|end_try_catch|unwind_protect\w*|until)\>', ...
            'an Octave keyword'; '\w\([^()]*\)\(', 'indexing a call''s result'};
  problems = {};
  guards = {'OCTAVE_VERSION'};
  stack = false(0, 1);   % per open block: is it the Octave-only branch of a guard?
  negated = false(0, 1);
  lines = strsplit(text, "\n", 'CollapseDelimiters', false);
  for j = 1:numel(lines)
    code = strip_strings_and_comment(lines{j});
    where = sprintf('%s:%d: %s', name, j, strtrim(lines{j}));
    for s = 1:size(syntax, 1)
      if ~isempty(regexp(regexprep(code, '@\([^)]*\)', '@'), syntax{s, 1}, 'once'))
        problems{end + 1} = [where '  (' syntax{s, 2} ')']; %#ok<AGROW>
      end
    end
    % A variable holding the guard's test guards like the test itself.
    raw = regexprep(lines{j}, '%.*', '');
    assigned = regexp(raw, '^\s*(\w+)\s*=.*OCTAVE_VERSION', 'tokens', 'once');
    if ~isempty(assigned)
      guards{end + 1} = assigned{1}; %#ok<AGROW>
    end
    first = regexp(code, '^\s*(\w+)', 'tokens', 'once');
    first = [first, {''}];
    tests_guard = ~isempty(regexp(raw, ['\<(' strjoin(guards, '|') ')\>'], 'once'));
    not = ~isempty(regexp(code, '^\s*(else)?if\s*~', 'once'));
    switch first{1}
      case 'if'
        stack(end + 1) = tests_guard && ~not;
        negated(end + 1) = tests_guard && not;
      case 'function'
        % A subfunction NAME_octave is one the file calls in Octave only.
        stack(end + 1) = ~isempty(regexp(code, '\w_octave\s*\(', 'once'));
        negated(end + 1) = false;
      case {'for', 'parfor', 'while', 'switch', 'try'}
        stack(end + 1) = false;
        negated(end + 1) = false;
      case 'else'
        stack(end) = negated(end);
      case 'elseif'
        stack(end) = tests_guard && ~not;
    end
    if any(stack) == 0 && ~isempty(regexp(code, ['\<(' octave_only() ')\>'], 'once'))
      problems{end + 1} = [where '  (Octave only, unguarded)']; %#ok<AGROW>
    end
    ends = numel(regexp(depth_zero(code), '\<end\>'));
    closing = min(ends, numel(stack));
    stack(end - closing + 1:end) = [];
    negated(end - closing + 1:end) = [];
  end
end

function code = strip_strings_and_comment(line)
  % Single-quoted strings emptied, the comment cut; a quote after a name,
  % a closing bracket, a dot or a quote is a transpose.
  code = '';
  k = 1;
  while k <= numel(line)
    c = line(k);
    if c == '%'
      break;
    elseif c == '''' && (isempty(code) || isempty(regexp(code(end), '[\w)\]}.'']', 'once')))
      close = k + 1;
      while close <= numel(line) && ~(line(close) == '''' && ...
                                      (close == numel(line) || line(close + 1) ~= ''''))
        close = close + 1 + (close < numel(line) && line(close) == '''' );
      end
      code = [code ''''''];  %#ok<AGROW>
      k = close + 1;
      continue;
    end
    code(end + 1) = c; %#ok<AGROW>
    k = k + 1;
  end
end

function code = depth_zero(code)
  % Only what lies outside parentheses, brackets and braces (there end is
  % an index).
  depth = cumsum(ismember(code, '([{')) - cumsum(ismember(code, ')]}')) + ismember(code, ')]}');
  code(depth > 0) = ' ';
end
