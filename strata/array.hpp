#pragma once
// Owned one- and two-dimensional arrays with bounds-checked element access.
// Every access outside the shape fails with "ndarray: index out of bounds".
#include <cstddef>
#include <utility>
#include <vector>

#include "strata/failure.hpp"

namespace strata {

template <class T>
class Array1 {
public:
    Array1() = default;
    explicit Array1(std::vector<T> values) : values_(std::move(values)) {}

    std::size_t size() const { return values_.size(); }
    const T& operator()(std::size_t i) const {
        if (i >= values_.size()) fail(index_out_of_bounds);
        return values_[i];
    }
    const T* data() const { return values_.data(); }
    T* data() { return values_.data(); }

private:
    std::vector<T> values_;
};

enum class Order { row_major, column_major };

template <class T>
class Array2 {
public:
    Array2() = default;
    // `values` holds rows*cols elements laid out in `order`.
    Array2(std::size_t rows, std::size_t cols, Order order, std::vector<T> values)
        : rows_(rows), cols_(cols), order_(order), values_(std::move(values)) {
        if (values_.size() != rows_ * cols_) fail(index_out_of_bounds);
    }

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    Order order() const { return order_; }
    std::size_t size() const { return values_.size(); }

    // Distance in elements between neighbours along each axis.
    std::size_t row_stride() const { return order_ == Order::row_major ? cols_ : 1; }
    std::size_t col_stride() const { return order_ == Order::row_major ? 1 : rows_; }

    const T& operator()(std::size_t row, std::size_t col) const {
        if (row >= rows_ || col >= cols_) fail(index_out_of_bounds);
        return values_[row * row_stride() + col * col_stride()];
    }
    const T* data() const { return values_.data(); }
    T* data() { return values_.data(); }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    Order order_ = Order::row_major;
    std::vector<T> values_;
};

}  // namespace strata
