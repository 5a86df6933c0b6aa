// mismatchsum under the stand-in host.
#include "standin.hpp"

void standin::cases(Table &t)
{
    t.returns("the help's mismatch matrix, into the slot given for nlhs = 0", 0,
              {int32s(2, 3, {1, 5, 1, 6, 2, 6}), doubles(0, 0), doubles(2, 1, {1, 0.5})},
              [](const Result &r) {
                  return at(r.out[0], 1) == 4 && at(r.out[0], 2) == 5 && at(r.out[0], 5) == 1;
              });
    t.fails("length scales of the wrong shape are an error, after a diagnostic line", 1,
            {int32s(2, 1, {1, 2}), doubles(0, 0), doubles(1, 2, {1, 1})},
            "Error: length scale vector must be D by 1");
    t.fails("double codes are refused", 1, {doubles(2, 1, {1, 2}), doubles(0, 0), doubles(2, 1)},
            "a must be an int32 matrix.");
}
