// The tree both forest modules' tables walk (forestmargins' help example):
// a root split on column 1 at 0.5, then a split of column 2 (X's first) by
// the categories {1, 2} (left) and {3} (right).
#pragma once

#include "standin.hpp"

namespace standin {

inline mxArray *tree(mxArray *catsplit)
{
    return structure({{"var", int32s(5, 1, {1, 0, -2, 0, 0})},
                      {"cut", doubles(5, 1, {0.5, 0, 1, 0, 0})},
                      {"leftchildren", int32s(5, 1, {2, 0, 4, 0, 0})},
                      {"rightchildren", int32s(5, 1, {3, 0, 5, 0, 0})},
                      {"catsplit", catsplit},
                      {"leaf_mean", doubles(5, 1, {1, 2, 3, 4, 5})},
                      {"leaf_var", doubles(5, 1, {0, 1, 0, 1, 1})}});
}

inline mxArray *sets()
{
    return cell(1, 2, {int32s(1, 2, {1, 2}), int32s(1, 1, {3})});
}

} // namespace standin
