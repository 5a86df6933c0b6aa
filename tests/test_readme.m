function cases = test_readme()
% The README runs as written, and its forest format names every field a
% fitted tree has.
  cases = {
    'every matlab block of the README runs, in order, in one session at the top folder', @readme_code_runs
    'the README''s forest format and help forestfit name every field of a fitted tree', @forest_format_complete
  };
end

function [text, root] = readme()
  root = fileparts(fileparts(mfilename('fullpath')));
  text = fileread(fullfile(root, 'README.md'));
end

function readme_code_runs()
  [text, root] = readme();
  lines = strsplit(text, "\n", "CollapseDelimiters", false);
  blocks = {};
  starts = [];
  inside = false;
  for k = 1:numel(lines)
    line = lines{k};
    if ~inside && strcmp(strtrim(line), '```matlab')
      inside = true;
      blocks{end + 1} = ''; %#ok<AGROW>
      starts(end + 1) = k + 1; %#ok<AGROW>
    elseif inside && strcmp(strtrim(line), '```')
      inside = false;
    elseif inside
      % The package install is its own road (make test-package), and the
      % suite has put the build under test and examples/ on the path.
      if isempty(regexp(line, '^\s*(pkg|addpath)\>', 'once'))
        blocks{end} = [blocks{end} line "\n"];
      end
    end
  end
  assert(numel(blocks) >= 5, 'the README has %d matlab blocks', numel(blocks));
  assert(~isempty(strfind(text, 'forest_predict(')), 'the README does not show forest_predict');
  seed = 24;
  rand('state', seed);
  randn('state', seed);
  saved = pwd();
  back = onCleanup(@() cd(saved)); %#ok<NASGU>
  cd(root);
  [failed, message] = run_in_one_workspace(blocks);
  if failed > 0
    error('the README block at line %d fails (seed %d): %s', starts(failed), seed, message);
  end
end

function [failed__, message__] = run_in_one_workspace(blocks__)
  % One workspace for every block, as in the user's session; the names
  % here end in __ so that no README variable meets them.
  failed__ = 0;
  message__ = '';
  for block__ = 1:numel(blocks__)
    try
      evalc(blocks__{block__});
    catch err__
      failed__ = block__;
      message__ = err__.message;
      return;
    end
  end
end

function forest_format_complete()
  text = readme();
  from = strfind(text, '### The forest format');
  assert(~isempty(from), 'the README has no section "The forest format"');
  section = text(from(1):end);
  next = regexp(section(4:end), '\n##', 'once');
  section = section(1:next + 3);
  help_text = evalc('help forestfit');
  from = strfind(help_text, 'The compact layout');
  assert(~isempty(from), 'help forestfit has no forest format');
  help_text = help_text(from(1):end);
  for layout = {'compact', 'expanded'}
    forest = forestfit([1; 2; 3; 4], zeros(4, 0), int32([1:4; ones(1, 4)]'), [1; 2; 3; 4], 0, ...
                       struct('num_trees', 1, 'min_leaf', 1, 'layout', layout{1}));
    for name = fieldnames(forest{1})'
      assert(~isempty(strfind(section, ['`' name{1} '`'])), ...
             'the README''s forest format does not describe %s', name{1});
      assert(~isempty(regexp(help_text, ['\n\s+(\w+, )*' name{1} '[\s,]'], 'once')), ...
             'help forestfit does not describe %s', name{1});
    end
  end
end
