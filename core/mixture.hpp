// A forest as the equally weighted mixture of its trees: from each tree's
// mean and variance of a prediction, the forest's mean and variance. Shared
// by the modules that pool trees (poolmargins, forestmargins, forestcast),
// so that all of them give the same bits for the same per-tree values.
#pragma once

#include <cstddef>

namespace core {

// For k = 0..K-1, with tree t's mean and variance at tree_means[k +
// t*tree_step] (tree_vars likewise): the mean of the per-tree means, and
// the mean of the per-tree second moments less the squared forest mean,
// both summed in tree order. With no trees both are 0/0, NaN.
inline void pool_trees(const double *tree_means, const double *tree_vars, std::size_t K,
                       std::size_t T, std::size_t tree_step,
                       double *means, double *vars)
{
    const double trees = static_cast<double>(T);
    for (std::size_t k = 0; k < K; ++k) {
        const double *tm = tree_means + k;
        const double *tv = tree_vars + k;
        double S = 0.0;
        for (std::size_t t = 0; t < T; ++t)
            S = S + tm[t * tree_step];
        means[k] = S / trees;
        const double mean_sq = means[k] * means[k];
        double V = 0.0;
        for (std::size_t t = 0; t < T; ++t) {
            const double m = tm[t * tree_step];
            V = ((m * m + tv[t * tree_step]) - mean_sq) + V;
        }
        vars[k] = V / trees;
    }
}

} // namespace core
