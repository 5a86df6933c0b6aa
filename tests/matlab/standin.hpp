// The stand-in host's side for the tables: arrays made outside any call
// (as a caller's variables), and a table of calls of one module with what
// each must return or the error it must raise. Each module has one table,
// tables/NAME.cpp, defining standin::cases.
#pragma once

#include "mex.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace standin {

// Caller-side arrays, column-major; an empty value list leaves zeros.
mxArray *doubles(std::size_t m, std::size_t n, std::initializer_list<double> values = {});
mxArray *scalar(double value);
mxArray *complex_doubles(std::size_t m, std::size_t n, std::initializer_list<double> re,
                         std::initializer_list<double> im);
mxArray *int32s(std::size_t m, std::size_t n, std::initializer_list<std::int32_t> values = {});
mxArray *sparse(std::size_t m, std::size_t n);
// Elements in column order; a null element is left unset.
mxArray *cell(std::size_t m, std::size_t n, std::initializer_list<mxArray *> elements = {});
mxArray *structure(std::initializer_list<std::pair<const char *, mxArray *>> fields);

struct Result {
    bool failed = false;
    std::string message;       // the error's text
    std::vector<mxArray *> out; // the output slots after the call
    std::string printed;       // what mexPrintf wrote
};

// Reads element i of a real double or int32 array, as a double.
double at(const mxArray *a, std::size_t i);

class Table {
public:
    using Check = std::function<bool(const Result &)>;

    // The call returns; `check`, when given, accepts its outputs.
    void returns(const char *what, int nlhs, std::vector<mxArray *> in, Check check = nullptr);
    // The call raises an error whose text starts with `message`.
    void fails(const char *what, int nlhs, std::vector<mxArray *> in, const char *message);
    // The host runs out of memory at the call's `allocation`-th request
    // (mxMalloc, mxCalloc, mxRealloc; from 1), which MATLAB reports as its
    // own error; the call must end cleanly with that error.
    void out_of_memory(const char *what, int allocation, int nlhs, std::vector<mxArray *> in);
    // The same at each of the call's allocations in turn (one case): the
    // inputs are made afresh for every call.
    void out_of_memory_anywhere(const char *what, int nlhs,
                                const std::function<std::vector<mxArray *>()> &inputs);

    int passed = 0, failed = 0;
    // A module that leaves its blocks to the host on success (MATLAB
    // reclaims them) says so; the others must free them.
    bool host_reclaims_blocks = false;

private:
    // What went wrong in the call, or nothing.
    std::string run(int nlhs, std::vector<mxArray *> in, int fail_allocation,
                    const std::function<std::string(const Result &)> &judge);
    void record(const std::string &what, const std::string &verdict);
};

// Defined by each module's table.
void cases(Table &table);

} // namespace standin
