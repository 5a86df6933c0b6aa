// A view over a buffer: a pointer and a length, nothing owned.
#pragma once

#include <cstddef>

namespace core {

template <class T>
class Span {
public:
    Span() = default;
    Span(T *data, std::size_t size) : data_(data), size_(size) {}
    T &operator[](std::size_t i) const { return data_[i]; }
    T *data() const { return data_; }
    std::size_t size() const { return size_; }
    T *begin() const { return data_; }
    T *end() const { return data_ + size_; }

private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace core
