// lowsweep under the stand-in host.
#include "standin.hpp"

void standin::cases(Table &t)
{
    t.returns("the help's triangular solve, into the slot given for nlhs = 0", 0,
              {doubles(2, 2, {2, 1, 0, 4}), doubles(2, 2, {2, 9, 4, 6})}, [](const Result &r) {
                  return at(r.out[0], 0) == 1 && at(r.out[0], 1) == 2 && at(r.out[0], 2) == 2 &&
                         at(r.out[0], 3) == 1;
              });
    t.returns("no rows solve to no rows", 1, {doubles(0, 0), doubles(0, 3)},
              [](const Result &r) { return mxGetNumberOfElements(r.out[0]) == 0; });
    t.fails("a sparse T is refused", 1, {sparse(2, 2), doubles(2, 1)},
            "Sorry, can't handle sparse matrices yet.");
}
