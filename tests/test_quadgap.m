function cases = test_quadgap()
% Behaviours of quadgap that users rely on.
  cases = {
    'distances equal the vectorised loop bit for bit, at every tile edge', @matches_loop
    'the portable kernels give the same bits as the dispatched ones', @portable_same_bits
    'the portable build runs the portable kernel, a vector build AVX2 where the processor has it', @dispatch
    'a alone and every empty b give one symmetric zero-diagonal matrix', @empty_b_is_a
    'D = 0 and n = 0 give zeros of the stated shapes', @empty_shapes
    'weighted sums equal the pair-by-pair loop bit for bit', @weighted_matches_loop
    'Inf and NaN coordinates propagate; complex input counts its real part', @ieee_and_complex
    'messages and the order of the checks', @argument_checks
  };
end

function c = loop_weighted(a, b, Q)
  % Pairs i outer, j inner, every addition rounded on the stored c(k).
  c = zeros(rows(a), 1);
  for i = 1:columns(a)
    for j = 1:columns(b)
      d = a(:, i) - b(:, j);
      c = c + d .* (Q(i, j) * d);
    end
  end
end

function matches_loop()
  % n and m around the 8-by-4 tile and the 64-column block; D around the
  % 256 coordinates the packed panel holds.
  sizes = [1 1; 7 3; 8 4; 9 5; 17 70; 130 129];
  for D = [1 5 20 256 257]
    for s = 1:rows(sizes)
      a = randn(D, sizes(s, 1));
      b = randn(D, sizes(s, 2)) * 3;
      assert(isequal(quadgap(a, b), loop_distances(a, b)));
    end
  end
  a = randi([-50 50], 6, 40);              % integer data: exact small sums
  b = randi([-50 50], 6, 33);
  assert(isequal(quadgap(a, b), loop_distances(a, b)));
end

function portable_same_bits()
  % n = 37 and m = 66 end mid-tile and just past a 64-column block; D = 300
  % is more than the panel holds; D = 5 and 6 end the weighted chunks on one
  % and two single coordinates, D = 3 on three.
  seed = 41;
  rand('seed', seed); randn('seed', seed);
  for D = [3 5 6 20 300]
    a = randn(D, 37) .* 10.^randi([-5 5], D, 37);
    b = randn(D, 66);
    Q = randn(37, 66);
    [C, kernel] = quadgap_portable(a, b);
    assert(strcmp(kernel, 'portable'));
    assert(isequal(C, quadgap(a, b)), 'seed %d, D = %d', seed, D);
    assert(isequal(quadgap_portable(a), quadgap(a)), 'seed %d, D = %d', seed, D);
    assert(isequal(quadgap_portable(a, b, Q), quadgap(a, b, Q)), 'seed %d, D = %d', seed, D);
  end
end

function dispatch()
  % Without the AVX2 kernel where it could run, the same-bits tests above
  % would compare the portable kernels with themselves or the generic ones.
  [~, kernel] = quadgap_portable(zeros(2, 9), zeros(2, 5));
  assert(strcmp(kernel, 'portable'));
  dispatched = tile_kernel();
  assert(any(strcmp(dispatched, {'portable', 'vector', 'avx2'})));
  cpuinfo = '';
  if exist('/proc/cpuinfo', 'file')
    cpuinfo = fileread('/proc/cpuinfo');
  end
  if ~strcmp(dispatched, 'portable') && ...
     ~isempty(regexp(cpuinfo, '^flags\s*:.*\<avx2\>', 'lineanchors', 'once'))
    assert(strcmp(dispatched, 'avx2'), 'a vector build dispatched to %s', dispatched);
  end
end

