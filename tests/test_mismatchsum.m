function cases = test_mismatchsum()
% Behaviours of mismatchsum that users rely on.
  cases = {
    'distances equal the vectorised loop bit for bit, at every tile edge', @matches_loop
    'the portable kernel gives the same bits as the dispatched one', @portable_same_bits
    'every empty b stands for a: symmetric, zero diagonal whatever the weights', @empty_b_is_a
    'zero, NaN and negative length scales; codes compared as 32-bit values', @weights_and_codes
    'D = 0 and n = 0 give zeros of the stated shapes', @empty_shapes
    'messages, the console line and the order of the checks', @argument_checks
  };
end

function matches_loop()
  sizes = [1 1; 7 3; 8 4; 9 5; 17 70; 130 129];
  for D = [1 5 20 256 257]
    l = rand(D, 1) * 3 + 0.1;
    for s = 1:rows(sizes)
      a = int32(randi(3, D, sizes(s, 1)));
      b = int32(randi(3, D, sizes(s, 2)));
      assert(isequal(mismatchsum(a, b, l), loop_mismatches(a, b, l)));
    end
  end
end

function portable_same_bits()
  % n = 37 and m = 66 end mid-tile and just past a 64-column block; D = 300
  % is more than the panel holds.
  seed = 43;
  rand('seed', seed); randn('seed', seed);
  for D = [3 20 300]
    a = int32(randi(4, D, 37));
    b = int32(randi(4, D, 66));
    l = randn(D, 1);
    [C, kernel] = mismatchsum_portable(a, b, l);
    assert(strcmp(kernel, 'portable'));
    assert(isequal(C, mismatchsum(a, b, l)), 'seed %d, D = %d', seed, D);
    assert(isequal(mismatchsum_portable(a, [], l), mismatchsum(a, [], l)), ...
           'seed %d, D = %d', seed, D);
  end
end

function empty_b_is_a()
  a = int32(randi(2, 4, 11));
  for l = {[1; 2; 0.5; 3], [0; NaN; 1; -Inf]}
    C = mismatchsum(a, [], l{1});
    assert(isequaln(C, C') && all(diag(C) == 0));
    for b = {zeros(4, 0, 'int32'), zeros(0, 6), zeros(0, 0, 'single')}
      assert(isequaln(mismatchsum(a, b{1}, l{1}), C));
    end
  end
  mismatchsum(a, [], ones(4, 1));            % no output requested: ans is set
  assert(isequal(ans, loop_mismatches(a, a, ones(4, 1))));
end

function weights_and_codes()
  a = int32([1 1 2; 5 6 6]);
  % A zero length scale: Inf only where the pair differs there.
  assert(isequal(mismatchsum(a, [], [0; 1]), [0 1 Inf; 1 0 Inf; Inf Inf 0]));
  assert(isequaln(mismatchsum(a, [], [NaN; 1]), [0 1 NaN; 1 0 NaN; NaN NaN 0]));
  assert(isequal(mismatchsum(a, [], [-2; 0.5]), mismatchsum(a, [], [2; 0.5])));
  codes = int32([intmin('int32'), intmax('int32'), -1, 0]);
  assert(isequal(mismatchsum(codes, codes, 1), 1 - eye(4)));
end

function empty_shapes()
  assert(isequal(mismatchsum(zeros(0, 4, 'int32'), [], zeros(0, 1)), zeros(4)));
  assert(isequal(mismatchsum(zeros(3, 0, 'int32'), int32(ones(3, 2)), ones(3, 1)), zeros(0, 2)));
  assert(isequal(mismatchsum(zeros(3, 0, 'int32'), [], ones(3, 1)), zeros(0, 0)));
end

function argument_checks()
  usage = 'Usage: C = mismatchsum(a,b,l), where the b matrix may be empty.';
  a = int32(randi(3, 3, 4));
  l = ones(3, 1);
  expect_error(@() mismatchsum(a, a), usage);
  expect_error(@() out2(@() mismatchsum(a, a, l)), usage);
  assert(isequal(mismatchsum(a, a, l, 'ignored', 7), mismatchsum(a, [], l)));
  expect_error(@() mismatchsum(a, int32(ones(2, 4)), l), 'Error: column lengths must agree');
  expect_error(@() mismatchsum(zeros(0, 2, 'int32'), a, zeros(0, 1)), ...
               'Error: column lengths must agree');
  % The console line, with no line break, then the shape error; the row
  % count is tested first, then the single column.
  shape = 'Error: length scale vector must be D by 1';
  for bad = {{ones(1, 3), 'Length scale vector is 1 by 3 (not 3 by 1)'}, ...
             {ones(3, 2), 'Length scale vector is 3 by 2 (not 3 by 1)'}, ...
             {[], 'Length scale vector is 0 by 0 (not 3 by 1)'}}
    printed = evalc('try, mismatchsum(a, [], bad{1}{1}); msg = ''''; catch err, msg = err.message; end');
    assert(strcmp(printed, bad{1}{2}));
    assert(strcmp(regexprep(msg, '^\w+: ', ''), shape));
  end
  % The b check comes before the length scales are looked at.
  expect_error(@() mismatchsum(a, int32(ones(2, 4)), 1), 'Error: column lengths must agree');
  % Arguments that cannot be read as their class are refused where read.
  expect_failure(@() mismatchsum(double(a), [], l), '^a must be an int32');
  expect_failure(@() mismatchsum(a, double(a), l), '^b must be an int32');
  expect_failure(@() mismatchsum(int16(a), ones(2, 4), l), '^a must be an int32');
  expect_failure(@() mismatchsum(a, [], int32(l)), '^l must be a full double');
  expect_failure(@() mismatchsum(a, [], sparse(l)), '^l must be a full');
end

function out2(f)
  [x, y] = f(); %#ok<ASGLU>
end
