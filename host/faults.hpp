// The messages of the faults a walk meets: the walks record a fault where
// they meet it, on whatever thread, and the calling thread puts it into
// words here.
#pragma once

#include "mexhost.hpp"
#include "tree.hpp"

#include <cstdio>

namespace host {

using core::Fault;

// Ends the call at categorical node `node` (1-based) whose cut names no
// value set, 1..M: the set it names, or the cut itself where it is no
// whole number. `where` begins the message (a tree's name, or "").
[[noreturn]] inline void fail_cut(const char *where, std::size_t node, double cut,
                                  const char *set, std::size_t M)
{
    const std::int32_t r = core::category_of(cut);
    if (cut == static_cast<double>(r))
        fail_fmt("%sthe cut of categorical node %zu names %s %d, outside 1..%zu.", where, node,
                 set, static_cast<int>(r), M);
    fail_fmt("%sthe cut of categorical node %zu is %s; it must name a %s, 1..%zu.", where, node,
             shown(cut).text, set, M);
}

// Whose words a fault is put in: treecast's and nodeharvest's, which name
// a node of their tree arguments, or the forest modules', which name a tree
// of the forest.
enum class Voice { treecast, nodeharvest, forest };

// Ends the call with the message of fault `f`, met in tree t.
[[noreturn]] inline void report(const Fault &f, const core::TreeView &t, Voice voice)
{
    const std::size_t tree = f.tree + 1;
    const std::size_t node = f.node + 1;
    const char *side = f.right ? "right" : "left";
    const long long number = static_cast<long long>(f.number);
    // The messages of the tree arguments' modules, then the forest's.
    if (voice != Voice::forest) {
        const bool cast = voice == Voice::treecast;
        switch (f.kind) {
        case Fault::BAD_CHILD:
            if (cast)
                fail_fmt("children of node %zu must be node numbers in 1..%zu (got %lld).", node,
                         t.N, number);
            fail_fmt("the %s child of node %zu must be a node number in 1..%zu (got %lld).", side,
                     node, t.N, number);
        case Fault::CYCLE:
            if (cast)
                fail("the tree's children form a cycle: a walk from the root is longer than N-1 "
                     "steps.");
            fail_fmt("node %zu is reached a second time: the children of the tree form a cycle "
                     "or share a subtree.",
                     node);
        case Fault::BAD_VARIABLE:
            fail_fmt("split variable %lld of node %zu exceeds the %zu columns of %s.", number,
                     node, f.columns, cast ? "X" : "Theta and X");
        case Fault::BAD_CATSPLIT:
            fail_cut("", node, t.cut[f.node], "catsplit row", t.M);
        case Fault::BAD_SET:
            if (cast && f.state == core::SetState::unset)
                fail("Empty Cell in catsplit\n");
            fail("Elements of catsplit cell array have to be ints (cast them to int in Matlab)");
        case Fault::MISSING_CATEGORY:
            fail("Missing value -- not allowed in this implementation (randomly assign missing "
                 "values during tree construction!).");
        case Fault::NO_SIDE:
            fail_fmt("strategyForMissing %lld cannot choose a side at categorical node %zu: both "
                     "of its value sets are empty.",
                     number, node);
        case Fault::BAD_STRATEGY:
            fail("Neither going left nor right nor staying here should be impossible!");
        case Fault::NOT_CATEGORICAL:
        case Fault::NONE:
            break;
        }
        fail("an unknown fault.");
    }
    switch (f.kind) {
    case Fault::BAD_CHILD:
        fail_fmt("forest{%zu}: the %s child of node %zu must be a node number in 1..%zu (got "
                 "%lld).",
                 tree, side, node, t.N, number);
    case Fault::CYCLE:
        fail_fmt("forest{%zu}: the children of the tree form a cycle or share a subtree "
                 "(met at node %zu).",
                 tree, node);
    case Fault::BAD_VARIABLE:
        fail_fmt("forest{%zu}: split variable %lld of node %zu exceeds the %zu columns of the "
                 "data.",
                 tree, number, node, f.columns);
    case Fault::BAD_CATSPLIT: {
        // A compact tree's cut names one of its left sets.
        char where[40];
        std::snprintf(where, sizeof where, "forest{%zu}: ", tree);
        fail_cut(where, node, t.cut[f.node], t.left_only ? "left set" : "catsplit row", t.M);
    }
    case Fault::BAD_SET:
        fail_fmt("forest{%zu}.catsplit{%lld, %d}, a value set of node %zu, must be an int32 "
                 "array.",
                 tree, number, f.right ? 2 : 1, node);
    case Fault::NOT_CATEGORICAL:
        fail_fmt("forest{%zu}: node %zu splits variable %lld as categorical, but the tree's "
                 "levels do not make it categorical.",
                 tree, node, number);
    case Fault::MISSING_CATEGORY:
        fail_fmt("%s(%zu, %zu) = %s is in neither value set of categorical node %zu of "
                 "forest{%zu}: every category the data holds must be listed at every split.",
                 f.data, f.row + 1, f.column + 1, shown(f.value).text, node, tree);
    case Fault::NO_SIDE:
    case Fault::BAD_STRATEGY:
    case Fault::NONE:
        break;
    }
    fail("an unknown fault.");
}

} // namespace host
