// Exact derivatives of the amplitudes and of R and T, batched.
#include <cmath>
#include <cstddef>
#include <string>

#include "bindings.hpp"
#include "stack_points.hpp"
#include "strata/derivatives.hpp"

namespace nb = nanobind;
using strata::Complex;

namespace {

struct Work {
    strata::FieldSolution solution;
    strata::DerivativeWorkspace derivatives;
};

// dn/dlambda or its second derivative: n's shape, or None.
engine::ArrayView<Complex> dispersion_argument(nb::handle value, const char* name, const engine::Batch& batch) {
    engine::ArrayView<Complex> view;
    if (value.is_none()) return view;
    view = engine::array_argument<Complex>(value, name);
    if (view.shape != batch.n.shape) engine::shape_error(name, engine::shape_text(batch.n.shape) + " (the shape of n)", view.shape);
    return view;
}

nb::tuple amplitude_derivatives(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, bool indices,
                                nb::handle out) {
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    engine::check_output_tuple(out, indices ? 4 : 2);
    const std::size_t layers = batch.media - 2;
    std::vector<std::size_t> shape = batch.result_shape({2});
    shape.push_back(layers);
    auto r_d = engine::output_part<Complex>(out, 0, shape);
    auto t_d = engine::output_part<Complex>(out, 1, shape);
    shape.back() = batch.media;
    engine::OutputArray<Complex> r_n, t_n;
    if (indices) {
        r_n = engine::output_part<Complex>(out, 2, shape);
        t_n = engine::output_part<Complex>(out, 3, shape);
    }
    const bool any_result = indices ? engine::allocate_results(batch, engine::point_work(batch), r_d, t_d, r_n, t_n)
                              : engine::allocate_results(batch, engine::point_work(batch), r_d, t_d);
    if (!any_result) {
        if (!indices) return nb::make_tuple(r_d.array, t_d.array);
        return nb::make_tuple(r_d.array, t_d.array, r_n.array, t_n.array);
    }
    const std::size_t plane = batch.stacks * batch.angles * batch.wavelengths;
    engine::for_each_point<Work>(batch, [&](const strata::StackPoint& point, std::size_t item, std::size_t,
                                            std::size_t, Work& work) {
        strata::prepare_fields(point, indices, work.solution);
        for (std::size_t k = 0; k < 2; ++k) {
            strata::solve_prepared(engine::both_polarisations[k], work.solution);
            const std::size_t at = k * plane + item;
            strata::amplitude_derivatives(work.solution, point, work.derivatives, r_d.data + at * layers,
                                          t_d.data + at * layers, indices ? r_n.data + at * batch.media : nullptr,
                                          indices ? t_n.data + at * batch.media : nullptr);
        }
    });
    if (!indices) return nb::make_tuple(r_d.array, t_d.array);
    return nb::make_tuple(r_d.array, t_d.array, r_n.array, t_n.array);
}

// The factor taking |t|^2 to T: lamina's Re(q_exit / (n_0 cos theta)), or
// the flux ratio of tmm and PyMoosh.
double transmission_factor(const strata::FieldSolution& s, const strata::StackPoint& point, bool flux) {
    if (flux) {
        const strata::Modes& e = s.exit;
        const double incident = strata::incident_flux(s);
        if (incident == 0.0) return 0.0;  // grazing incidence: nothing enters, t = 0
        return (e.forward_e.re * e.forward_h.re + e.forward_e.im * e.forward_h.im) / incident;
    }
    const Complex a = canonical_index(point.n[0]) * std::cos(point.theta);
    const Complex w = s.medium[s.media - 1].q;
    return (w.re * a.re + w.im * a.im) / (a.re * a.re + a.im * a.im);
}

nb::tuple power_jacobian(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, const std::string& convention,
                         nb::handle out) {
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    engine::check_convention(convention);
    engine::check_output_tuple(out, 4);
    const bool flux = convention == "flux";
    const std::size_t layers = batch.media - 2;
    auto big_r = engine::output_part<double>(out, 0, batch.result_shape({2}));
    auto big_t = engine::output_part<double>(out, 1, batch.result_shape({2}));
    std::vector<std::size_t> shape = batch.result_shape({2});
    shape.push_back(layers);
    auto jr = engine::output_part<double>(out, 2, shape);
    auto jt = engine::output_part<double>(out, 3, shape);
    engine::allocate_results(batch, engine::point_work(batch), big_r, big_t, jr, jt);  // R empty: B A W = 0
    const std::size_t plane = batch.stacks * batch.angles * batch.wavelengths;
    struct JacobianWork : Work {
        std::vector<Complex> dr, dt;
    };
    engine::for_each_point<JacobianWork>(batch, [&](const strata::StackPoint& point, std::size_t item, std::size_t,
                                                    std::size_t, JacobianWork& work) {
        work.dr.resize(layers);
        work.dt.resize(layers);
        strata::FieldSolution& s = work.solution;
        strata::prepare_fields(point, false, s);
        for (std::size_t k = 0; k < 2; ++k) {
            strata::solve_prepared(engine::both_polarisations[k], s);
            strata::amplitude_derivatives(s, point, work.derivatives, work.dr.data(), work.dt.data(), nullptr,
                                          nullptr);
            const double eta = transmission_factor(s, point, flux);
            const std::size_t at = k * plane + item;
            big_r.data[at] = s.r.re * s.r.re + s.r.im * s.r.im;
            big_t.data[at] = (s.t.re * s.t.re + s.t.im * s.t.im) * eta;
            for (std::size_t j = 0; j < layers; ++j) {
                // d|z|^2 = 2 Re(conj(z) dz)
                const Complex a = work.dr[j];
                const Complex b = work.dt[j];
                jr.data[at * layers + j] = 2.0 * (s.r.re * a.re + s.r.im * a.im);
                jt.data[at * layers + j] = (2.0 * (s.t.re * b.re + s.t.im * b.im)) * eta;
            }
        }
    });
    return nb::make_tuple(big_r.array, big_t.array, jr.array, jt.array);
}

// r and t with d/dk0 and d^2/dk0^2; with `phases`, instead, the reflected and
// transmitted phase's first and second derivatives in k0.
nb::tuple wavenumber_derivatives(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta, nb::handle dn_dwl,
                                 nb::handle d2n_dwl2, bool phases, nb::handle out) {
    const engine::Batch batch = engine::batch_arguments(d, n, wl, theta);
    engine::check_output_tuple(out, phases ? 4 : 6);
    const engine::ArrayView<Complex> first = dispersion_argument(dn_dwl, "dn_dwl", batch);
    const engine::ArrayView<Complex> second = dispersion_argument(d2n_dwl2, "d2n_dwl2", batch);
    const std::size_t plane = batch.stacks * batch.angles * batch.wavelengths;
    const std::vector<std::size_t> shape = batch.result_shape({2});
    std::vector<engine::OutputArray<Complex>> jets;
    std::vector<engine::OutputArray<double>> phase;
    for (std::size_t i = 0; i < (phases ? 4 : 6); ++i) {
        if (phases)
            phase.push_back(engine::output_part<double>(out, i, shape));
        else
            jets.push_back(engine::output_part<Complex>(out, i, shape));
    }
    // Empty results only for an empty batch, which for_each_point passes over.
    engine::allocate_results(batch, engine::point_work(batch), first, second, jets, phase);
    struct JetWork {
        std::vector<Complex> first, second;
    };
    auto gather = [&](const engine::ArrayView<Complex>& view, std::vector<Complex>& out, std::size_t b,
                      std::size_t w) -> const Complex* {
        if (view.data == nullptr) return nullptr;
        out.resize(batch.media);
        strata::BatchInput laid_out_as_n = engine::engine_input(batch);  // the same layout as n
        laid_out_as_n.n = view.data;
        const Complex* rows = laid_out_as_n.indices(b);
        for (std::size_t m = 0; m < batch.media; ++m) out[m] = rows[m * batch.wavelengths + w];
        return out.data();
    };
    engine::for_each_point<JetWork>(batch, [&](const strata::StackPoint& point, std::size_t item, std::size_t w,
                                               std::size_t b, JetWork& work) {
        const Complex* dn = gather(first, work.first, b, w);
        const Complex* d2n = gather(second, work.second, b, w);
        strata::WavenumberJets both[2];
        strata::wavenumber_jets(point, dn, d2n, both);
        for (std::size_t k = 0; k < 2; ++k) {
            const strata::WavenumberJets& j = both[k];
            const std::size_t at = k * plane + item;
            if (phases) {
                // phi = arg z = Im log z: finite from the engine's log-derivatives even where t
                // underflows.
                phase[0].data[at] = j.dlog_r.im;
                phase[1].data[at] = j.d2log_r.im;
                phase[2].data[at] = j.dlog_t.im;
                phase[3].data[at] = j.d2log_t.im;
            } else {
                const Complex values[6] = {j.r.v, j.r.d1, j.r.d2, j.t.v, j.t.d1, j.t.d2};
                for (std::size_t q = 0; q < 6; ++q) jets[q].data[at] = values[q];
            }
        }
    });
    nb::list results;
    for (auto& a : jets) results.append(a.array);
    for (auto& a : phase) results.append(a.array);
    return nb::tuple(results);
}

}  // namespace

