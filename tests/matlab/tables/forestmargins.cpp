// forestmargins under the stand-in host.
#include "forest_tree.hpp"

#include <cmath>

namespace {

using namespace standin;

std::vector<mxArray *> call(mxArray *forest, mxArray *X)
{
    return {forest, doubles(2, 1, {0.1, 0.9}), X};
}

} // namespace

void standin::cases(Table &t)
{
    t.returns("the help's forest gives its means, into the slot given for nlhs = 0", 0,
              call(cell(1, 2, {tree(sets()), tree(sets())}), doubles(4, 1, {1, 3, 2, 1})),
              [](const Result &r) {
                  return at(r.out[0], 0) == 2 && std::fabs(at(r.out[0], 1) - 4.25) < 1e-14;
              });
    t.fails("a tree never set in the forest is an error", 3,
            call(cell(1, 2, {tree(sets())}), doubles(1, 1, {1})),
            "forest{2} must be a 1-by-1 tree struct");
    t.fails("a value set never set, met mid-walk, is an error", 3,
            call(cell(1, 1, {tree(cell(1, 2, {int32s(1, 2, {1, 2})}))}), doubles(1, 1, {1})),
            "forest{1}.catsplit{1, 2}, a value set of node 3, must be an int32 array.");
    t.fails("a missing category met by a worker thread is reported by the calling thread", 1,
            call(cell(1, 3, {tree(sets()), tree(sets()), tree(sets())}),
                 doubles(2, 1, {1, 7})),
            "X(2, 1) = 7 is in neither value set of categorical node 3 of forest{1}");
    t.returns("a long walk runs on workers while only the calling thread asks the host", 2,
              {cell(1, 1, {chain(10000)}), chain_rows(10000), doubles(1, 1, {1}),
               structure({{"num_threads", scalar(3)}})},
              [](const Result &r) { return chain_means(r.out[0], 10000) && at(r.out[1], 0) == 0; });
    t.out_of_memory_anywhere("the host out of memory anywhere ends the call with its error", 3,
                             [] {
                                 return call(cell(1, 2, {tree(sets()), tree(sets())}),
                                             doubles(3, 1, {1, 2, 3}));
                             });
}
