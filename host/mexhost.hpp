// What every module of the toolbox shares to reach its host (MATLAB or GNU
// Octave): the MEX header, typed views over array buffers, argument checks
// that keep each module's own message, scratch memory from the host, and the
// mexVersion export. Header-only: every module is a single translation unit,
// so modules share no code at run time.
#pragma once

#include "compiler.hpp"
#include "memory.hpp"
#include "mex.h"
#include "span.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>

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

using core::Span;

// Octave 7 keeps an array's dimensions in a cache made when its row or
// column count is first asked, and loses that cache (16 bytes a call) when
// the array is converted afterwards: a range, a complex or lazily stored
// array whose data is read, a cell or struct whose elements are read. Asking
// for the data first makes that conversion before the cache exists; in
// MATLAB it only returns a pointer. Only classes whose data can be read are
// asked: on a function handle, mxGetData aborts Octave.
inline void settle(const mxArray *a)
{
    if (a != nullptr && (mxIsNumeric(a) || mxIsLogical(a) || mxIsChar(a) || mxIsCell(a) ||
                         mxIsStruct(a)))
        static_cast<void>(mxGetData(a));
}

// Sizes as unsigned counts. mwSize is signed in Octave and unsigned in
// MATLAB; the host never reports a negative size, so the cast is exact.
// Every dimension query of the toolbox goes through these, after settle.
inline std::size_t rows(const mxArray *a)
{
    settle(a);
    return static_cast<std::size_t>(mxGetM(a));
}
inline std::size_t cols(const mxArray *a)
{
    settle(a);
    return static_cast<std::size_t>(mxGetN(a));
}
inline std::size_t dimension_count(const mxArray *a)
{
    settle(a);
    return static_cast<std::size_t>(mxGetNumberOfDimensions(a));
}
// The element count keeps no dimension cache, so it needs no settling.
inline std::size_t numel(const mxArray *a)
{
    return static_cast<std::size_t>(mxGetNumberOfElements(a));
}

// Typed views of an array's real data, in storage order.
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

