// What every module of the toolbox shares to reach its host (MATLAB or GNU
// Octave): the MEX header, typed views over array buffers, argument checks
// that keep each module's own message, scratch memory from the host, and the
// mexVersion export. Header-only: every module is a single translation unit,
// so modules share no code at run time.
#pragma once

#include "compiler.hpp"
#include "mex.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#if !defined(_WIN32) && !defined(HOST_LINKS_MEXVERSION)
// Linux and macOS builds name the interface generation they were written
// for. (Define HOST_LINKS_MEXVERSION where the host's build tool links its
// own definition of this symbol.)
extern "C" TOOLBOX_EXPORT const char *mexVersion(void)
{
    return "MATLAB R14 native";
}
#endif

namespace host {

// A view over a host buffer: a pointer and a length, nothing owned.
template <class T>
class Span {
public:
    Span() = default;
    Span(T *data, std::size_t size) : data_(data), size_(size) {}
    T &operator[](std::size_t i) const { return data_[i]; }
    T *data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T *begin() const { return data_; }
    T *end() const { return data_ + size_; }

private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
};

// Sizes as unsigned counts. mwSize is signed in Octave and unsigned in
// MATLAB; the host never reports a negative size, so the cast is exact.
inline std::size_t rows(const mxArray *a) { return static_cast<std::size_t>(mxGetM(a)); }
inline std::size_t cols(const mxArray *a) { return static_cast<std::size_t>(mxGetN(a)); }
inline std::size_t numel(const mxArray *a)
{
    return static_cast<std::size_t>(mxGetNumberOfElements(a));
}

// Typed views of an array's real data, in storage order.
inline Span<const double> doubles(const mxArray *a)
{
    return {mxGetPr(a), numel(a)};
}
inline Span<double> doubles(mxArray *a) { return {mxGetPr(a), numel(a)}; }
inline Span<const std::int32_t> int32s(const mxArray *a)
{
    return {static_cast<const std::int32_t *>(mxGetData(a)), numel(a)};
}
inline Span<std::int32_t> int32s(mxArray *a)
{
    return {static_cast<std::int32_t *>(mxGetData(a)), numel(a)};
}

// The first 32-bit integer of an int32 array (a scalar argument's value).
inline std::int32_t int32_scalar(const mxArray *a)
{
    return *static_cast<const std::int32_t *>(mxGetData(a));
}

// Ends the call with a message; mexErrMsgTxt does not return.
[[noreturn]] inline void fail(const char *message)
{
    mexErrMsgTxt(message);
    TOOLBOX_UNREACHABLE();
}

// Ends the call with a formatted message (for the toolbox's own errors
// that name a node or an index).
[[noreturn]] TOOLBOX_PRINTF_FORMAT(1, 2) inline void
fail_fmt(const char *format, ...)
{
    char message[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fail(message);
}

inline void require(bool ok, const char *message)
{
    if (!ok)
        fail(message);
}

// Argument tests in the words the modules' checks are written in.
inline bool is_real_double(const mxArray *a) { return mxIsDouble(a) && !mxIsComplex(a); }
inline bool is_real_int32(const mxArray *a) { return mxIsInt32(a) && !mxIsComplex(a); }
inline bool has_shape(const mxArray *a, std::size_t m, std::size_t n)
{
    return rows(a) == m && cols(a) == n;
}
inline bool is_column(const mxArray *a, std::size_t m) { return has_shape(a, m, 1); }
inline bool is_real_int32_scalar(const mxArray *a)
{
    return is_real_int32(a) && has_shape(a, 1, 1);
}

// The host hands a sparse array's stored values only, so reading it as a
// full matrix would run past them. Every module reads its double inputs as
// full column-major buffers and rejects sparse storage with this message.
inline void require_full(const mxArray *a, const char *name)
{
    if (mxIsSparse(a))
        fail_fmt("%s must be a full matrix, not sparse.", name);
}

// A cell element counts as unset when the host hands a null handle
// (MATLAB) or a 0-by-0 double (how Octave reads a never-set element), so
// the same user code gives the same message in both hosts.
inline bool is_unset(const mxArray *element)
{
    return element == nullptr ||
           (mxIsDouble(element) && rows(element) == 0 && cols(element) == 0);
}

// The output slots the host provides: Octave gives only max(nlhs, 1), and
// writing past them overruns its buffer. An output nobody asked for is
// released instead of stored.
class Outputs {
public:
    Outputs(int nlhs, mxArray **plhs) : slots_(std::max(nlhs, 1)), plhs_(plhs) {}
    void set(int k, mxArray *array) const
    {
        if (k < slots_)
            plhs_[k] = array;
        else
            mxDestroyArray(array);
    }

private:
    int slots_;
    mxArray **plhs_;
};

// Whether `bytes` exceeds the machine's physical memory. Hosts that
// overcommit hand out such blocks and the process dies when they are
// written; a size taken from a count argument is refused before that.
// Where the platform does not tell, nothing is refused.
inline bool exceeds_memory(double bytes)
{
#if defined(_WIN32)
    (void)bytes;
    return false;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 &&
           bytes > static_cast<double>(pages) * static_cast<double>(page_size);
#endif
}

// Zero-filled scratch from the host's call-scoped allocator, released when
// it goes out of scope. After an error the host reclaims it as well, so the
// destructor running during the host's unwinding is harmless.
template <class T>
class Scratch {
public:
    explicit Scratch(std::size_t size)
        : data_(size ? static_cast<T *>(mxCalloc(size, sizeof(T))) : nullptr), size_(size)
    {
    }
    ~Scratch()
    {
        if (data_)
            mxFree(data_);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    T &operator[](std::size_t i) { return data_[i]; }
    const T &operator[](std::size_t i) const { return data_[i]; }
    T *data() { return data_; }
    std::size_t size() const { return size_; }
    Span<T> span() { return {data_, size_}; }

private:
    T *data_;
    std::size_t size_;
};

} // namespace host
