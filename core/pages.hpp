// Memory for the large buffers of a call. Touching a fresh 4 KB page costs
// a fault, and on a virtual machine a fault can cost more than the work
// that fills the page; where the kernel has transparent huge pages (Linux),
// a large buffer asks for them, one fault per 2 MB. Elsewhere, and below
// LARGE_BYTES, memory comes from the C++ library as usual. Either way the
// contents are the same: only the cost of the pages differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace core::pages {

// Buffers from this size on are mapped on their own, with huge pages asked
// for.
constexpr std::size_t LARGE_BYTES = std::size_t{2} << 20;

// Asks for huge pages for the whole 2 MB pages inside [data, data+bytes),
// memory not yet touched (or touched: the kernel may merge its pages later).
inline void advise_huge(void *data, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const std::uintptr_t huge = std::uintptr_t{2} << 20;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(huge - 1);
    if (bytes >= LARGE_BYTES && end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    static_cast<void>(data);
    static_cast<void>(bytes);
#endif
}

inline void *allocate(std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= LARGE_BYTES) {
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        advise_huge(p, bytes);
        return p;
    }
#endif
    return ::operator new(bytes);
}

inline void release(void *p, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= LARGE_BYTES) {
        munmap(p, bytes);
        return;
    }
#else
    static_cast<void>(bytes);
#endif
    ::operator delete(p);
}

// An allocator for std::vector: large buffers as above.
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <class U>
    Allocator(const Allocator<U> &) noexcept
    {
    }
    T *allocate(std::size_t n)
    {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_alloc();
        return static_cast<T *>(pages::allocate(n * sizeof(T)));
    }
    void deallocate(T *p, std::size_t n) { pages::release(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const Allocator<U> &) const noexcept
    {
        return true;
    }
    template <class U>
    bool operator!=(const Allocator<U> &) const noexcept
    {
        return false;
    }
};

// A vector whose large buffers come as above.
template <class T>
using Buffer = std::vector<T, Allocator<T>>;

} // namespace core::pages
