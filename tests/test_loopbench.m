function cases = test_loopbench()
% Behaviours of loopbench that users rely on.
  cases = {
    'prints its three lines, whatever the inputs, and leaves them untouched', @prints_three_lines
    'after the passes element a+100b+100000c holds 90+10(a+b+c)', @array_contents
  };
end

function prints_three_lines()
  expected = sprintf('Allocating int array of size 10000000\nStarting loop\nDone.\n');
  assert(evalc('loopbench'), expected);
  v = [1 2; 3 4];
  c = {int8(3), 'text', struct('f', 1)};
  assert(evalc('loopbench(v, c{:}, single(2i), sparse(1), true, @sin)'), expected);
  assert(isequal(v, [1 2; 3 4]) && isequal(c, {int8(3), 'text', struct('f', 1)}));
end

function array_contents()
  % loopbench_probe runs loopbench's own gateway and hands back its array.
  [out, contents] = evalc('loopbench_probe(1, ''x'')');
  assert(out, sprintf('Allocating int array of size 10000000\nStarting loop\nDone.\n'));
  assert(isa(contents, 'int32') && numel(contents) == 10000000);
  a = (0:99)';
  b = 0:999;
  c = reshape(0:99, 1, 1, 100);
  expected = int32(90 + 10 * (a + b + c));
  assert(isequal(reshape(contents, 100, 1000, 100), expected));
  assert(contents(1) == 90 && contents(end) == 12060);
end
