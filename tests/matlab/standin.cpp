// The stand-in host: MATLAB's C MEX interface as MathWorks documents it,
// where GNU Octave behaves otherwise, for tests only.
//   - An error raised in a call (mexErrMsgTxt, an allocation the host
//     cannot serve) first frees every block the call got from
//     mxMalloc/mxCalloc/mxRealloc and every array it created, then unwinds
//     through the module: a destructor that frees again frees twice.
//   - mxGetCell of an element never set returns NULL; empty arrays have no
//     data (mxGetPr returns NULL).
//   - mexFunction gets max(nlhs, 1) output slots, exactly that many.
//   - Complex arrays keep real and imaginary parts apart (-R2017b).
//   - The interface is not thread-safe: a call from another thread than the
//     one running mexFunction fails the case.
// On success the call must have freed its blocks and destroyed the arrays
// it did not return (MATLAB would reclaim them; the toolbox releases them
// itself), and must have left its inputs unchanged.
#include "standin.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

struct mxArray_tag {
    mxClassID cls = mxDOUBLE_CLASS;
    std::vector<mwSize> dims;
    bool complex = false;
    bool sparse = false;
    void *re = nullptr; // null when empty
    void *im = nullptr;
    std::vector<mxArray *> elements; // cells: numel; structs: numel * fields
    std::vector<std::string> fields;
    std::vector<mwIndex> ir, jc; // sparse structure
};

