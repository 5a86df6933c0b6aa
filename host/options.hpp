// The options the modules take.
#pragma once

#include "mexhost.hpp"
#include "threads.hpp"

#include <cmath>
#include <cstring>

namespace host {

// opts: an optional 1-by-1 struct whose one known field is num_threads, a
// positive integer (default: the cores this process may use).
inline std::size_t thread_count(const mxArray *opts)
{
    std::size_t threads = core::usable_cores();
    if (opts == nullptr)
        return threads;
    if (!(mxIsStruct(opts) && numel(opts) == 1))
        fail("opts must be a 1-by-1 struct (known fields: num_threads).");
    const int fields = mxGetNumberOfFields(opts);
    for (int f = 0; f < fields; ++f) {
        const char *name = mxGetFieldNameByNumber(opts, f);
        if (std::strcmp(name, "num_threads") != 0)
            fail_fmt("opts has an unknown field '%s' (known fields: num_threads).", name);
        const mxArray *value = mxGetFieldByNumber(opts, 0, f);
        const bool scalar = value != nullptr && (mxIsNumeric(value) || mxIsLogical(value)) &&
                            !mxIsComplex(value) && !mxIsSparse(value) &&
                            numel(value) == 1;
        const double n = scalar ? mxGetScalar(value) : 0;
        if (!(n >= 1 && n == std::floor(n) && n <= 1e6))
            fail("opts.num_threads must be a positive integer.");
        threads = static_cast<std::size_t>(n);
    }
    return threads;
}

} // namespace host
