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

// A chain of D ordered splits on column 1, 2D+1 nodes: split i (node 2i-1)
// sends values below i/D to leaf 2i, whose leaf_mean is 2i. Walking rows
// (j + 0.5)/D, j = 0..D-1, down it takes D^2/2 steps: long enough for a
// call to run on workers while the calling thread polls the host.
inline mxArray *chain(std::size_t D)
{
    const std::size_t n = 2 * D + 1;
    mxArray *var = int32s(n, 1), *cut = doubles(n, 1), *left = int32s(n, 1),
            *right = int32s(n, 1), *mean = doubles(n, 1);
    for (std::size_t i = 1; i <= D; ++i) {
        const std::size_t k = 2 * i - 2; // node 2i-1, 0-based
        static_cast<std::int32_t *>(mxGetData(var))[k] = 1;
        mxGetPr(cut)[k] = static_cast<double>(i) / static_cast<double>(D);
        static_cast<std::int32_t *>(mxGetData(left))[k] = static_cast<std::int32_t>(2 * i);
        static_cast<std::int32_t *>(mxGetData(right))[k] = static_cast<std::int32_t>(2 * i + 1);
    }
    for (std::size_t k = 0; k < n; ++k)
        mxGetPr(mean)[k] = static_cast<double>(k + 1);
    return structure({{"var", var}, {"cut", cut}, {"leftchildren", left},
                      {"rightchildren", right}, {"catsplit", cell(0, 2)},
                      {"leaf_mean", mean}, {"leaf_var", doubles(n, 1)}});
}

// The D rows chain(D) is walked with, and the leaf mean each reaches.
inline mxArray *chain_rows(std::size_t D)
{
    mxArray *rows = doubles(D, 1);
    for (std::size_t j = 0; j < D; ++j)
        mxGetPr(rows)[j] = (static_cast<double>(j) + 0.5) / static_cast<double>(D);
    return rows;
}
inline bool chain_means(const mxArray *means, std::size_t D)
{
    for (std::size_t j = 0; j < D; ++j)
        if (at(means, j) != 2.0 * static_cast<double>(j + 1))
            return false;
    return true;
}

} // namespace standin
