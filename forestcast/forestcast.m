% FORESTCAST  A forest's prediction for every row of Z, with its variance.
%
%   [mu, v] = forestcast(forest, Z)
%   [mu, v] = forestcast(forest, Z, opts)
%
%   forest  1-by-T cell of trees, as forestfit returns them (the forest
%           format: help forestfit); the fields read are forestmargins'.
%   Z       n-by-(p+d) double: a configuration's columns, then an
%           instance's, one (configuration, instance) pair per row.
%   opts    struct, every field optional:
%             num_threads  threads to walk the rows on (default: the cores
%                          this process may use; a count above 4096 is
%                          taken as 4096)
%
%   mu(i) is the mean over the trees of leaf_mean at the leaf row i reaches:
%   forest_predict's prediction, bit for bit, for forests whose leaves
%   predict their leaf_mean (forestfit's and grow_forest's). v(i) is the
%   variance of the forest as the equal mixture of its trees, each a leaf of
%   mean leaf_mean and variance leaf_var: the mean of leaf_mean^2 + leaf_var
%   less mu(i)^2. So forestcast(f, [Theta(k,:), X(i,:)]) equals
%   forestmargins(f, Theta(k,:), X(i,:)) bit for bit. With no trees, mu and
%   v are NaN. The thread count never changes a bit.
%
%   Checks: Z against what the trees were fitted on (p+d columns,
%   categories 1..L) before walking, as in forestmargins. A category no
%   value set lists is an error naming the row and column of Z; a child
%   number outside the tree, a cycle, a split variable beyond the columns of
%   Z or a catsplit row that does not exist, one naming the tree and node. A
%   NaN on an ordered split goes right. When several rows fail, the first of
%   them is reported, at its first failing tree, on any thread count.
%
%   Ctrl-C: in GNU Octave a long call stops within a fraction of a second
%   (once the host has zero-filled the outputs, which takes a while for
%   gigabytes), returns nothing, and the session goes on. Such a call walks
%   on worker threads (one with num_threads = 1) while the calling thread
%   asks the host for interrupts (mexEvalString, ten times a second); a call
%   of a few milliseconds runs on the calling thread alone. MATLAB delivers
%   Ctrl-C only when a MEX call returns, whatever it asks: there the call
%   runs to its end, and MATLAB stops at the statement after it.
%
%   Example (examples/ on the path, for forest_predict):
%     Theta = [rand(60, 2), randi(3, 60, 1)];  X = rand(40, 2);
%     runs = int32([randi(60, 3000, 1), randi(40, 3000, 1)]);
%     y = Theta(runs(:, 1), 1) + X(runs(:, 2), 2) .* (Theta(runs(:, 1), 3) == 2);
%     forest = forestfit(Theta, X, runs, y, [0 0 3 0 0], struct('seed', 1));
%     Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
%     [mu, v] = forestcast(forest, Z);
%     rmse = sqrt(mean((mu - y) .^ 2))
%     isequal(mu, forest_predict(forest, Z))   % true
%
%   See also FORESTMARGINS, FORESTFIT, FOREST_PREDICT, TREECAST, GROW_FOREST.

%!demo
%! % Predictions for held-out runs, with the forest's uncertainty.
%! Theta = [rand(60, 2), randi(3, 60, 1)];  X = rand(40, 2);
%! runs = int32([randi(60, 4000, 1), randi(40, 4000, 1)]);
%! Z = [Theta(runs(:, 1), :), X(runs(:, 2), :)];
%! y = Z(:, 1) + Z(:, 5) .* (Z(:, 3) == 2) + 0.05 * randn(4000, 1);
%! forest = forestfit(Theta, X, runs(1:3000, :), y(1:3000), [0 0 3 0 0], struct('seed', 1));
%! [mu, v] = forestcast(forest, Z(3001:end, :));
%! err = mu - y(3001:end);
%! fprintf('held-out RMSE %.3f; predicted sd %.3f on average\n', sqrt(mean(err .^ 2)), mean(sqrt(v)));

%!test
%! t = struct('var', int32([1; 0; -2; 0; 0]), 'cut', [0.5; 0; 1; 0; 0], ...
%!            'leftchildren', int32([2; 0; 4; 0; 0]), 'rightchildren', int32([3; 0; 5; 0; 0]), ...
%!            'catsplit', {{int32([1 2]), int32(3)}}, 'leaf_mean', (1:5)', 'leaf_var', [0; 1; 0; 1; 1]);
%! [mu, v] = forestcast({t}, [0.1 7; 0.9 2; 0.9 3]);
%! assert(mu, [2; 4; 5]);
%! assert(v, [1; 1; 1]);
