// amplitudes, spectra, transmittance, ellipsometry: checked arguments in,
// NumPy arrays out, the engine running on the pool with the GIL released
// (and stopped by Ctrl-C).
#include <string>
#include <utility>

#include <nanobind/stl/string.h>

#include "arguments.hpp"
#include "bindings.hpp"
#include "interrupts.hpp"
#include "strata/amplitudes.hpp"

namespace nb = nanobind;

namespace {

// Every result here is (B, A, W) or (2, B, A, W): empty only for an empty
// batch, which the engine passes over.
void run(const engine::Batch& batch, const strata::AmplitudeOutputs& outputs, bool normal_shortcut) {
    const strata::BatchInput input = engine::engine_input(batch);
    engine::run_interruptible([&] { strata::batch_amplitudes(input, outputs, normal_shortcut); });
}

nb::tuple amplitudes(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, nb::handle r_out,
                     nb::handle t_out, bool normal_shortcut) {
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    auto r = engine::output_argument<strata::Complex>(r_out, "r", batch.result_shape({2}));
    auto t = engine::output_argument<strata::Complex>(t_out, "t", batch.result_shape({2}));
    engine::allocate_results(batch, engine::sweep_work(batch), r, t);
    strata::AmplitudeOutputs outputs;
    outputs.r = r.data;
    outputs.t = t.data;
    run(batch, outputs, normal_shortcut);
    return nb::make_tuple(r.array, t.array);
}

nb::tuple spectra(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, double phi, nb::handle R_out,
                  nb::handle T_out) {
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    auto R = engine::output_argument<double>(R_out, "R", batch.result_shape());
    auto T = engine::output_argument<double>(T_out, "T", batch.result_shape());
    engine::allocate_results(batch, engine::sweep_work(batch), R, T);
    strata::AmplitudeOutputs outputs;
    outputs.reflectance = R.data;
    outputs.transmittance = T.data;
    outputs.phi = phi;
    run(batch, outputs, true);
    return nb::make_tuple(R.array, T.array);
}

nb::object transmittance(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, const std::string& convention,
                         nb::handle out) {
    engine::check_convention(convention);
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    auto T = engine::output_argument<double>(out, "out", batch.result_shape({2}));
    engine::allocate_results(batch, engine::sweep_work(batch), T);
    strata::AmplitudeOutputs outputs;
    outputs.polarised_transmittance = T.data;
    outputs.flux = convention == "flux";
    run(batch, outputs, true);
    return T.array;
}

// R and T per polarisation from one sweep: the bits of amplitudes' |r|^2 and
// of transmittance, without a second pass over the stacks.
nb::tuple polarised_spectra(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta,
                            const std::string& convention, nb::handle R_out, nb::handle T_out) {
    engine::check_convention(convention);
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    auto R = engine::output_argument<double>(R_out, "R", batch.result_shape({2}));
    auto T = engine::output_argument<double>(T_out, "T", batch.result_shape({2}));
    engine::allocate_results(batch, engine::sweep_work(batch), R, T);
    strata::AmplitudeOutputs outputs;
    outputs.polarised_reflectance = R.data;
    outputs.polarised_transmittance = T.data;
    outputs.flux = convention == "flux";
    run(batch, outputs, true);
    return nb::make_tuple(R.array, T.array);
}

nb::tuple ellipsometry(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, nb::handle psi_out,
                       nb::handle delta_out) {
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    auto psi = engine::output_argument<double>(psi_out, "psi", batch.result_shape());
    auto delta = engine::output_argument<double>(delta_out, "delta", batch.result_shape());
    engine::allocate_results(batch, engine::sweep_work(batch), psi, delta);
    strata::AmplitudeOutputs outputs;
    outputs.psi = psi.data;
    outputs.delta = delta.data;
    run(batch, outputs, true);
    return nb::make_tuple(psi.array, delta.array);
}

}  // namespace

void bind_amplitudes(nb::module_& m) {
    m.def("amplitudes", &amplitudes, nb::arg("d"), nb::arg("n"), nb::arg("wl"), nb::arg("theta"), nb::kw_only(),
          nb::arg("r") = nb::none(), nb::arg("t") = nb::none(), nb::arg("normal_shortcut") = true);
    m.def("spectra", &spectra, nb::arg("d"), nb::arg("n"), nb::arg("wl"), nb::arg("theta"), nb::arg("phi") = 0.0,
          nb::kw_only(), nb::arg("R") = nb::none(), nb::arg("T") = nb::none());
    m.def("transmittance", &transmittance, nb::arg("d"), nb::arg("n"), nb::arg("wl"), nb::arg("theta"),
          nb::kw_only(), nb::arg("convention") = "flux", nb::arg("out") = nb::none());
    m.def("polarised_spectra", &polarised_spectra, nb::arg("d"), nb::arg("n"), nb::arg("wl"), nb::arg("theta"),
          nb::kw_only(), nb::arg("convention") = "flux", nb::arg("R") = nb::none(), nb::arg("T") = nb::none());
    m.def("ellipsometry", &ellipsometry, nb::arg("d"), nb::arg("n"), nb::arg("wl"), nb::arg("theta"),
          nb::kw_only(), nb::arg("psi") = nb::none(), nb::arg("delta") = nb::none());
}
