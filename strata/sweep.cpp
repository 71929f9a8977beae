#include "strata/sweep.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "strata/once.hpp"
#include "strata/pool.hpp"
#include "strata/recycle.hpp"

namespace strata {

namespace {

// The reused values' memory, on loan from its recycler for one sweep.
class ReuseBuffer {
public:
    explicit ReuseBuffer(std::size_t bytes) : values_(take(bytes)) {}
    ~ReuseBuffer() { Recycler::reuse_values().give(values_); }
    void reset(std::size_t bytes) {
        Recycler::reuse_values().give(std::exchange(values_, nullptr));
        values_ = take(bytes);
    }
    ReuseBuffer(const ReuseBuffer&) = delete;
    ReuseBuffer& operator=(const ReuseBuffer&) = delete;

    double* values() const { return values_; }

private:
    static double* take(std::size_t bytes) {
        return bytes == 0 ? nullptr : static_cast<double*>(Recycler::reuse_values().take(bytes));
    }
    double* values_;
};

Recycler* new_reuse_values() { return new Recycler(reuse_budget_bytes); }

// A pass computes its range this many layer-wavelengths at a time (some
// hundred microseconds), with an interruption point before each piece.
constexpr std::size_t interruption_block = std::size_t{1} << 12;

}  // namespace

Recycler& Recycler::reuse_values() { return *made_once<Recycler*, new_reuse_values>(); }

std::size_t available_memory_bytes() {
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    if (file == nullptr) return 0;
    char line[256];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file) != nullptr)
        found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    std::fclose(file);
    return found && kib < SIZE_MAX / 1024 ? static_cast<std::size_t>(kib) * 1024 : 0;
}

std::size_t reuse_budget(std::size_t needed, std::size_t available) {
    if (needed <= reuse_budget_bytes) return needed;
    return std::max(reuse_budget_bytes, std::min(needed, available / 4));
}

TransferList transfer_calc(const Data& data) {
    const Kernel& chosen = kernel();
    const std::size_t lanes = chosen.lanes;
    const std::size_t groups = (data.wl().size() + lanes - 1) / lanes;
    const std::size_t group_bytes = reuse_doubles_per_group(data.n().rows(), lanes) * sizeof(double);
    const std::size_t needed = group_bytes != 0 && groups > SIZE_MAX / group_bytes ? SIZE_MAX : groups * group_bytes;
    // /proc/meminfo is read only for sweeps beyond the fixed budget.
    const std::size_t budget = reuse_budget(needed, needed <= reuse_budget_bytes ? 0 : available_memory_bytes());
    return transfer_calc(data, chosen, budget);
}

// Two passes over the wavelengths, all s matrices before the first p matrix.
// Each pass writes every index once, straight into its own Transfer, so the
// pairs need no separate lists and no copy. The s pass also stores, for as many
// lane groups as the budget allows, what the p pass would compute again.
TransferList transfer_calc(const Data& data, const Kernel& kernel, std::size_t reuse_budget) {
    const std::size_t count = data.wl().size();
    TransferList transfers(count);
    if (count == 0) return transfers;
    const PassInput input{data.d(), data.n(), data.wl(), data.theta(), sincos_matches_sin_and_cos(),
                          lane_math(kernel)};
    const std::size_t lanes = kernel.lanes;
    const std::size_t groups = (count + lanes - 1) / lanes;
    const std::size_t group_bytes = reuse_doubles_per_group(data.n().rows(), lanes) * sizeof(double);
    std::size_t reused_groups = group_bytes == 0 ? 0 : std::min(groups, reuse_budget / group_bytes);
    // Not zero-filled: the s pass writes each reused group before the p pass reads it.
    ReuseBuffer buffer(reused_groups * group_bytes);
    if (buffer.values() == nullptr && reused_groups * group_bytes > reuse_budget_bytes) {
        reused_groups = reuse_budget_bytes / group_bytes;  // the memory was not there: the fixed budget
        buffer.reset(reused_groups * group_bytes);
    }
    if (buffer.values() == nullptr) reused_groups = 0;  // without the memory the p pass just recomputes
    const Reuse reuse{buffer.values(), reused_groups};
    const std::size_t group_work = std::max<std::size_t>(1, data.n().rows()) * lanes;  // layer-wavelengths
    const std::size_t block_groups = std::max<std::size_t>(1, interruption_block / group_work);
    for (PassFunction pass : {kernel.s_pass, kernel.p_pass}) {
        // Ranges and blocks of whole lane groups, so that no group is split
        // between threads or calls: every split gives the same bits.
        auto compute = [&](std::size_t first_group, std::size_t end_group) {
            for (std::size_t group = first_group; group < end_group;) {
                interruption_point();
                const std::size_t end = group + std::min(block_groups, end_group - group);
                pass(input, group * lanes, std::min(end * lanes, count), transfers.data(), reuse);
                group = end;
            }
        };
        if (count <= serial_sweep_limit)
            compute(0, groups);
        else
            parallel_for(groups, compute);
    }
    return transfers;
}

}  // namespace strata
