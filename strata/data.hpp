#pragma once
// The engine's records: one stack and sweep (Data) and the result for one
// wavelength (Transfer).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "strata/array.hpp"
#include "strata/complex.hpp"
#include "strata/matrix.hpp"
#include "strata/recycle.hpp"

namespace strata {

// The characteristic matrices over powers of two: the true s matrix is
// s_matrix * 2^s_exponent. The exponents are zero unless a thick absorbing
// stack would overflow the product, and they saturate at +-transfer_exponent_limit,
// far beyond any R or T a double can show.
constexpr std::int32_t transfer_exponent_limit = 1 << 30;

struct Transfer {
    Matrix2 s_matrix;
    Matrix2 p_matrix;
    std::int32_t s_exponent;
    std::int32_t p_exponent;
};

// The result lists' memory comes from a recycler (recycle.hpp): a run of
// simulations faults its pages in once rather than on every sweep.
using TransferList = std::vector<Transfer, RecyclingAllocator<Transfer, &Recycler::transfer_lists, 0>>;

// R or T per wavelength; a large one's memory is recycled as an array copy's is.
using Spectrum = ArrayStorage<double>;

class Data {
public:
    // Takes ownership of its arrays; callers hand in their own deep copies.
    Data(Array1<double> d, Array2<Complex> n, Array1<double> wl, double theta, double phi)
        : d_(std::move(d)), n_(std::move(n)), wl_(std::move(wl)), theta_(theta), phi_(phi) {}

    const Array1<double>& d() const { return d_; }
    const Array2<Complex>& n() const { return n_; }
    const Array1<double>& wl() const { return wl_; }
    double theta() const { return theta_; }
    double phi() const { return phi_; }

    // Characteristic matrix of the stack at wavelength index i, over 2^exponent
    // (written to `exponent` when given).
    Matrix2 transfer_for_wavelength(std::size_t i, bool p_polarised, std::int32_t* exponent = nullptr) const;

    Spectrum get_r_power_vec();
    Spectrum get_t_power_vec();

    // The transfer cache: filled once by `produce`, then only read. A fill
    // that finds the cache filled after `produce` returns is an error.
    template <class Produce>
    const TransferList& transfers(Produce&& produce) {
        if (!cache_) {
            TransferList list = produce(*this);
            if (cache_) fail(reentrant_init);
            cache_.emplace(std::move(list));
        }
        return *cache_;
    }
    const TransferList& transfers();
    bool has_transfers() const { return cache_.has_value(); }

private:
    Array1<double> d_;
    Array2<Complex> n_;
    Array1<double> wl_;
    double theta_;
    double phi_;
    std::optional<TransferList> cache_;
};

}  // namespace strata
