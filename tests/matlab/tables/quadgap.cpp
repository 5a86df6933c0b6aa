// quadgap under the stand-in host.
#include "standin.hpp"

void standin::cases(Table &t)
{
    t.returns("the help's distance matrix, into the slot given for nlhs = 0", 0,
              {doubles(2, 3, {0, 0, 1, 0, 3, 4})}, [](const Result &r) {
                  return at(r.out[0], 2) == 25 && at(r.out[0], 5) == 20 && at(r.out[0], 4) == 0;
              });
    t.returns("the help's weighted sums, with b empty", 1,
              {doubles(2, 3, {0, 0, 1, 0, 3, 4}), doubles(0, 0),
               doubles(3, 3, {1, 1, 1, 1, 1, 1, 1, 1, 1})},
              [](const Result &r) { return at(r.out[0], 0) == 28 && at(r.out[0], 1) == 64; });
    t.returns("a complex a is read by its real parts (kept apart from the imaginary ones)", 1,
              {complex_doubles(1, 2, {0, 3}, {5, 7})},
              [](const Result &r) { return at(r.out[0], 1) == 9 && at(r.out[0], 2) == 9; });
    t.fails("a sparse b is refused", 1, {doubles(2, 2), sparse(2, 2)},
            "b must be a full matrix, not sparse.");
}