namespace {

// The error a call raises, thrown through the module. Not derived from
// std::exception, as the host's is not the module's to catch.
struct MexError {
    std::string message;
};

struct Call {
    bool active = false;
    std::thread::id thread;
    std::set<void *> blocks;
    std::set<mxArray *> arrays;
    int allocations = 0, fail_allocation = 0;
    std::string printed;
    std::mutex problems_lock;
    std::vector<std::string> problems;
};
Call call;

void problem(const std::string &text)
{
    std::lock_guard<std::mutex> lock(call.problems_lock);
    call.problems.push_back(text);
}

void enter(const char *function)
{
    if (call.active && std::this_thread::get_id() != call.thread)
        problem(std::string(function) + " called from a thread other than the call's");
}
#define ENTER() enter(__func__)

std::size_t count(const std::vector<mwSize> &dims)
{
    std::size_t n = 1;
    for (mwSize d : dims)
        n *= d;
    return n;
}

std::size_t element_size(mxClassID cls)
{
    switch (cls) {
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS: return 1;
    case mxCHAR_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS: return 2;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS: return 4;
    case mxCELL_CLASS:
    case mxSTRUCT_CLASS: return sizeof(mxArray *);
    default: return 8;
    }
}

bool numeric(mxClassID cls) { return cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS; }

[[noreturn]] void raise(const std::string &message);

mxArray *make(mxClassID cls, std::vector<mwSize> dims, bool complex)
{
    while (dims.size() > 2 && dims.back() == 1)
        dims.pop_back();
    while (dims.size() < 2)
        dims.push_back(dims.empty() ? 0 : 1);
    mxArray *a = new mxArray_tag;
    a->cls = cls;
    a->dims = dims;
    a->complex = complex;
    const std::size_t n = count(dims);
    if (cls == mxCELL_CLASS)
        a->elements.assign(n, nullptr);
    else if (n > 0 && cls != mxSTRUCT_CLASS) {
        a->re = std::calloc(n, element_size(cls));
        if (complex)
            a->im = std::calloc(n, element_size(cls));
    }
    if (call.active)
        call.arrays.insert(a);
    return a;
}

// An array's own storage, not its elements'.
void release(mxArray *a)
{
    std::free(a->re);
    std::free(a->im);
    delete a;
}

void forget(mxArray *a)
{
    if (a == nullptr)
        return;
    call.arrays.erase(a);
    for (mxArray *e : a->elements)
        forget(e);
}

// The host reclaims what the call still holds (after an error, or what a
// call that returned left behind).
void reclaim()
{
    for (void *p : call.blocks)
        std::free(p);
    for (mxArray *a : call.arrays)
        release(a);
    call.blocks.clear();
    call.arrays.clear();
}

[[noreturn]] void raise(const std::string &message)
{
    reclaim();
    throw MexError{message};
}

void *allocate(void *old, std::size_t bytes, bool zero)
{
    if (call.active && ++call.allocations == call.fail_allocation)
        raise("Out of memory. The likely cause is an infinite recursion within the program.");
    void *p = zero ? std::calloc(bytes ? bytes : 1, 1) : std::realloc(old, bytes ? bytes : 1);
    if (p == nullptr)
        raise("Out of memory.");
    if (call.active) {
        if (old != nullptr)
            call.blocks.erase(old);
        call.blocks.insert(p);
    }
    return p;
}

std::string format(const char *format, va_list args)
{
    char text[4096];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

bool same(const mxArray *a, const mxArray *b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    if (a->cls != b->cls || a->dims != b->dims || a->complex != b->complex ||
        a->sparse != b->sparse || a->fields != b->fields || a->elements.size() != b->elements.size())
        return false;
    const std::size_t bytes = (a->sparse ? a->jc.back() : count(a->dims)) * element_size(a->cls);
    if (a->re && std::memcmp(a->re, b->re, bytes) != 0)
        return false;
    if (a->im && std::memcmp(a->im, b->im, bytes) != 0)
        return false;
    for (std::size_t i = 0; i < a->elements.size(); ++i)
        if (!same(a->elements[i], b->elements[i]))
            return false;
    return true;
}

double number(const mxArray *a, std::size_t i)
{
    switch (a->cls) {
    case mxDOUBLE_CLASS: return static_cast<const double *>(a->re)[i];
    case mxINT32_CLASS: return static_cast<const std::int32_t *>(a->re)[i];
    case mxLOGICAL_CLASS: return static_cast<const bool *>(a->re)[i];
    case mxCHAR_CLASS: return static_cast<const mxChar *>(a->re)[i];
    default: raise("stand-in: number of an unsupported class");
    }
}

std::string string_of(const mxArray *a)
{
    std::string s;
    for (std::size_t i = 0; a->cls == mxCHAR_CLASS && i < count(a->dims); ++i)
        s += static_cast<char>(static_cast<const mxChar *>(a->re)[i]);
    return s;
}

mxArray *filled(mxClassID cls, std::size_t m, std::size_t n, const std::vector<double> &values)
{
    mxArray *a = make(cls, {m, n}, false);
    for (std::size_t i = 0; i < values.size() && i < m * n; ++i) {
        if (cls == mxINT32_CLASS)
            static_cast<std::int32_t *>(a->re)[i] = static_cast<std::int32_t>(values[i]);
        else
            static_cast<double *>(a->re)[i] = values[i];
    }
    return a;
}

} // namespace

// ---- the interface ---------------------------------------------------------

extern "C" {

void *mxMalloc(size_t n) { ENTER(); return allocate(nullptr, n, false); }
void *mxCalloc(size_t n, size_t size)
{
    ENTER();
    if (size != 0 && n > static_cast<size_t>(-1) / size)
        raise("Out of memory.");
    return allocate(nullptr, n * size, true);
}
void *mxRealloc(void *ptr, size_t size) { ENTER(); return allocate(ptr, size, false); }
void mxFree(void *ptr)
{
    ENTER();
    call.blocks.erase(ptr);
    std::free(ptr); // a block the host reclaimed is freed twice here
}

mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity)
{
    ENTER();
    return make(mxDOUBLE_CLASS, {m, n}, complexity == mxCOMPLEX);
}
mxArray *mxCreateDoubleScalar(double value)
{
    ENTER();
    mxArray *a = make(mxDOUBLE_CLASS, {1, 1}, false);
    *static_cast<double *>(a->re) = value;
    return a;
}
mxArray *mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity complexity)
{
    ENTER();
    return make(classid, {m, n}, complexity == mxCOMPLEX);
}
// Its data filled with a pattern, so that a module reading what it never
// wrote gets garbage here too.
mxArray *mxCreateUninitNumericMatrix(size_t m, size_t n, mxClassID classid,
                                     mxComplexity complexity)
{
    ENTER();
    mxArray *a = make(classid, {m, n}, complexity == mxCOMPLEX);
    if (a->re != nullptr)
        std::memset(a->re, 0xA5, count(a->dims) * element_size(classid));
    return a;
}
mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid,
                              mxComplexity complexity)
{
    ENTER();
    return make(classid, std::vector<mwSize>(dims, dims + ndim), complexity == mxCOMPLEX);
}
mxArray *mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity complexity)
{
    ENTER();
    mxArray *a = make(mxDOUBLE_CLASS, {0, 0}, false);
    a->dims = {m, n};
    a->sparse = true;
    a->complex = complexity == mxCOMPLEX;
    nzmax = std::max<mwSize>(nzmax, 1);
    a->re = std::calloc(nzmax, sizeof(double));
    if (a->complex)
        a->im = std::calloc(nzmax, sizeof(double));
    a->ir.assign(nzmax, 0);
    a->jc.assign(n + 1, 0);
    return a;
}
mxArray *mxCreateCellMatrix(mwSize m, mwSize n)
{
    ENTER();
    return make(mxCELL_CLASS, {m, n}, false);
}
mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **fieldnames)
{
    ENTER();
    mxArray *a = make(mxSTRUCT_CLASS, {m, n}, false);
    a->fields.assign(fieldnames, fieldnames + nfields);
    a->elements.assign(m * n * static_cast<std::size_t>(nfields), nullptr);
    return a;
}
mxArray *mxDuplicateArray(const mxArray *a)
{
    ENTER();
    if (a == nullptr)
        return nullptr;
    mxArray *b = make(a->cls, a->dims, a->complex);
    const std::size_t bytes = (a->sparse ? a->ir.size() : count(a->dims)) * element_size(a->cls);
    if (a->sparse) {
        std::free(b->re);
        std::free(b->im);
        b->re = std::malloc(bytes);
        b->im = a->im ? std::malloc(bytes) : nullptr;
    }
    if (a->re)
        std::memcpy(b->re, a->re, bytes);
    if (a->im)
        std::memcpy(b->im, a->im, bytes);
    b->sparse = a->sparse;
    b->ir = a->ir;
    b->jc = a->jc;
    b->fields = a->fields;
    b->elements.resize(a->elements.size());
    for (std::size_t i = 0; i < a->elements.size(); ++i)
        b->elements[i] = mxDuplicateArray(a->elements[i]);
    return b;
}
void mxDestroyArray(mxArray *a)
{
    ENTER();
    if (a == nullptr)
        return;
    for (mxArray *e : a->elements)
        mxDestroyArray(e);
    call.arrays.erase(a);
    release(a);
}

