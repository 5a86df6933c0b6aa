// pairtrend under the stand-in host.
#include "standin.hpp"

void standin::cases(Table &t)
{
    t.returns("the help's correlation, into the slot given for nlhs = 0", 0,
              {doubles(1, 4, {1, 2, 3, 4}), doubles(4, 1, {2, 4, 5, 9})}, [](const Result &r) {
                  const double cc = at(r.out[0], 0);
                  return cc > 0.96476 && cc < 0.96477; // 44 / sqrt(2080)
              });
    t.fails("a complex y is refused", 1,
            {doubles(1, 2, {1, 2}), complex_doubles(1, 2, {1, 2}, {1, 1})},
            "y must be a noncomplex double vector of length N");
}
