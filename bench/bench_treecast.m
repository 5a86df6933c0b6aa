function bench_treecast()
% treecast against the fastest vectorised Octave walk: every row advanced
% one level at a time, categorical membership through a lookup table.
  rand('seed', 7);  randn('seed', 7);
  n = 100000;
  t = random_tree(500, 10, 'categorical', [3 7], 'levels', 6);
  X = random_rows(t, n);
  args = {t.var, t.cut, t.nodepred, t.stddev, t.children, t.catsplit, int32(1), int32(0)};
  expected = vectorised_walk(t, X);
  assert(treecast(X, args{:}), expected);
  ours = bench_time(@() treecast(X, args{:}), 9);
  theirs = bench_time(@() vectorised_walk(t, X), 5);
  bench_report(sprintf('treecast, %d rows, %d nodes', n, numel(t.var)), ...
               ours, theirs, 'vectorised walk');
end

function y = vectorised_walk(t, X)
  N = numel(t.var);
  % goes_right(r, c): the side of category c at catsplit row r (sets cover
  % every category here, so no strategy is needed).
  goes_right = false(rows(t.catsplit), t.levels);
  for r = 1:rows(t.catsplit)
    goes_right(r, t.catsplit{r, 2}) = true;
  end
  node = ones(rows(X), 1);
  active = find(t.var(node) ~= 0);
  while ~isempty(active)
    k = node(active);
    v = double(t.var(k));
    x = X(active + rows(X) * (abs(v) - 1));
    right = ~(t.cut(k) > x);
    cat = v < 0;
    right(cat) = goes_right(fix(t.cut(k(cat))) + rows(goes_right) * (fix(x(cat)) - 1));
    node(active) = t.children(k + N * right);
    active = active(t.var(node(active)) ~= 0);
  end
  y = t.nodepred(node);
end
