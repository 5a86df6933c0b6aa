function failures = run_tests(varargin)
% RUN_TESTS  Run the toolbox's tests in the host and print a summary.
%
%   run_tests                  every tests/test_*.m against build/
%   run_tests test_treecast    only the named files
%   run_tests('-build', DIR)   against the modules in DIR (a sanitizer build)
%
% Each test file returns a two-column cell of {description, function handle};
% a case passes when its function returns and fails when it raises an
% error. The last line is "N passed, N failed"; the result is the number of
% failures.

  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  builddir = fullfile(root, 'build');
  pick = {};
  k = 1;
  while k <= numel(varargin)
    if strcmp(varargin{k}, '-build')
      builddir = varargin{k + 1};
      k = k + 2;
    else
      pick{end + 1} = varargin{k}; %#ok<AGROW>
      k = k + 1;
    end
  end
  addpath(here);
  addpath(fullfile(here, 'fuzz'));
  addpath(builddir);
  addpath(fullfile(builddir, 'testhelpers'));
  addpath(fullfile(root, 'examples'));

  files = dir(fullfile(here, 'test_*.m'));
  passed = 0;
  failed = 0;
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
        failed = failed + 1;
        printf('  FAIL  %s\n        %s\n', cases{c, 1}, strrep(err.message, "\n", "\n        "));
      end
    end
  end
  printf('%d passed, %d failed\n', passed, failed);
  failures = failed;
end
