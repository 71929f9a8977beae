// Fields at depths and the power absorbed in each layer, batched.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "bindings.hpp"
#include "stack_points.hpp"
#include "strata/fields.hpp"

namespace nb = nanobind;
using strata::Complex;

namespace {

// visit(solution, point) for every stack, angle and wavelength, s first and
// then p: `point` counts the results in that order.
// A thread's working memory: the solution and what the depths gather.
struct Work {
    strata::FieldSolution solution;
    strata::DepthWork depths;
    std::vector<strata::PointFields> fields;
};

template <class Visit>
void for_each_solution(const engine::Batch& batch, Visit visit) {
    const std::size_t plane = batch.stacks * batch.angles * batch.wavelengths;
    engine::for_each_point<Work>(batch, [&](const strata::StackPoint& point, std::size_t item, std::size_t,
                                            std::size_t, Work& work) {
        strata::prepare_fields(point, false, work.solution);
        for (std::size_t k = 0; k < 2; ++k) {
            strata::solve_prepared(engine::both_polarisations[k], work.solution);
            visit(static_cast<const strata::FieldSolution&>(work.solution), k * plane + item, work);
        }
    });
}

nb::tuple fields(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, nb::handle z, nb::handle out) {
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    const engine::ArrayView<double> depths = engine::array_argument<double>(z, "z");
    if (depths.ndim() != 1) engine::shape_error("z", "(Z,)", depths.shape);
    const std::size_t count = depths.shape[0];
    std::vector<std::size_t> shape = batch.result_shape({2});
    shape.push_back(count);
    engine::check_output_tuple(out, 4);
    auto e_t = engine::output_part<Complex>(out, 0, shape);
    auto e_n = engine::output_part<Complex>(out, 1, shape);
    auto flux = engine::output_part<double>(out, 2, shape);
    auto absorption = engine::output_part<double>(out, 3, shape);
    // Each thread also holds its point's fields and gathered arguments, some 128 bytes a depth.
    const std::size_t work = engine::saturating_sum(
        engine::point_work(batch),
        engine::saturating_product(engine::saturating_product(count, 128),
                                   std::max<std::size_t>(1, strata::configured_thread_count())));
    if (!engine::allocate_results(batch, work, depths, e_t, e_n, flux, absorption))
        return nb::make_tuple(e_t.array, e_n.array, flux.array, absorption.array);
    for_each_solution(batch, [&](const strata::FieldSolution& solution, std::size_t point, Work& work) {
        const std::size_t at = point * count;
        work.fields.resize(count);
        strata::fields_at_depths(solution, depths.data, count, work.fields.data(), work.depths);
        for (std::size_t i = 0; i < count; ++i) {
            const strata::PointFields& f = work.fields[i];
            e_t.data[at + i] = f.e_tangential;
            e_n.data[at + i] = f.e_normal;
            flux.data[at + i] = f.poynting;
            absorption.data[at + i] = f.absorption;
        }
    });
    return nb::make_tuple(e_t.array, e_n.array, flux.array, absorption.array);
}

nb::object absorbed(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, nb::handle out_array) {
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    const std::size_t layers = batch.media - 2;
    std::vector<std::size_t> shape = batch.result_shape({2});
    shape.push_back(layers);
    auto out = engine::output_argument<double>(out_array, "out", shape);
    if (!engine::allocate_results(batch, engine::point_work(batch), out)) return out.array;
    for_each_solution(batch, [&](const strata::FieldSolution& solution, std::size_t point, Work&) {
        strata::absorbed_in_layers(solution, out.data + point * layers);
    });
    return out.array;
}

}  // namespace

void bind_fields(nb::module_& m) {
    m.def("fields", &fields, nb::arg("d"), nb::arg("n"), nb::arg("wl"), nb::arg("theta"), nb::arg("z"), nb::kw_only(),
          nb::arg("out") = nb::none(),
          "The field for unit incident amplitude at depths z (0 at the front of the first layer, negative\n"
          "in the incidence medium, beyond the last layer in the exit medium): (e_tangential, e_normal,\n"
          "poynting, absorption), each (2, B, A, W, Z), s then p. e_tangential is E_y for s and E_x for p,\n"
          "e_normal is E_z for p (0 for s); poynting is the flux along z and absorption the absorbed\n"
          "power per unit length, both over the incident flux (tmm's position_resolved conventions).\n"
          "`out` may give the four arrays to write into, preallocated.");
    m.def("absorbed", &absorbed, nb::arg("d"), nb::arg("n"), nb::arg("wl"), nb::arg("theta"), nb::kw_only(),
          nb::arg("out") = nb::none(),
          "The fraction of the incident power absorbed in each inner layer, (2, B, A, W, K-2), s then p.\n"
          "With a lossless incidence medium R + T + the sum over the layers is 1 (T as a power flux).");
}
