// Drives the engine without an interpreter: the batched kernel against the
// one-index form bit for bit, serial against pooled sweeps, and failures
// carried back from the workers. Also the program the thread sanitizer runs.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "strata/data.hpp"
#include "strata/pool.hpp"
#include "strata/sweep.hpp"
#include "strata/transfer.hpp"

using namespace strata;

namespace {

int passes = 0;
int failures = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passes;
    } else {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}
bool same_bits(Complex a, Complex b) { return same_bits(a.re, b.re) && same_bits(a.im, b.im); }
bool same_bits(const Matrix2& a, const Matrix2& b) {
    return same_bits(a.m00, b.m00) && same_bits(a.m10, b.m10) && same_bits(a.m01, b.m01) && same_bits(a.m11, b.m11);
}

double special(std::mt19937_64& rng, double usual) {
    static const double values[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, 1e300, 1e-300};
    std::uniform_int_distribution<int> pick(0, 60);
    const int k = pick(rng);
    return k < 7 ? values[k] : usual;
}

Data random_stack(std::mt19937_64& rng, std::size_t media, std::size_t waves, Order order) {
    std::uniform_real_distribution<double> real(1.0, 3.0), kappa(0.0, 0.5), thick(0.0, 400.0),
        wave(300.0, 1200.0), angle(-2.0, 2.0);
    std::vector<Complex> indices(media * waves);
    for (auto& index : indices) index = {special(rng, real(rng)), special(rng, kappa(rng))};
    std::vector<double> d(media > 2 ? media - 2 : 0), wl(waves);
    for (auto& t : d) t = special(rng, thick(rng));
    for (auto& w : wl) w = special(rng, wave(rng));
    return Data(Array1<double>(d), Array2<Complex>(media, waves, order, indices), Array1<double>(wl),
                angle(rng), angle(rng));
}

void batched_equals_one_index(std::mt19937_64& rng) {
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t media = 2 + trial % 12, waves = 1 + trial % 23;
        const Data data = random_stack(rng, media, waves, trial % 2 ? Order::column_major : Order::row_major);
        const TransferList transfers = transfer_calc(data);
        for (std::size_t i = 0; i < waves; ++i) {
            std::int32_t s_exponent = -1, p_exponent = -1;
            check(same_bits(transfers[i].s_matrix, data.transfer_for_wavelength(i, false, &s_exponent)) &&
                      transfers[i].s_exponent == s_exponent,
                  "s matrix, batched");
            check(same_bits(transfers[i].p_matrix, data.transfer_for_wavelength(i, true, &p_exponent)) &&
                      transfers[i].p_exponent == p_exponent,
                  "p matrix, batched");
        }
    }
}

void pooled_equals_serial(std::mt19937_64& rng) {
    for (std::size_t waves : {101u, 257u, 5000u}) {
        Data data = random_stack(rng, 9, waves, Order::row_major);
        const TransferList pooled = transfer_calc(data);
        for (std::size_t i = 0; i < waves; ++i)
            check(same_bits(pooled[i].p_matrix, data.transfer_for_wavelength(i, true)) &&
                      same_bits(pooled[i].s_matrix, data.transfer_for_wavelength(i, false)),
                  "pooled sweep, index " + std::to_string(i));
        const auto r = data.get_r_power_vec();
        const auto t = data.get_t_power_vec();
        check(r.size() == waves && t.size() == waves, "spectra length");
    }
}

std::string failure_of(Data data) {
    try {
        data.get_t_power_vec();
    } catch (const Failure& failure) {
        return failure.what();
    }
    return "no failure";
}

