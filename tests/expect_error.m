function expect_error(call, message)
% EXPECT_ERROR  Require CALL (a function handle) to fail with MESSAGE.
%   The host prefixes a compiled function's message with its name and a
%   colon; the comparison is on the text after that prefix.
  try
    call();
  catch err
    got = regexprep(err.message, '^\w+: ', '', 'once');
    if ~strcmp(got, message)
      error('expected error "%s"\n  but got "%s"', message, got);
    end
    return;
  end
  error('expected error "%s", but the call returned', message);
end