mxClassID mxGetClassID(const mxArray *a) { ENTER(); return a->cls; }
size_t mxGetM(const mxArray *a) { ENTER(); return a->dims[0]; }
size_t mxGetN(const mxArray *a)
{
    ENTER();
    return count(std::vector<mwSize>(a->dims.begin() + 1, a->dims.end()));
}
mwSize mxGetNumberOfDimensions(const mxArray *a) { ENTER(); return a->dims.size(); }
size_t mxGetNumberOfElements(const mxArray *a) { ENTER(); return count(a->dims); }
bool mxIsDouble(const mxArray *a) { ENTER(); return a->cls == mxDOUBLE_CLASS; }
bool mxIsInt32(const mxArray *a) { ENTER(); return a->cls == mxINT32_CLASS; }
bool mxIsNumeric(const mxArray *a) { ENTER(); return numeric(a->cls); }
bool mxIsLogical(const mxArray *a) { ENTER(); return a->cls == mxLOGICAL_CLASS; }
bool mxIsChar(const mxArray *a) { ENTER(); return a->cls == mxCHAR_CLASS; }
// MATLAB: at most buflen-1 characters and a NUL; 1 when a is not char or
// did not fit.
int mxGetString(const mxArray *a, char *buf, mwSize buflen)
{
    ENTER();
    if (buflen == 0)
        return 1;
    const std::string s = string_of(a);
    const std::size_t n = std::min<std::size_t>(s.size(), static_cast<std::size_t>(buflen) - 1);
    std::memcpy(buf, s.data(), n);
    buf[n] = '\0';
    return a->cls == mxCHAR_CLASS && n == s.size() ? 0 : 1;
}
bool mxIsCell(const mxArray *a) { ENTER(); return a->cls == mxCELL_CLASS; }
bool mxIsStruct(const mxArray *a) { ENTER(); return a->cls == mxSTRUCT_CLASS; }
bool mxIsComplex(const mxArray *a) { ENTER(); return a->complex; }
bool mxIsSparse(const mxArray *a) { ENTER(); return a->sparse; }
bool mxIsEmpty(const mxArray *a) { ENTER(); return count(a->dims) == 0; }

