// The options the modules take. A module lists its options as a table, one
// row each (name, kind, default, range or words, the message for a bad
// value), and read_options checks an opts struct against it, field by field
// in the order the caller gave them, with the module's own messages for opts
// as a whole. Rules across options stay with the module, after the read.
#pragma once

#include "mexhost.hpp"
#include "threads.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <type_traits>
#include <variant>
#include <vector>

namespace host {

// What an option's value must be.
enum class OptionKind {
    real,           // a real scalar in low..high (never NaN)
    integer,        // a whole real scalar in low..high
    logical,        // true or false (1 or 0)
    word,           // one of `words`, kept as its index there
    logical_vector, // `length` entries, each true or false
    threads,        // a positive integer, one above `high` taken as `high`
    given,          // kept as given, for the module to check
};

// Where a read option goes: a number (logical: 0 or 1; word: its index), a
// vector's entries, or the value as given.
using OptionTarget = std::variant<double *, bool *, int *, std::size_t *,
                                  std::vector<unsigned char> *, const mxArray **>;

// A row of a module's options table; made by the functions below.
struct Option {
    Option(const char *name, OptionKind kind, OptionTarget target)
        : name(name), kind(kind), target(target)
    {
    }
    const char *name;
    OptionKind kind;
    OptionTarget target;
    double fallback = 0;              // the value when opts lacks the field
    double low = 0, high = 0;         // real, integer: the range; threads: the cap
    core::Span<const char *const> words; // word
    std::size_t length = 0;           // logical_vector
    const char *bad = nullptr;        // a bad value (logical_vector: a bad shape)
    const char *bad_entry = nullptr;  // logical_vector: "%s" the entry's index, "%s" its value
};

// A module's messages for opts as a whole: "%s" stands for what each says.
struct OptionMessages {
    const char *not_struct; // opts is no 1-by-1 struct: "%s" the options' names
    const char *unknown;    // "%s" the field, "%s" the options' names
    // A field the host left unset: "%s" the field, refused before its name
    // is looked up. Null: an unset value is a bad value of its option.
    const char *unset;
    // A real, integer or logical option's value that is no real scalar: "%s"
    // the option. Null: the option's own message.
    const char *not_scalar;
};

inline Option real_option(const char *name, double &target, double fallback, double low,
                          double high, const char *bad)
{
    Option o(name, OptionKind::real, &target);
    o.fallback = fallback;
    o.low = low;
    o.high = high;
    o.bad = bad;
    return o;
}

inline Option integer_option(const char *name, double &target, double fallback, double low,
                             double high, const char *bad)
{
    Option o = real_option(name, target, fallback, low, high, bad);
    o.kind = OptionKind::integer;
    return o;
}

// `target` is a bool, or an int whose default may be neither (unset).
template <class Flag>
Option logical_option(const char *name, Flag &target, double fallback, const char *bad)
{
    static_assert(std::is_same_v<Flag, bool> || std::is_same_v<Flag, int>);
    Option o(name, OptionKind::logical, &target);
    o.fallback = fallback;
    o.bad = bad;
    return o;
}

// A list of words as word options take it.
template <std::size_t n>
core::Span<const char *const> words(const char *const (&list)[n])
{
    return {list, n};
}

// Sets `target` to the index of the value in `words`; the default is the
// first.
inline Option word_option(const char *name, int &target, core::Span<const char *const> words,
                          const char *bad)
{
    Option o(name, OptionKind::word, &target);
    o.words = words;
    o.bad = bad;
    return o;
}

// Empty by default.
inline Option logical_vector_option(const char *name, std::vector<unsigned char> &target,
                                    std::size_t length, const char *bad, const char *bad_entry)
{
    Option o(name, OptionKind::logical_vector, &target);
    o.length = length;
    o.bad = bad;
    o.bad_entry = bad_entry;
    return o;
}

// Null by default.
inline Option given_option(const char *name, const mxArray *&target)
{
    return Option(name, OptionKind::given, &target);
}

// The most worker threads a call starts: more than the cores of any one
// machine the modules run on, as threads beyond the cores only cost their
// scratch (forestfit's grows with the runs) and the system's threads.
constexpr double MAX_THREADS = 4096;

// opts.num_threads, for every module that takes it: by default the cores
// this process may use; a larger count than MAX_THREADS is taken as that.
inline Option num_threads_option(std::size_t &threads)
{
    Option o("num_threads", OptionKind::threads, &threads);
    o.fallback = std::min(static_cast<double>(core::usable_cores()), MAX_THREADS);
    o.high = MAX_THREADS;
    o.bad = "opts.num_threads must be a positive integer.";
    return o;
}

// An option that names one of `words`: its index there, or the call ends
// with `bad`.
inline int word_index(const mxArray *value, core::Span<const char *const> words, const char *bad)
{
    char word[32] = "";
    if (value != nullptr && mxIsChar(value) && rows(value) == 1 && numel(value) < sizeof word)
        mxGetString(value, word, sizeof word);
    for (std::size_t i = 0; i < words.size(); ++i)
        if (std::strcmp(word, words[i]) == 0)
            return static_cast<int>(i);
    fail(bad);
}

namespace options_detail {

// Ends the call with `text`, each "%s" in it replaced by the next of `parts`.
[[noreturn]] inline void fail_with(const char *text, std::initializer_list<const char *> parts)
{
    char message[1024];
    std::size_t n = 0;
    const char *const *part = parts.begin();
    for (const char *c = text; *c != '\0' && n + 1 < sizeof message; ++c) {
        if (c[0] == '%' && c[1] == 's' && part != parts.end()) {
            for (const char *p = *part++; *p != '\0' && n + 1 < sizeof message; ++p)
                message[n++] = *p;
            ++c;
        } else {
            message[n++] = *c;
        }
    }
    message[n] = '\0';
    fail(message);
}

// The table's names, as the messages list them.
struct Names {
    char text[512] = "";
    explicit Names(std::initializer_list<Option> table)
    {
        std::size_t n = 0;
        for (const Option &o : table) {
            const int written =
                std::snprintf(text + n, sizeof text - n, "%s%s", n ? ", " : "", o.name);
            if (written < 0 || static_cast<std::size_t>(written) >= sizeof text - n)
                break;
            n += static_cast<std::size_t>(written);
        }
    }
};

inline bool is_real_numeric(const mxArray *a) { return mxIsNumeric(a) && !mxIsComplex(a); }

inline bool is_real_scalar(const mxArray *a)
{
    return a != nullptr && (mxIsNumeric(a) || mxIsLogical(a)) && !mxIsComplex(a) &&
           !mxIsSparse(a) && numel(a) == 1 && dimension_count(a) == 2;
}

// Element j of a real numeric array, as a double.
inline double numeric_at(const mxArray *a, std::size_t j)
{
    const void *data = mxGetData(a);
    switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS: return static_cast<const double *>(data)[j];
    case mxSINGLE_CLASS: return static_cast<const float *>(data)[j];
    case mxINT8_CLASS: return static_cast<const std::int8_t *>(data)[j];
    case mxUINT8_CLASS: return static_cast<const std::uint8_t *>(data)[j];
    case mxINT16_CLASS: return static_cast<const std::int16_t *>(data)[j];
    case mxUINT16_CLASS: return static_cast<const std::uint16_t *>(data)[j];
    case mxINT32_CLASS: return static_cast<const std::int32_t *>(data)[j];
    case mxUINT32_CLASS: return static_cast<const std::uint32_t *>(data)[j];
    case mxINT64_CLASS: return static_cast<double>(static_cast<const std::int64_t *>(data)[j]);
    case mxUINT64_CLASS: return static_cast<double>(static_cast<const std::uint64_t *>(data)[j]);
    default: return std::numeric_limits<double>::quiet_NaN();
    }
}

inline void set_number(const OptionTarget &target, double x)
{
    std::visit(
        [x](auto *to) {
            using T = std::remove_pointer_t<decltype(to)>;
            if constexpr (std::is_arithmetic_v<T>)
                *to = static_cast<T>(x);
        },
        target);
}

// An entry per row: true (1) or false (0).
inline void read_logical_vector(const Option &o, const mxArray *value)
{
    const bool shaped = value != nullptr && (mxIsLogical(value) || is_real_numeric(value)) &&
                        !mxIsSparse(value) && dimension_count(value) == 2 &&
                        numel(value) == o.length && std::min(rows(value), cols(value)) == 1;
    if (!shaped)
        fail(o.bad);
    std::vector<unsigned char> &flags = *std::get<std::vector<unsigned char> *>(o.target);
    flags.assign(o.length, 0);
    for (std::size_t j = 0; j < o.length; ++j) {
        const double c = mxIsLogical(value) ? mxGetLogicals(value)[j] : numeric_at(value, j);
        if (!(c == 0 || c == 1)) {
            char index[24];
            std::snprintf(index, sizeof index, "%zu", j + 1);
            fail_with(o.bad_entry, {index, shown(c).text});
        }
        flags[j] = c == 1;
    }
}

inline void read_option(const Option &o, const mxArray *value, const OptionMessages &messages)
{
    switch (o.kind) {
    case OptionKind::given:
        *std::get<const mxArray **>(o.target) = value;
        return;
    case OptionKind::word:
        set_number(o.target, word_index(value, o.words, o.bad));
        return;
    case OptionKind::logical_vector:
        read_logical_vector(o, value);
        return;
    case OptionKind::threads: {
        const double n = is_real_scalar(value) ? mxGetScalar(value) : 0;
        if (!(is_whole(n) && n >= 1))
            fail(o.bad);
        set_number(o.target, std::min(n, o.high));
        return;
    }
    case OptionKind::real:
    case OptionKind::integer:
    case OptionKind::logical:
        break;
    }
    if (!is_real_scalar(value)) {
        if (messages.not_scalar == nullptr)
            fail(o.bad);
        fail_with(messages.not_scalar, {o.name});
    }
    const double x = mxGetScalar(value);
    const bool ok = o.kind == OptionKind::logical ? x == 0 || x == 1
                    : o.kind == OptionKind::integer
                        ? is_whole(x) && x >= o.low && x <= o.high
                        : x >= o.low && x <= o.high;
    if (!ok)
        fail(o.bad);
    set_number(o.target, x);
}

} // namespace options_detail

