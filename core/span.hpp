// Views over buffers, nothing owned: a span, and a data matrix.
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

// A data matrix (Theta, X or Z): its name, for messages, and its
// column-major doubles.
struct DataMatrix {
    const char *name;
    const double *values;
    std::size_t rows;
    std::size_t cols;
};

} // namespace core
