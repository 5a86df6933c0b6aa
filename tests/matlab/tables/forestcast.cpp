// forestcast under the stand-in host.
#include "forest_tree.hpp"

void standin::cases(Table &t)
{
    t.returns("the help's rows give its means and variances, into the slot given for nlhs = 0",
              0, {cell(1, 1, {tree(sets())}), doubles(3, 2, {0.1, 0.9, 0.9, 7, 2, 3})},
              [](const Result &r) {
                  return at(r.out[0], 0) == 2 && at(r.out[0], 1) == 4 && at(r.out[0], 2) == 5;
              });
    t.fails("a value set never set, met mid-walk, is an error", 2,
            {cell(1, 1, {tree(cell(1, 2, {int32s(1, 2, {1, 2})}))}), doubles(1, 2, {0.9, 3})},
            "forest{1}.catsplit{1, 2}, a value set of node 3, must be an int32 array.");
    t.fails("the first failing row is reported, whichever thread met it", 1,
            {cell(1, 2, {tree(sets()), tree(sets())}), doubles(3, 2, {0.9, 0.9, 0.9, 1, 8, 9})},
            "Z(2, 2) = 8 is in neither value set of categorical node 3 of forest{1}");
    t.returns("a long walk runs on workers while only the calling thread asks the host", 2,
              {cell(1, 1, {chain(10000)}), chain_rows(10000), structure({{"num_threads", scalar(3)}})},
              [](const Result &r) { return chain_means(r.out[0], 10000) && at(r.out[1], 0) == 0; });
    t.fails("an unset num_threads is refused as a bad count", 1,
            {cell(1, 1, {tree(sets())}), doubles(1, 2, {0.1, 1}),
             structure({{"num_threads", nullptr}})},
            "opts.num_threads must be a positive integer.");
    t.out_of_memory_anywhere("the host out of memory anywhere ends the call with its error", 2,
                             [] {
                                 return std::vector<mxArray *>{
                                     cell(1, 1, {tree(sets())}),
                                     doubles(2, 2, {0.1, 0.9, 1, 3})};
                             });
}