void short_shapes_fail(std::mt19937_64& rng) {
    for (std::size_t waves : {5u, 150u}) {
        auto narrow = random_stack(rng, 4, waves, Order::row_major);
        Data too_few_columns(narrow.d(), Array2<Complex>(4, waves - 1, Order::row_major,
                                                         std::vector<Complex>(4 * (waves - 1), {1, 0})),
                             narrow.wl(), 0.1, 0.2);
        check(failure_of(too_few_columns) == index_out_of_bounds, "too few columns");
        Data short_d(Array1<double>(std::vector<double>{1.0}), narrow.n(), narrow.wl(), 0.1, 0.2);
        check(failure_of(short_d) == index_out_of_bounds, "short d");
        Data one_medium(narrow.d(), Array2<Complex>(1, waves, Order::row_major, std::vector<Complex>(waves, {1, 0})),
                        narrow.wl(), 0.1, 0.2);
        check(failure_of(one_medium) == index_out_of_bounds, "one medium");
    }
    // The pool stays usable after a failure.
    Data good = random_stack(rng, 5, 300, Order::row_major);
    check(good.get_r_power_vec().size() == 300, "pool after failure");
}

void cache_fills_once(std::mt19937_64& rng) {
    Data data = random_stack(rng, 3, 4, Order::row_major);
    std::string message;
    try {
        data.transfers([](Data& inner) {
            inner.transfers();  // a fill from inside the fill
            return transfer_calc(inner);
        });
    } catch (const Failure& failure) {
        message = failure.what();
    }
    check(message == reentrant_init, "reentrant init");
    check(data.has_transfers(), "the first fill stays");
}

// Wavelengths whose regular product fails on finite inputs, among ordinary ones
// in the same lanes and in the scalar tail: a layer exactly at its critical
// angle, and an absorbing layer far past the double range. Every result is
// finite, and the exponents agree between the batched and one-index forms.
void exceptional_wavelengths() {
    const std::size_t waves = 11;
    const double theta = std::asin(1.0 / 1.5);
    std::vector<Complex> indices;
    for (std::size_t medium = 0; medium < 4; ++medium)
        for (std::size_t i = 0; i < waves; ++i) {
            const Complex layer = i % 3 == 0 ? Complex{1.0, 0.0} : i % 3 == 1 ? Complex{1.5, 0.1} : Complex{1.3, 0.0};
            indices.push_back(medium == 0 ? Complex{1.5, 0.0} : medium == 3 ? Complex{1.5, 0.0}
                              : medium == 1 ? layer : Complex{2.0, 0.0});
        }
    Data data(Array1<double>(std::vector<double>{3e5, 100.0}), Array2<Complex>(4, waves, Order::row_major, indices),
              Array1<double>(std::vector<double>(waves, 500.0)), theta, 0.3);
    const TransferList transfers = transfer_calc(data);
    for (std::size_t i = 0; i < waves; ++i) {
        std::int32_t s_exponent = -1, p_exponent = -1;
        const bool same = same_bits(transfers[i].s_matrix, data.transfer_for_wavelength(i, false, &s_exponent)) &&
                          same_bits(transfers[i].p_matrix, data.transfer_for_wavelength(i, true, &p_exponent));
        check(same && s_exponent == transfers[i].s_exponent && p_exponent == transfers[i].p_exponent,
              "exceptional wavelength " + std::to_string(i) + ", batched");
        if (i % 3 == 1) check(s_exponent > 500 && p_exponent > 500, "exponent where the product overflows");
        if (i % 3 == 2) check(s_exponent == 0 && p_exponent == 0, "no exponent on an ordinary wavelength");
    }
    const auto r = data.get_r_power_vec();
    const auto t = data.get_t_power_vec();
    for (std::size_t i = 0; i < waves; ++i)
        check(r[i] >= 0.0 && r[i] <= 1.0 && t[i] >= 0.0 && r[i] + t[i] <= 1.0 + 1e-12,
              "finite spectra at exceptional wavelength " + std::to_string(i));
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261207);
    batched_equals_one_index(rng);
    pooled_equals_serial(rng);
    short_shapes_fail(rng);
    cache_fills_once(rng);
    exceptional_wavelengths();
    std::printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
