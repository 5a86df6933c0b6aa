function skip_case(reason, varargin)
% SKIP_CASE  End the running test case as skipped: the machine lacks what
%   it needs. REASON (a format, with its arguments) says what and how to get
%   it; run_tests prints it and counts the case as skipped, not passed.
  error('run_tests:skipped', reason, varargin{:});
end