// A value as a message shows it: "NaN", "Inf" and "-Inf" the same on
// every platform (printf's spelling differs), finite values so that they
// read back exactly: shown(x).text.
struct Shown {
    char text[32];
};
inline Shown shown(double x)
{
    Shown s;
    if (std::isnan(x))
        std::snprintf(s.text, sizeof s.text, "NaN");
    else if (std::isinf(x))
        std::snprintf(s.text, sizeof s.text, "%sInf", x < 0 ? "-" : "");
    else if (std::snprintf(s.text, sizeof s.text, "%.15g", x) > 0 &&
             std::strtod(s.text, nullptr) != x)
        std::snprintf(s.text, sizeof s.text, "%.17g", x); // the shorter that reads back
    return s;
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
inline bool is_whole(double x) { return std::isfinite(x) && x == std::floor(x); }

// The host hands a sparse array's stored values only, so reading it as a
// full matrix would run past them. Every module reads its double inputs as
// full column-major buffers and rejects sparse storage with this message.
inline void require_full(const mxArray *a, const char *name)
{
    if (mxIsSparse(a))
        fail_fmt("%s must be a full matrix, not sparse.", name);
}

// A matrix whose rows the walks list as int32 row numbers.
inline void require_int32_rows(const mxArray *a, const char *name)
{
    if (rows(a) > static_cast<std::size_t>(INT32_MAX))
        fail_fmt("%s has %zu rows, more than 32-bit row numbers can count.", name, rows(a));
}

// What a data matrix argument must be beyond a full real double.
enum MatrixRule : unsigned { ANY_SHAPE = 0, TWO_DIMENSIONAL = 1, INT32_ROWS = 2 };

// A data matrix argument: a real double (else `message`), full, and as
// `rules` (MatrixRule flags) say.
inline core::DataMatrix data_matrix(const mxArray *a, const char *name, const char *message,
                                    unsigned rules)
{
    require(is_real_double(a) && (!(rules & TWO_DIMENSIONAL) || dimension_count(a) == 2),
            message);
    require_full(a, name);
    if (rules & INT32_ROWS)
        require_int32_rows(a, name);
    return {name, mxGetPr(a), rows(a), cols(a)};
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

// Blocks below this size are left to the host's own out-of-memory error:
// asking the system costs more than a small call takes.
constexpr double MEMORY_CHECK_BYTES = 64.0 * 1024 * 1024;

// Whether `bytes` exceeds the memory available now. Hosts that overcommit
// hand out such blocks and the process is killed when they are written, so
// a size taken from an argument is compared before anything is allocated.
// Where the platform does not tell, nothing is refused.
inline bool exceeds_memory(double bytes)
{
    if (bytes < MEMORY_CHECK_BYTES)
        return false;
    const double available = available_memory();
    return available >= 0.0 && bytes > available;
}

// The most of `threads` threads whose scratch, `per_thread` bytes each,
// fits beside `shared` bytes in the memory available now (at least one:
// whether one fits is the caller's check). Fewer threads give the same
// answer, so a call is refused only when one thread cannot make it.
inline std::size_t threads_that_fit(std::size_t threads, double shared, double per_thread)
{
    if (threads <= 1 || !exceeds_memory(shared + per_thread * static_cast<double>(threads)))
        return threads;
    const double room = (available_memory() - shared) / std::max(per_thread, 1.0);
    return room >= 1 ? std::min(threads, static_cast<std::size_t>(room)) : 1;
}

// Refuses a call whose `what`, sized by argument `name`, needs more than
// the memory available now.
inline void require_memory(double bytes, const char *name, const char *what)
{
    if (exceeds_memory(bytes))
        fail_fmt("%s is too large: %s would need %.0f MB, more than the %.0f MB of memory "
                 "available.",
                 name, what, bytes / 1048576.0, available_memory() / 1048576.0);
}

// Part of a call's memory, and the argument whose size drives it.
struct MemoryShare {
    const char *argument;
    double bytes;
};

// The argument a refusal names: the one driving the largest share, the
// first of equal ones.
inline const char *largest_share(std::initializer_list<MemoryShare> shares)
{
    const MemoryShare *largest = shares.begin();
    for (const MemoryShare &share : shares)
        if (share.bytes > largest->bytes)
            largest = &share;
    return largest->argument;
}

// Refuses a call whose `what`, made of `shares`, needs more than the memory
// available now, naming the argument of the largest share.
inline void require_memory(std::initializer_list<MemoryShare> shares, const char *what)
{
    double bytes = 0;
    for (const MemoryShare &share : shares)
        bytes += share.bytes;
    require_memory(bytes, largest_share(shares), what);
}

// Ends the call when the host could not hand out `bytes` of working
// memory (Octave's mxRealloc returns null; MATLAB raises its own error).
[[noreturn]] inline void out_of_memory(double bytes)
{
    fail_fmt("the call's working memory is too large: a block of %.0f MB could not be "
             "allocated (%.0f MB of memory available).",
             bytes / 1048576.0, available_memory() / 1048576.0);
}

// Host memory the call keeps for itself, released by its owner on the
// success path only. When an error unwinds the call, MATLAB frees the
// call's blocks itself before the destructors run, so a destructor that
// released them too would free them twice; the host reclaims them instead.
class HostBlock {
public:
    HostBlock() = default;
    HostBlock(const HostBlock &) = delete;
    HostBlock &operator=(const HostBlock &) = delete;
    ~HostBlock()
    {
        if (data_ && std::uncaught_exceptions() == unwinding_)
            mxFree(data_);
    }

protected:
    // `count` elements of `size` bytes, zero-filled or not; null for none.
    void *allocate(std::size_t count, std::size_t size, bool zeroed)
    {
        if (count == 0)
            return nullptr;
        if (count > SIZE_MAX / size)
            out_of_memory(static_cast<double>(count) * static_cast<double>(size));
        void *block = zeroed ? mxCalloc(count, size) : mxMalloc(count * size);
        if (block == nullptr)
            out_of_memory(static_cast<double>(count) * static_cast<double>(size));
        return data_ = block;
    }
    // The block grown to `count` elements of `size` bytes; the old one stays
    // owned when the host cannot move it.
    void *reallocate(std::size_t count, std::size_t size)
    {
        if (data_ == nullptr)
            return allocate(count, size, false);
        if (count > SIZE_MAX / size)
            out_of_memory(static_cast<double>(count) * static_cast<double>(size));
        void *moved = mxRealloc(data_, count * size);
        if (moved == nullptr)
            out_of_memory(static_cast<double>(count) * static_cast<double>(size));
        return data_ = moved;
    }

private:
    void *data_ = nullptr;
    int unwinding_ = std::uncaught_exceptions(); // exceptions already in flight when made
};

// Scratch that every use writes before it reads can skip the zero fill:
// pages the call never touches then cost nothing (a fresh page costs more
// than a small call's whole work).
struct Unfilled {};
constexpr Unfilled unfilled{};

// Zero-filled scratch from the host's call-scoped allocator (or unfilled,
// on request), released when it goes out of scope on the success path.
template <class T>
class Scratch : HostBlock {
public:
    explicit Scratch(std::size_t size)
        : data_(static_cast<T *>(allocate(size, sizeof(T), true)))
    {
    }
    Scratch(std::size_t size, Unfilled)
        : data_(static_cast<T *>(allocate(size, sizeof(T), false)))
    {
    }

    T &operator[](std::size_t i) { return data_[i]; }
    const T &operator[](std::size_t i) const { return data_[i]; }
    T *data() { return data_; }

private:
    T *data_;
};

// A growable array in the host's call-scoped memory, doubling as it
// fills; released like Scratch.
template <class T>
class Growing : HostBlock {
public:
    Growing() = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &operator[](std::size_t i) { return data_[i]; }
    T &back() { return data_[size_ - 1]; }
    void pop() { --size_; }
    void clear() { size_ = 0; }
    void push(const T &value) { *extend(1) = value; }
    // n more elements, uninitialised, returned for filling; valid until the
    // array grows again.
    T *extend(std::size_t n)
    {
        if (n > capacity_ - size_) {
            constexpr std::size_t most = SIZE_MAX / sizeof(T);
            if (n > most - size_)
                out_of_memory(static_cast<double>(size_) * sizeof(T) +
                              static_cast<double>(n) * sizeof(T));
            std::size_t grown = capacity_ ? capacity_ : 64;
            while (grown < size_ + n)
                grown = grown > most / 2 ? most : 2 * grown;
            data_ = static_cast<T *>(reallocate(grown, sizeof(T)));
            capacity_ = grown;
        }
        T *added = data_ + size_;
        size_ += n;
        return added;
    }
    T *data() { return data_; }
    const T *data() const { return data_; }

private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace host
