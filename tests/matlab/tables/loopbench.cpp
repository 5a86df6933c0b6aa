// loopbench under the stand-in host. Its probe array is left to the host,
// which reclaims it when the call ends.
#include "standin.hpp"

#include <string>

void standin::cases(Table &t)
{
    t.host_reclaims_blocks = true;
    t.returns("the probe runs with no arguments and prints its three lines", 0, {},
              [](const Result &r) {
                  return r.printed == "Allocating int array of size 10000000\nStarting loop\n"
                                      "Done.\n";
              });
    t.out_of_memory("a host out of memory ends the call with its error", 1, 0, {});
}
