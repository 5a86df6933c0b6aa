// A tree as forestfit's learner grows it, in plain buffers: what the
// learner writes on a worker thread and the forest format turns into host
// arrays on the calling thread. No host calls.
#pragma once

#include "pages.hpp"

#include <cstddef>
#include <cstdint>

namespace core::fit {

// Which nodes keep their training responses.
enum class KeptResponses { leaves, all, none };

struct Node {
    std::uint32_t begin, end; // its range of the runs in node order
    std::int32_t var;         // 0 leaf, v ordered, -v categorical (1-based)
    double cut;               // categorical: its split's number (1-based)
    std::int32_t first_child; // 1-based; the second is first_child + 1
    double sum, squares, mean, spread; // of its responses, in node order
    std::size_t run_count() const { return end - begin; }
    bool is_leaf() const { return var == 0; }
};

struct GrownTree {
    pages::Buffer<Node> nodes;
    // The kept nodes' responses one after another, in node order.
    pages::Buffer<double> responses;
    // Each categorical split's categories sent left, increasing, one split
    // after another in node order, and each set's size. Every other
    // category goes right: a split costs the categories present at its
    // node, never the variable's levels.
    pages::Buffer<std::int32_t> left_values;
    pages::Buffer<std::uint32_t> left_sizes;

    bool keeps_responses(const Node &node, KeptResponses kept) const
    {
        return kept == KeptResponses::all || (kept == KeptResponses::leaves && node.is_leaf());
    }
    std::size_t split_count() const { return left_sizes.size(); }
};

} // namespace core::fit