double *mxGetPr(const mxArray *a)
{
    ENTER();
    return a->cls == mxDOUBLE_CLASS ? static_cast<double *>(a->re) : nullptr;
}
mxLogical *mxGetLogicals(const mxArray *a)
{
    ENTER();
    return a->cls == mxLOGICAL_CLASS ? static_cast<mxLogical *>(a->re) : nullptr;
}
void *mxGetData(const mxArray *a)
{
    ENTER();
    if (a->cls == mxCELL_CLASS || a->cls == mxSTRUCT_CLASS)
        return a->elements.empty() ? nullptr : const_cast<mxArray **>(a->elements.data());
    return a->re;
}
double mxGetScalar(const mxArray *a)
{
    ENTER();
    if (a->re == nullptr || !(numeric(a->cls) || a->cls == mxLOGICAL_CLASS || a->cls == mxCHAR_CLASS))
        return 0.0;
    return number(a, 0);
}

mxArray *mxGetCell(const mxArray *a, mwIndex i)
{
    ENTER();
    if (a->cls != mxCELL_CLASS || i >= a->elements.size())
        return nullptr;
    return a->elements[i]; // null for an element never set
}
void mxSetCell(mxArray *a, mwIndex i, mxArray *value)
{
    ENTER();
    if (a->cls == mxCELL_CLASS && i < a->elements.size())
        a->elements[i] = value; // the old element is not freed (as MATLAB documents)
}
int mxGetNumberOfFields(const mxArray *a)
{
    ENTER();
    return a->cls == mxSTRUCT_CLASS ? static_cast<int>(a->fields.size()) : 0;
}
const char *mxGetFieldNameByNumber(const mxArray *a, int n)
{
    ENTER();
    if (a->cls != mxSTRUCT_CLASS || n < 0 || n >= static_cast<int>(a->fields.size()))
        return nullptr;
    return a->fields[static_cast<std::size_t>(n)].c_str();
}
int mxGetFieldNumber(const mxArray *a, const char *name)
{
    ENTER();
    for (std::size_t f = 0; a->cls == mxSTRUCT_CLASS && f < a->fields.size(); ++f)
        if (a->fields[f] == name)
            return static_cast<int>(f);
    return -1;
}
mxArray *mxGetFieldByNumber(const mxArray *a, mwIndex i, int n)
{
    ENTER();
    if (a->cls != mxSTRUCT_CLASS || n < 0 || n >= static_cast<int>(a->fields.size()) ||
        i >= count(a->dims))
        return nullptr;
    return a->elements[i * a->fields.size() + static_cast<std::size_t>(n)];
}
mxArray *mxGetField(const mxArray *a, mwIndex i, const char *name)
{
    ENTER();
    return mxGetFieldByNumber(a, i, mxGetFieldNumber(a, name));
}
void mxSetFieldByNumber(mxArray *a, mwIndex i, int n, mxArray *value)
{
    ENTER();
    if (a->cls == mxSTRUCT_CLASS && n >= 0 && n < static_cast<int>(a->fields.size()) &&
        i < count(a->dims))
        a->elements[i * a->fields.size() + static_cast<std::size_t>(n)] = value;
}
void mxSetField(mxArray *a, mwIndex i, const char *name, mxArray *value)
{
    ENTER();
    mxSetFieldByNumber(a, i, mxGetFieldNumber(a, name), value);
}

