// forestfit under the stand-in host.
#include "standin.hpp"

namespace {

using namespace standin;

// Eight runs over four configurations (one ordered column) and two
// instances (one categorical column of 2 levels).
std::vector<mxArray *> fit(mxArray *opts)
{
    std::vector<mxArray *> in = {
        doubles(4, 1, {0.1, 0.4, 0.6, 0.9}),
        doubles(2, 1, {1, 2}),
        int32s(8, 2, {1, 2, 3, 4, 1, 2, 3, 4, 1, 1, 1, 1, 2, 2, 2, 2}),
        doubles(8, 1, {1, 2, 5, 6, 11, 12, 15, 16}),
        doubles(1, 2, {0, 2})};
    if (opts)
        in.push_back(opts);
    return in;
}

mxArray *options()
{
    return structure({{"num_trees", scalar(2)}, {"min_leaf", scalar(1)}, {"seed", scalar(3)}});
}

} // namespace

void standin::cases(Table &t)
{
    t.returns("a forest of two trees, into the slot given for nlhs = 0", 0, fit(options()),
              [](const Result &r) {
                  const mxArray *forest = r.out[0];
                  if (!mxIsCell(forest) || mxGetNumberOfElements(forest) != 2)
                      return false;
                  const mxArray *tree = mxGetCell(forest, 1);
                  const mxArray *responses = tree ? mxGetField(tree, 0, "responses") : nullptr;
                  const mxArray *ends = tree ? mxGetField(tree, 0, "response_ends") : nullptr;
                  // A compact tree: the leaves' eight responses, packed.
                  return responses && ends && mxGetNumberOfElements(responses) == 8 &&
                         mxIsInt32(ends) && mxGetNumberOfElements(ends) >= 1 &&
                         at(ends, mxGetNumberOfElements(ends) - 1) == 8;
              });
    t.returns("five inputs take every default", 1, fit(nullptr));
    t.out_of_memory_anywhere("the host out of memory anywhere in a fit ends it with its error",
                             1, [] { return fit(options()); });
    t.fails("an unknown option is refused", 1,
            fit(structure({{"num_tree", scalar(2)}})), "opts has an unknown field 'num_tree'");
    t.fails("a field left unset is named before its name is looked up", 1,
            fit(structure({{"seed", scalar(3)}, {"num_tree", nullptr}})), "opts.num_tree is unset.");
}
