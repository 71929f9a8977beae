#pragma once
// The batch as stack points: every (stack, angle, wavelength) of a checked
// batch, handed out in contiguous ranges on the engine's pool with the GIL
// released. Each point is computed alone, so results never depend on the
// number of threads. Ctrl-C stops the sweep between tasks.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "arguments.hpp"
#include "interrupts.hpp"
#include "strata/fields.hpp"
#include "strata/pool.hpp"

namespace engine {

// Points per task of the pool: enough work to pay for the hand-out.
inline constexpr std::size_t points_per_task = 8;

// Calls visit(point, item, w, b, workspace) for every item = (b * A + a) * W + w, with
// `Workspace` default-constructed once per range (vectors reused in the range).
template <class Workspace, class Visit>
void for_each_point(const Batch& batch, Visit&& visit) {
    const std::size_t media = batch.media;
    const strata::BatchInput input = engine_input(batch);
    const std::size_t items = batch.stacks * batch.angles * batch.wavelengths;
    if (items == 0) return;
    const std::size_t tasks = (items + points_per_task - 1) / points_per_task;
    auto run = [&](std::size_t first_task, std::size_t end_task) {
        Workspace work;
        std::vector<strata::Complex> indices(media);
        const std::size_t end = std::min(end_task * points_per_task, items);
        for (std::size_t item = first_task * points_per_task; item < end; ++item) {
            if (item % points_per_task == 0) strata::interruption_point();
            const std::size_t w = item % batch.wavelengths;
            const std::size_t a = (item / batch.wavelengths) % batch.angles;
            const std::size_t b = item / (batch.wavelengths * batch.angles);
            const strata::Complex* rows = input.indices(b);
            for (std::size_t m = 0; m < media; ++m) indices[m] = rows[m * batch.wavelengths + w];
            const strata::StackPoint point{input.thicknesses(b), indices.data(), media, batch.wl.data[w],
                                           batch.theta.data[a]};
            visit(point, item, w, b, work);
        }
    };
    run_interruptible([&] {
        if (tasks == 1)
            run(0, 1);
        else
            strata::parallel_for(tasks, run);
    });
}

inline const strata::Polarisation both_polarisations[2] = {strata::Polarisation::s, strata::Polarisation::p};

}  // namespace engine