int mexPrintf(const char *fmt, ...)
{
    ENTER();
    va_list args;
    va_start(args, fmt);
    const std::string text = format(fmt, args);
    va_end(args);
    call.printed += text;
    return static_cast<int>(text.size());
}
void mexErrMsgTxt(const char *message)
{
    ENTER();
    raise(message);
}

// MATLAB evaluates the command in the caller's workspace; the modules
// evaluate only "" (a chance for the host to deliver an interrupt).
int mexEvalString(const char *command)
{
    ENTER();
    if (command[0] != '\0')
        raise(std::string("stand-in: mexEvalString of ") + command);
    return 0;
}

} // extern "C"

// ---- the caller's side ------------------------------------------------------

namespace standin {

mxArray *doubles(std::size_t m, std::size_t n, std::initializer_list<double> values)
{
    return filled(mxDOUBLE_CLASS, m, n, values);
}
mxArray *scalar(double value) { return doubles(1, 1, {value}); }
mxArray *complex_doubles(std::size_t m, std::size_t n, std::initializer_list<double> re,
                         std::initializer_list<double> im)
{
    mxArray *a = make(mxDOUBLE_CLASS, {m, n}, true);
    std::copy(re.begin(), re.end(), static_cast<double *>(a->re));
    std::copy(im.begin(), im.end(), static_cast<double *>(a->im));
    return a;
}
mxArray *int32s(std::size_t m, std::size_t n, std::initializer_list<std::int32_t> values)
{
    return filled(mxINT32_CLASS, m, n, std::vector<double>(values.begin(), values.end()));
}
mxArray *sparse(std::size_t m, std::size_t n) { return mxCreateSparse(m, n, 1, mxREAL); }
mxArray *cell(std::size_t m, std::size_t n, std::initializer_list<mxArray *> elements)
{
    mxArray *a = mxCreateCellMatrix(m, n);
    std::copy(elements.begin(), elements.end(), a->elements.begin());
    return a;
}
mxArray *structure(std::initializer_list<std::pair<const char *, mxArray *>> fields)
{
    std::vector<const char *> names;
    for (const auto &f : fields)
        names.push_back(f.first);
    mxArray *a = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
    std::size_t k = 0;
    for (const auto &f : fields)
        a->elements[k++] = f.second;
    return a;
}

double at(const mxArray *a, std::size_t i)
{
    return a != nullptr && a->re != nullptr && i < count(a->dims) ? number(a, i) : -1e300;
}

std::string Table::run(int nlhs, std::vector<mxArray *> in, int fail_allocation,
                       const std::function<std::string(const Result &)> &judge)
{
    std::vector<mxArray *> before;
    for (mxArray *a : in)
        before.push_back(mxDuplicateArray(a));
    const std::size_t slots = static_cast<std::size_t>(std::max(nlhs, 1));
    mxArray **plhs = new mxArray *[slots](); // exactly the slots MATLAB gives
    Result result;
    call.active = true;
    call.thread = std::this_thread::get_id();
    call.allocations = 0;
    call.fail_allocation = fail_allocation;
    call.printed.clear();
    call.problems.clear();
    try {
        mexFunction(nlhs, plhs, static_cast<int>(in.size()),
                    const_cast<const mxArray **>(in.data()));
    } catch (const MexError &error) {
        result.failed = true;
        result.message = error.message;
    }
    if (!result.failed) {
        for (std::size_t k = 0; k < slots; ++k)
            forget(plhs[k]);
        if (!call.blocks.empty() && !host_reclaims_blocks)
            problem(std::to_string(call.blocks.size()) + " host blocks left unfreed");
        if (!call.arrays.empty())
            problem(std::to_string(call.arrays.size()) + " arrays made and neither returned "
                                                          "nor destroyed");
        reclaim();
        result.out.assign(plhs, plhs + slots);
    }
    call.active = false;
    result.printed = call.printed;
    for (std::size_t k = 0; k < in.size(); ++k)
        if (!same(in[k], before[k]))
            problem("input " + std::to_string(k + 1) + " was changed");
    std::string verdict = judge(result);
    for (const std::string &p : call.problems)
        verdict += (verdict.empty() ? "" : "; ") + p;
    for (mxArray *a : result.out)
        mxDestroyArray(a);
    for (mxArray *a : in)
        mxDestroyArray(a);
    for (mxArray *a : before)
        mxDestroyArray(a);
    delete[] plhs;
    return verdict;
}

void Table::record(const std::string &what, const std::string &verdict)
{
    if (verdict.empty()) {
        ++passed;
        std::printf("  ok    %s\n", what.c_str());
    } else {
        ++failed;
        std::printf("  FAIL  %s: %s\n", what.c_str(), verdict.c_str());
    }
    std::fflush(stdout);
}

void Table::returns(const char *what, int nlhs, std::vector<mxArray *> in, Check check)
{
    record(what, run(nlhs, std::move(in), 0, [&](const Result &r) -> std::string {
        if (r.failed)
            return "raised \"" + r.message + "\"";
        if (check && !check(r))
            return "returned something else";
        return "";
    }));
}

void Table::fails(const char *what, int nlhs, std::vector<mxArray *> in, const char *message)
{
    record(what, run(nlhs, std::move(in), 0, [&](const Result &r) -> std::string {
        if (!r.failed)
            return "returned, expected \"" + std::string(message) + "\"";
        if (r.message.compare(0, std::strlen(message), message) != 0)
            return "raised \"" + r.message + "\", expected \"" + message + "\"";
        return "";
    }));
}

void Table::out_of_memory(const char *what, int allocation, int nlhs, std::vector<mxArray *> in)
{
    record(what, run(nlhs, std::move(in), allocation, [&](const Result &r) -> std::string {
        if (!r.failed)
            return "returned: the call made fewer than " + std::to_string(allocation) +
                   " host allocations";
        if (r.message.compare(0, 13, "Out of memory") != 0)
            return "raised \"" + r.message + "\"";
        return "";
    }));
}

void Table::out_of_memory_anywhere(const char *what, int nlhs,
                                   const std::function<std::vector<mxArray *>()> &inputs)
{
    // Until an allocation beyond the call's last: then the call returns.
    std::string verdict;
    int allocation = 1;
    for (bool ran_out = true; ran_out && verdict.empty(); ++allocation)
        verdict = run(nlhs, inputs(), allocation, [&](const Result &r) -> std::string {
            ran_out = r.failed;
            if (r.failed && r.message.compare(0, 13, "Out of memory") != 0)
                return "raised \"" + r.message + "\"";
            return "";
        });
    record(std::string(what) + " (at each of " + std::to_string(allocation - 2) +
               " allocations)",
           verdict.empty() ? verdict : "at allocation " + std::to_string(allocation - 1) + ": " + verdict);
}

} // namespace standin

int main()
{
    standin::Table table;
    standin::cases(table);
    std::printf("%d passed, %d failed\n", table.passed, table.failed);
    return table.failed > 0;
}
