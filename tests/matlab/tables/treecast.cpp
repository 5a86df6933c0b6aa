// treecast under the stand-in host.
#include "standin.hpp"

namespace {

using namespace standin;

// A root split on column 1 at 0.5 with two leaves (1 left, 9 right); the
// children are given, so a test can break them.
std::vector<mxArray *> tree(mxArray *X, mxArray *children, mxArray *catsplit = nullptr)
{
    return {X,
            int32s(3, 1, {1, 0, 0}),
            doubles(3, 1, {0.5, 0, 0}),
            doubles(3, 1, {5, 1, 9}),
            doubles(3, 1),
            children,
            catsplit ? catsplit : cell(0, 2),
            int32s(1, 1, {1}),
            int32s(1, 1, {0})};
}

} // namespace

void standin::cases(Table &t)
{
    t.returns("the example tree predicts each row, into the one slot given for nlhs = 0", 0,
              tree(doubles(2, 1, {0.2, 0.7}), int32s(3, 2, {2, 0, 0, 3, 0, 0})),
              [](const Result &r) { return at(r.out[0], 0) == 1 && at(r.out[0], 1) == 9; });
    t.returns("no rows give an empty prediction", 1,
              tree(doubles(0, 1), int32s(3, 2, {2, 0, 0, 3, 0, 0})),
              [](const Result &r) { return mxGetM(r.out[0]) == 0; });
    // Enough rows for the step table: the error comes after its scratch.
    t.fails("a child number outside the tree, met mid-walk, is an error", 1,
            tree(doubles(4, 1, {0.2, 0.7, 0.1, 0.9}), int32s(3, 2, {2, 0, 0, 7, 0, 0})),
            "children of node 1 must be node numbers in 1..3");
    t.fails("a complex X is refused", 1,
            tree(complex_doubles(1, 1, {0.2}, {1}), int32s(3, 2, {2, 0, 0, 3, 0, 0})),
            "X must be a noncomplex double nxd matrix.");
    t.fails("a sparse X is refused", 1, tree(sparse(2, 1), int32s(3, 2, {2, 0, 0, 3, 0, 0})),
            "X must be a full matrix, not sparse.");
}
