function failures = run_tests(varargin)
% RUN_TESTS  Run the toolbox's tests in the host and print a summary.
%
%   run_tests                  every tests/test_*.m against build/
%   run_tests test_treecast    only the named files
%   run_tests('-build', DIR)   against the modules in DIR (a sanitizer build)
%   run_tests('-installed')    against the loaded pairwood package (pkg load
%                              pairwood first); the test-only helpers are
%                              built on their own into a temporary folder
%
% Each test file returns a two-column cell of {description, function handle};
% a case passes when its function returns and fails when it raises an
% error, unless the error is skip_case's (the machine lacks what the case
% needs): then it is skipped, with its reason. The last line is "N passed,
% N failed, N skipped"; the result is the number of failures.

  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  builddir = fullfile(root, 'build');
  installed = false;
  pick = {};
  k = 1;
  while k <= numel(varargin)
    if strcmp(varargin{k}, '-build')
      builddir = varargin{k + 1};
      k = k + 2;
    elseif strcmp(varargin{k}, '-installed')
      installed = true;
      k = k + 1;
    else
      pick{end + 1} = varargin{k}; %#ok<AGROW>
      k = k + 1;
    end
  end
  addpath(here);
  addpath(fullfile(here, 'fuzz'));
  if installed
    helperdir = tempname();
    cleanup = onCleanup(@() remove_helpers(helperdir)); %#ok<NASGU>
    use_installed_package(root, helperdir);
  else
    addpath(builddir);
    addpath(fullfile(builddir, 'testhelpers'));
    addpath(fullfile(root, 'examples'));
  end

  files = dir(fullfile(here, 'test_*.m'));
  passed = 0;
  failed = 0;
  skipped = 0;
  for f = 1:numel(files)
    [~, name] = fileparts(files(f).name);
    if ~isempty(pick) && ~any(strcmp(pick, name))
      continue;
    end
    printf('%s\n', name);
    cases = feval(name);
    for c = 1:rows(cases)
      try
        cases{c, 2}();
        passed = passed + 1;
        printf('  ok    %s\n', cases{c, 1});
      catch err
        if strcmp(err.identifier, 'run_tests:skipped')
          skipped = skipped + 1;
          printf('  skip  %s\n        (%s)\n', cases{c, 1}, err.message);
        else
          failed = failed + 1;
          printf('  FAIL  %s\n        %s\n', cases{c, 1}, strrep(err.message, "\n", "\n        "));
        end
      end
    end
  end
  printf('%d passed, %d failed, %d skipped\n', passed, failed, skipped);
  failures = failed;
end

function use_installed_package(root, helperdir)
  % Every module and example function must come from the loaded package,
  % not from this tree; the helpers are built from this tree's sources.
  packages = pkg('list');
  loaded = packages(cellfun(@(p) strcmp(p.name, 'pairwood') && p.loaded, packages));
  if isempty(loaded)
    error('run_tests: -installed needs the pairwood package loaded (pkg load pairwood)');
  end
  places = {loaded{1}.dir, loaded{1}.archprefix};
  examples = dir(fullfile(root, 'examples', '*.m'));
  [~, example_names] = cellfun(@fileparts, {examples.name}, 'UniformOutput', false);
  for name = [module_names(), example_names, {'pairwood', 'pairwood_version'}]
    found = which(name{1});
    if ~any(cellfun(@(p) strncmp(found, [p filesep], numel(p) + 1), places))
      error('run_tests: %s resolves to "%s", outside the loaded package', name{1}, found);
    end
  end
  addpath(root);
  build('-helpers', helperdir);
  rmpath(root);
  addpath(helperdir);
end

function remove_helpers(helperdir)
  if exist(helperdir, 'dir')
    rmpath(helperdir);
    confirm_recursive_rmdir(false, 'local');
    rmdir(helperdir, 's');
  end
end
