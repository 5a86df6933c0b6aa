function cases = test_lowsweep()
% Behaviours of lowsweep that users rely on.
  cases = {
    'solves the lower triangle; entries above the diagonal are ignored', @ignores_upper_triangle
    'identity T returns b; the diagonal is divided by as stored', @identity_and_diagonal
    'empty shapes: n = 0 and m = 0', @empty_shapes
    'complex inputs are solved on their real parts', @complex_parts_ignored
    'a zero on the diagonal gives Inf or NaN, unreported', @zero_diagonal
    'messages in order, three-dimensional cases included', @argument_checks
    'b of another row count or inputs not double are refused', @malformed_inputs
  };
end

function ignores_upper_triangle()
  rand('seed', 3);
  for m = [1 2 7 40]
    L = tril(rand(m)) + m * eye(m);
    b = rand(m, 3) - 0.5;
    T = L + triu(1e6 * rand(m) + 1, 1);          % garbage above the diagonal
    T(find(triu(ones(m), 1))(1:2:end)) = NaN;     % NaN up there changes nothing
    x = lowsweep(T, b);
    assert(size(x), [m 3]);
    assert(x, L \ b, -1e-12);
    assert(lowsweep(L, b), x);
  end
  T = [2 99; 1 4];
  assert(lowsweep(T, [2 4; 9 6]), [1 2; 2 1]);
end

function identity_and_diagonal()
  b = [1 -2.5; 3e300 0; -0 7];
  assert(lowsweep(eye(3), b), b);
  assert(lowsweep(diag([2 -4 0.5]), [2; 2; 2]), [1; -0.5; 4]);
  assert(lowsweep(3, [6 9 -3]), [2 3 -1]);
end

function empty_shapes()
  x = lowsweep(eye(4), zeros(4, 0));
  assert(isequal(size(x), [4 0]) && isa(x, 'double'));
  x = lowsweep(zeros(0), zeros(0, 5));
  assert(isequal(size(x), [0 5]) && isa(x, 'double'));
  assert(isequal(size(lowsweep([], [])), [0 0]));
end

function complex_parts_ignored()
  T = [2 0; 1 4];
  b = [2 4; 9 6];
  assert(lowsweep(T + 5i * tril(ones(2)), b), [1 2; 2 1]);
  x = lowsweep(T, b - 3i);
  assert(isreal(x) && isequal(x, [1 2; 2 1]));
end

function zero_diagonal()
  x = lowsweep([0 0; 1 1], [1 0; 1 0]);
  assert(isinf(x(1, 1)) && ~isfinite(x(2, 1)) && isnan(x(1, 2)));
end

function argument_checks()
  usage = 'Usage: x = lowsweep(T,b)';
  square = 'matrix must be square';
  sparsemsg = 'Sorry, can''t handle sparse matrices yet.';
  dims = 'Arguments must be matrices.';
  expect_error(@() lowsweep(eye(2)), usage);
  expect_error(@() lowsweep(), usage);
  expect_error(@() lowsweep(eye(2), ones(2, 1), 1), usage);
  expect_error(@() two_outputs(eye(2), ones(2, 1)), usage);
  lowsweep(eye(2), ones(2, 1));                  % no output requested
  expect_error(@() lowsweep(ones(2, 3), sparse(ones(2))), square);
  expect_error(@() lowsweep(sparse(eye(2)), ones(2, 1)), sparsemsg);
  expect_error(@() lowsweep(eye(2), sparse(ones(2, 1))), sparsemsg);
  expect_error(@() lowsweep(eye(2), ones(2, 1, 2)), dims);
  % A three-dimensional T: its trailing dimensions count as columns first.
  expect_error(@() lowsweep(ones(2, 2, 2), ones(2, 1)), square);
  expect_error(@() lowsweep(ones(4, 2, 2), sparse(ones(4, 1))), sparsemsg);
  expect_error(@() lowsweep(ones(4, 2, 2), ones(4, 1)), dims);
  expect_error(@() lowsweep(ones(4, 2, 2), ones(4, 1, 2)), dims);
end

function varargout = two_outputs(varargin)
  [varargout{1:2}] = lowsweep(varargin{:});
end

function malformed_inputs()
  expect_failure(@() lowsweep(eye(3), ones(2, 1)), '^b must have as many rows as T \(3\)');
  expect_failure(@() lowsweep(eye(3), ones(4, 2)), '^b must have as many rows');
  expect_failure(@() lowsweep(zeros(0), ones(1, 0)), '^b must have as many rows');
  expect_failure(@() lowsweep(single(eye(2)), ones(2, 1)), '^T must be a double');
  expect_failure(@() lowsweep(int32(eye(2)), ones(2, 1)), '^T must be a double');
  expect_failure(@() lowsweep(eye(2), true(2, 1)), '^b must be a double');
  expect_failure(@() lowsweep(eye(2), 'ab'''), '^b must be a double');
  expect_failure(@() lowsweep({1}, 1), '^T must be a double');
  % The square test still comes first for any class.
  expect_error(@() lowsweep(single(ones(2, 3)), ones(2, 1)), 'matrix must be square');
end
