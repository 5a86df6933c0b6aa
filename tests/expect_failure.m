function expect_failure(call, pattern)
% EXPECT_FAILURE  Require CALL to raise an error whose text (after the
%   function-name prefix) matches the regular expression PATTERN: for the
%   toolbox's own messages about malformed input, whose exact wording is
%   not part of any interface.
  try
    call();
  catch err
    got = regexprep(err.message, '^\w+: ', '', 'once');
    if isempty(regexp(got, pattern, 'once'))
      error('expected an error matching "%s"\n  but got "%s"', pattern, got);
    end
    return;
  end
  error('expected an error matching "%s", but the call returned', pattern);
end
