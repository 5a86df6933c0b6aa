// nodeharvest under the stand-in host.
#include "standin.hpp"

namespace {

using namespace standin;

// A root split on Theta's column at 0.5 with leaves 2 and 3; ysub and the
// left children are given, so a test can break them.
std::vector<mxArray *> tree(mxArray *ysub, mxArray *left)
{
    return {int32s(3, 1, {1, 0, 0}),
            doubles(3, 1, {0.5, 0, 0}),
            ysub,
            left,
            int32s(3, 1, {3, 0, 0}),
            cell(0, 2),
            doubles(2, 1, {0.2, 0.7}),
            doubles(1, 1, {4}),
            doubles(3, 1),
            doubles(3, 1),
            int32s(3, 1),
            doubles(3, 1, {0, 1, 9}),
            doubles(3, 1)};
}

mxArray *full_ysub() { return cell(3, 1, {nullptr, doubles(1, 1, {1}), doubles(1, 1, {9})}); }

} // namespace

void standin::cases(Table &t)
{
    t.returns("each leaf gets a cell of its configurations, into the slot given for nlhs = 0", 0,
              tree(full_ysub(), int32s(3, 1, {2, 0, 0})), [](const Result &r) {
                  const mxArray *leaf = mxGetCell(r.out[0], 1);
                  return leaf != nullptr && at(mxGetCell(leaf, 0), 0) == 2 &&
                         at(mxGetCell(leaf, 3), 0) == 3 && mxGetCell(r.out[0], 2) == nullptr;
              });
    t.fails("a reached leaf whose ysub element was never set is an error", 2,
            tree(cell(3, 1, {nullptr, nullptr, doubles(1, 1, {9})}), int32s(3, 1, {2, 0, 0})),
            "ysub element 2 is unset, but leaf 2 is reached");
    t.fails("a child number outside the tree, met mid-walk, is an error", 2,
            tree(full_ysub(), int32s(3, 1, {5, 0, 0})),
            "the left child of node 1 must be a node number in 1..3");
    t.out_of_memory_anywhere("the host out of memory anywhere in a walk ends it with its error",
                             2, [] { return tree(full_ysub(), int32s(3, 1, {2, 0, 0})); });
    t.fails("a complex cut is refused", 2,
            [] {
                std::vector<mxArray *> in = tree(full_ysub(), int32s(3, 1, {2, 0, 0}));
                mxDestroyArray(in[1]);
                in[1] = complex_doubles(3, 1, {0.5, 0, 0}, {1, 0, 0});
                return in;
            }(),
            "cut must be a noncomplex double Nx1 vector.");
}
