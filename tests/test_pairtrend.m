function cases = test_pairtrend()
% Behaviours of pairtrend that users rely on.
  cases = {
    'agrees with corr on random data, rows and columns mixed', @agrees_with_corr
    'a numerator within 1e-10 of zero gives exactly 1', @near_zero_numerator
    'the near-zero bound is absolute: scaling up reveals the coefficient', @absolute_bound
    'a NaN numerator is not near zero and propagates', @nan_propagates
    'argument messages in order', @argument_checks
    'sparse vectors are refused', @sparse_refused
  };
end

function agrees_with_corr()
  rand('seed', 7); randn('seed', 7);
  for N = [2 3 17 1000]
    x = randn(N, 1);
    y = 0.3 * x + randn(N, 1);
    expected = corr(x, y);
    assert(pairtrend(x, y), expected, -1e-12);
    assert(pairtrend(x', y), expected, -1e-12);
    assert(pairtrend(x, y'), expected, -1e-12);
    assert(pairtrend(x', y'), expected, -1e-12);
  end
  assert(pairtrend([1 2 3], [3 2 1]), -1, 1e-15);
  % Only the row and column counts are looked at: a 1x1xK array is read
  % as a vector of its K stored elements.
  assert(pairtrend(reshape([1 2 4], 1, 1, 3), [1 2 4]), 1, 1e-15);
  cc = pairtrend(1:5, [1 2 3 4 5]);
  assert(isa(cc, 'double') && isequal(size(cc), [1 1]) && isreal(cc));
end

function near_zero_numerator()
  assert(pairtrend(5, -3), 1);                       % N = 1: num = 0
  assert(pairtrend([4 4 4 4], [1 9 2 7]), 1);         % constant small integers
  assert(pairtrend([1 9 2 7], [-2; -2; -2; -2]), 1);
  assert(pairtrend(zeros(1, 5), zeros(1, 5)), 1);
end

function absolute_bound()
  % Perfectly anticorrelated, but the numerator is about -6e-12.
  x = [1 2 3] * 1e-6;
  y = [3 2 1] * 1e-6;
  assert(pairtrend(x, y), 1);
  assert(pairtrend(x * 1e3, y * 1e3), -1, 1e-12);
  % Just outside the bound the true coefficient comes back.
  assert(pairtrend([0 2e-5], [2e-5 0]), -1, 1e-12);   % num = -4e-10
  assert(pairtrend([0 5e-6], [5e-6 0]), 1);           % num = -2.5e-11
end

function nan_propagates()
  assert(isnan(pairtrend([1 2 NaN], [1 2 3])));
  assert(isnan(pairtrend([1 2 3], [Inf 2 3])));
end

function argument_checks()
  usage = 'Usage: cc = pairtrend(x,y).';
  xmsg = 'var must be a noncomplex double vector of length N.';
  ymsg = 'y must be a noncomplex double vector of length N (where N=length(x)).';
  expect_error(@() pairtrend(1:3), usage);
  expect_error(@() pairtrend(1:3, 1:3, 1:3), usage);
  expect_error(@() pairtrend(), usage);
  % The input count is tested before the output count.
  expect_error(@() two_outputs(1:3), usage);
  expect_error(@() two_outputs(1:3, 1:3), 'Too many output arguments');
  pairtrend(1:3, 1:3);                               % no output requested
  expect_error(@() pairtrend(zeros(1, 0), 1), xmsg);
  expect_error(@() pairtrend(zeros(0, 1), zeros(0, 1)), xmsg);
  expect_error(@() pairtrend(ones(2), 1:2), xmsg);
  expect_error(@() pairtrend(single(1:3), 1:3), xmsg);
  expect_error(@() pairtrend(int32(1:3), 1:3), xmsg);
  expect_error(@() pairtrend([1 2i 3], 1:3), xmsg);
  expect_error(@() pairtrend(1:3, 'abc'), ymsg);      % x passes, y is checked
  expect_error(@() pairtrend(1:3, 1:4), ymsg);
  expect_error(@() pairtrend(1:3, zeros(1, 0)), ymsg);
  expect_error(@() pairtrend(1:3, [1 2i 3]), ymsg);
  expect_error(@() pairtrend(1:3, ones(3)), ymsg);
end

function varargout = two_outputs(varargin)
  [varargout{1:2}] = pairtrend(varargin{:});
end

function sparse_refused()
  expect_failure(@() pairtrend(sparse([1 0 3]), 1:3), '^x .*sparse');
  expect_failure(@() pairtrend(1:3, sparse([0 0 3])), '^y .*sparse');
  % The class and shape messages still come first.
  expect_error(@() pairtrend(sparse(ones(2)), 1:3), ...
               'var must be a noncomplex double vector of length N.');
end