// Reads opts (null: none given) against `table`: every option takes its
// default, then each field of opts, in its order, its value.
inline void read_options(const mxArray *opts, std::initializer_list<Option> table,
                         const OptionMessages &messages)
{
    using namespace options_detail;
    for (const Option &o : table) {
        if (auto *flags = std::get_if<std::vector<unsigned char> *>(&o.target))
            (*flags)->clear();
        else if (auto *given = std::get_if<const mxArray **>(&o.target))
            **given = nullptr;
        else
            set_number(o.target, o.fallback);
    }
    if (opts == nullptr)
        return;
    if (!(mxIsStruct(opts) && numel(opts) == 1))
        fail_with(messages.not_struct, {Names(table).text});
    const int fields = mxGetNumberOfFields(opts);
    for (int f = 0; f < fields; ++f) {
        const char *name = mxGetFieldNameByNumber(opts, f);
        const mxArray *value = mxGetFieldByNumber(opts, 0, f);
        if (value == nullptr && messages.unset != nullptr)
            fail_with(messages.unset, {name});
        const Option *row = nullptr;
        for (const Option &o : table)
            if (std::strcmp(name, o.name) == 0)
                row = &o;
        if (row == nullptr)
            fail_with(messages.unknown, {name, Names(table).text});
        read_option(*row, value, messages);
    }
}

// opts for a module whose one option is num_threads: the threads to use.
inline std::size_t thread_count(const mxArray *opts)
{
    std::size_t threads = 0;
    read_options(opts, {num_threads_option(threads)},
                 {"opts must be a 1-by-1 struct (known fields: %s).",
                  "opts has an unknown field '%s' (known fields: %s).", nullptr, nullptr});
    return threads;
}

} // namespace host
