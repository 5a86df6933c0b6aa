// poolmargins under the stand-in host.
#include "standin.hpp"

namespace {

using namespace standin;

mxArray *leaf(std::initializer_list<std::int32_t> configurations, std::size_t instances,
              double mean, double variance)
{
    mxArray *confs = int32s(1, configurations.size());
    std::copy(configurations.begin(), configurations.end(),
              static_cast<std::int32_t *>(mxGetData(confs)));
    return cell(1, 5, {confs, int32s(1, instances), doubles(0, 0), int32s(1, 1, {1}),
                       doubles(1, 5, {0, 0, 0, mean, variance})});
}

std::vector<mxArray *> call(mxArray *forest)
{
    return {forest, int32s(1, 1, {2}), int32s(1, 1, {4}), int32s(1, 1, {0})};
}

} // namespace

void standin::cases(Table &t)
{
    t.returns("the help's two trees give its means, into the slot given for nlhs = 0", 0,
              call(cell(1, 2, {cell(1, 2, {leaf({1, 2}, 3, 10, 4), leaf({1, 2}, 1, 2, 1)}),
                               cell(1, 1, {leaf({1}, 4, 6, 1)})})),
              [](const Result &r) { return at(r.out[0], 0) == 7 && at(r.out[0], 1) == 4; });
    t.fails("a tree never set in cell_of_leaves is an error", 3,
            call(cell(1, 2, {cell(1, 1, {leaf({1}, 4, 6, 1)})})),
            "entries of cell_of_leaves must be a nonempty cell arrays");
    t.fails("a leaf whose statistics were never set is an error", 3,
            call(cell(1, 1, {cell(1, 1, {cell(1, 5, {int32s(1, 1, {1}), int32s(1, 1)})})})),
            "mx_leaf_stats is null.");
    t.fails("a configuration outside 1..numTheta, met mid-way, is an error", 3,
            call(cell(1, 2, {cell(1, 1, {leaf({1}, 4, 6, 1)}), cell(1, 1, {leaf({3}, 4, 6, 1)})})),
            "configuration 3 in mx_theta_idx_here of leaf 1 of tree 2 is outside");
}