void bind_derivatives(nb::module_& m) {
    m.def("amplitude_derivatives", &amplitude_derivatives, nb::arg("d"), nb::arg("n"), nb::arg("wl"),
          nb::arg("theta"), nb::kw_only(), nb::arg("indices") = true, nb::arg("out") = nb::none(),
          "Exact derivatives of r and t, all layers in one sweep: (dr_dd, dt_dd, dr_dn, dt_dn), shaped\n"
          "(2, B, A, W, K-2) for the thicknesses and (2, B, A, W, K) for the indices of every medium\n"
          "(complex derivatives: r and t are analytic in each index). Axis 0 is s, then p. With\n"
          "indices=False only (dr_dd, dt_dd), at less cost. `out` may give the arrays to write into\n"
          "(a tuple of 4, or of 2 with indices=False), preallocated.");
    m.def("power_jacobian", &power_jacobian, nb::arg("d"), nb::arg("n"), nb::arg("wl"), nb::arg("theta"),
          nb::kw_only(), nb::arg("convention") = "flux", nb::arg("out") = nb::none(),
          "R and T with their exact thickness Jacobians: (R, T, dR_dd, dT_dd), shaped (2, B, A, W) and\n"
          "(2, B, A, W, K-2). T as in transmittance(): the power flux ratio (\"flux\", tmm and PyMoosh) or\n"
          "lamina's |t|^2 Re(q_exit / (n_0 cos theta)) (\"eta\"); they differ only for p into an absorbing\n"
          "exit medium. `out` may give the four arrays to write into, preallocated.");
    m.def("wavenumber_derivatives", &wavenumber_derivatives, nb::arg("d"), nb::arg("n"), nb::arg("wl"),
          nb::arg("theta"), nb::kw_only(), nb::arg("dn_dwl") = nb::none(), nb::arg("d2n_dwl2") = nb::none(),
          nb::arg("phases") = false, nb::arg("out") = nb::none(),
          "r and t with their first and second derivatives in the vacuum wavenumber k0 = 2 pi / wl:\n"
          "(r, dr_dk0, d2r_dk0, t, dt_dk0, d2t_dk0), each (2, B, A, W) complex. dn_dwl and d2n_dwl2\n"
          "(n's shape) carry the material dispersion. With phases=True: (dphi_r_dk0, d2phi_r_dk0,\n"
          "dphi_t_dk0, d2phi_t_dk0), float64, phi = arg r or arg t. Fields vary as exp(-i omega t), so the\n"
          "group delay is GD = dphi/domega = dphi_dk0 / c and the GDD d2phi/domega^2 = d2phi_dk0 / c^2.\n"
          "`out` may give the arrays to write into (a tuple of 6, or of 4 with phases=True), preallocated.");
}
