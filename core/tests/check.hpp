// The harness of the plain C++ tests of core/: a case is a function that
// throws Failure when something is wrong; each prints one line, as the
// Octave runner's cases do, and the program ends with "N passed, N failed"
// and fails when any case failed.
#pragma once

#include "compiler.hpp"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <string>

namespace coretest {

struct Failure {
    std::string what;
};

TOOLBOX_PRINTF_FORMAT(1, 2) inline std::string format(const char *fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// Ends the case with `what` unless `ok`.
inline void expect(bool ok, const std::string &what)
{
    if (!ok)
        throw Failure{what};
}

class Runner {
public:
    explicit Runner(const char *name) { std::printf("%s\n", name); }

    template <class Case>
    void run(const char *name, Case test)
    {
        std::string failure;
        try {
            test();
        } catch (const Failure &f) {
            failure = f.what;
        } catch (const std::exception &e) {
            failure = format("unexpected exception: %s", e.what());
        }
        if (failure.empty()) {
            ++passed_;
            std::printf("  ok    %s\n", name);
        } else {
            ++failed_;
            std::printf("  FAIL  %s\n        %s\n", name, failure.c_str());
        }
        std::fflush(stdout);
    }

    // The summary line; the program's exit status.
    int finish() const
    {
        std::printf("%d passed, %d failed\n", passed_, failed_);
        return failed_ > 0;
    }

private:
    int passed_ = 0;
    int failed_ = 0;
};

} // namespace coretest