function empty_b_is_a()
  a = randn(4, 11);
  C = quadgap(a);
  assert(isequal(C, loop_distances(a, a)));
  assert(isequal(C, C') && all(diag(C) == 0));
  for b = {[], zeros(4, 0), zeros(0, 6), int32([]), zeros(3, 0, 'single')}
    assert(isequal(quadgap(a, b{1}), C));
  end
  Q = randn(11);
  assert(isequal(quadgap(a, [], Q), loop_weighted(a, a, Q)));
  quadgap(a);                                % no output requested: ans is set
  assert(isequal(ans, C));
end

function empty_shapes()
  assert(isequal(quadgap(zeros(0, 3)), zeros(3)));
  assert(isequal(quadgap(zeros(0, 3), zeros(5, 0)), zeros(3)));
  assert(isequal(quadgap(zeros(0, 3), [], ones(3)), zeros(0, 1)));
  assert(isequal(quadgap(zeros(2, 0), rand(2, 4)), zeros(0, 4)));
  assert(isequal(quadgap(zeros(2, 0)), zeros(0, 0)));
  assert(isequal(quadgap(zeros(2, 0), rand(2, 4), zeros(0, 4)), zeros(2, 1)));
  a = rand(2, 3);
  Q = rand(3);
  assert(isequal(quadgap(a, zeros(2, 0), Q), quadgap(a, [], Q)));
end

function weighted_matches_loop()
  % D = 23: a full chunk of 16 coordinates, one vector of 4 and 3 singles.
  for D = [1 5 16 23]
    a = randn(D, 9);
    b = randn(D, 13);
    Q = randn(9, 13);
    assert(isequal(quadgap(a, b, Q), loop_weighted(a, b, Q)));
  end
  % Infinite weights follow IEEE: Inf where the gap is not 0, NaN where
  % it is (0 * Inf), as the loop gives.
  a = [1 2; 3 5];
  assert(isequal(quadgap(a, [], [0 Inf; 0 0]), [Inf; Inf]));
  assert(isequaln(quadgap(a, [], [Inf 0; 0 0]), [NaN; NaN]));
  assert(isequaln(quadgap(a, [], [0 0; NaN 0]), [NaN; NaN]));
end

function ieee_and_complex()
  a = [Inf 1; 0 NaN];
  b = [Inf 2; 0 0];
  C = quadgap(a, b);
  assert(isequaln(C, [NaN Inf; NaN NaN]));
  z = [1 + 5i, 2; 3, 4 - 2i];
  assert(isequal(quadgap(z), quadgap(real(z))));
end

function argument_checks()
  usage = ["Usage: C = quadgap(a,b)\n" ...
           "       or: C = quadgap(a)\n" ...
           "       or: c = quadgap(a,b,Q)\n" ...
           "where the b matrix may be empty."];
  a = rand(3, 4);
  expect_error(@() quadgap(), usage);
  expect_error(@() quadgap(a, a, ones(4), 1), usage);
  expect_error(@() out2(@() quadgap(a)), usage);
  expect_error(@() quadgap(a, rand(2, 4)), 'Error: column lengths must agree');
  expect_error(@() quadgap(zeros(0, 4), rand(1, 4)), 'Error: column lengths must agree');
  expect_error(@() quadgap(a, rand(3, 5), ones(5, 4)), ...
               'Error: 3rd matrix argument has wrong dimensions');
  expect_error(@() quadgap(a, [], ones(4, 5)), 'Error: 3rd matrix argument has wrong dimensions');
  % b's rows are checked before Q's shape.
  expect_error(@() quadgap(a, rand(2, 5), 1), 'Error: column lengths must agree');
  % Arguments that cannot be read as full doubles are refused where read.
  expect_failure(@() quadgap(single(a)), '^a must be a full double');
  expect_failure(@() quadgap(sparse(a)), '^a must be a full');
  expect_failure(@() quadgap(a, int32(ones(2, 4))), '^b must be a full double');
  expect_failure(@() quadgap(a, sparse(a)), '^b must be a full');
  expect_failure(@() quadgap(a, a, sparse(ones(4))), '^Q must be a full');
  expect_failure(@() quadgap(a, a, true(4)), '^Q must be a full double');
end

function out2(f)
  [x, y] = f(); %#ok<ASGLU>
end
