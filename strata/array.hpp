#pragma once
// Owned one- and two-dimensional arrays with bounds-checked element access.
// Every access outside the shape fails with "ndarray: index out of bounds".
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "strata/failure.hpp"
#include "strata/recycle.hpp"

namespace strata {

// Arrays from this size on take their memory from a recycler: every
// simulation copies its stack's arrays, and a run of simulations on a large
// stack then faults the copies' pages in once instead of on every call.
inline constexpr std::size_t recycled_array_bytes = std::size_t{1} << 20;

// Allocates without zero-filling: what is sized without values is written
// before anyone reads it (the sweep's result lists: the workers' first writes
// then also fault the pages in, in parallel, instead of the calling thread
// clearing them all first).
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

// Memory from the recycler `source()` for blocks of at least `smallest`
// bytes, from the C library below that; not zero-filled.
template <class T, Recycler& (*source)(), std::size_t smallest>
struct RecyclingAllocator : UninitializedAllocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = RecyclingAllocator<U, source, smallest>;
    };
    RecyclingAllocator() = default;
    template <class U>
    RecyclingAllocator(const RecyclingAllocator<U, source, smallest>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        if (count * sizeof(T) < smallest) return std::allocator<T>{}.allocate(count);
        void* memory = source().take(count * sizeof(T));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t count) noexcept {
        if (count * sizeof(T) < smallest)
            std::allocator<T>{}.deallocate(memory, count);
        else
            source().give(memory);
    }
    template <class U>
    bool operator==(const RecyclingAllocator<U, source, smallest>&) const noexcept {
        return true;
    }
};

template <class T>
using ArrayAllocator = RecyclingAllocator<T, &Recycler::array_copies, recycled_array_bytes>;

// An array's elements. Sized without values, its elements are left for the
// owner to write.
template <class T>
using ArrayStorage = std::vector<T, ArrayAllocator<T>>;

template <class T>
class Array1 {
public:
    Array1() = default;
    explicit Array1(ArrayStorage<T> values) : values_(std::move(values)) {}
    explicit Array1(const std::vector<T>& values) : values_(values.begin(), values.end()) {}

    std::size_t size() const { return values_.size(); }
    const T& operator()(std::size_t i) const {
        if (i >= values_.size()) fail(index_out_of_bounds);
        return values_[i];
    }
    const T* data() const { return values_.data(); }
    T* data() { return values_.data(); }

private:
    ArrayStorage<T> values_;
};

enum class Order { row_major, column_major };

template <class T>
class Array2 {
public:
    Array2() = default;
    // `values` holds rows*cols elements laid out in `order`.
    Array2(std::size_t rows, std::size_t cols, Order order, ArrayStorage<T> values)
        : rows_(rows), cols_(cols), order_(order), values_(std::move(values)) {
        if (values_.size() != rows_ * cols_) fail(index_out_of_bounds);
    }
    Array2(std::size_t rows, std::size_t cols, Order order, const std::vector<T>& values)
        : Array2(rows, cols, order, ArrayStorage<T>(values.begin(), values.end())) {}

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
    ArrayStorage<T> values_;
};

}  // namespace strata
