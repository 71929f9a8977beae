// The cgroup CPU quota read from directory trees that stand in for /proc and
// /sys/fs/cgroup: one case per directory of fixtures/cgroup, its expected
// processor count (or "none") in the file `expected`. Then the real system,
// which must give some answer of at least one processor.
//
//     cgroup_quota [FIXTURE_DIRECTORY]
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "strata/cpu_quota.hpp"
#include "strata/pool.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const fs::path fixtures =
        argc > 1 ? fs::path(argv[1]) : fs::path(__FILE__).parent_path() / "fixtures" / "cgroup";
    std::vector<fs::path> cases;
    for (const auto& entry : fs::directory_iterator(fixtures))
        if (entry.is_directory()) cases.push_back(entry.path());
    std::sort(cases.begin(), cases.end());

    int failures = 0;
    for (const fs::path& dir : cases) {
        std::ifstream file(dir / "expected");
        std::string expected;
        if (!(file >> expected)) {
            std::fprintf(stderr, "FAILED: %s has no expected value\n", dir.c_str());
            ++failures;
            continue;
        }
        const auto limit = strata::cgroup_cpu_limit(dir.string());
        const std::string got = limit ? std::to_string(*limit) : "none";
        const bool ok = got == expected;
        failures += ok ? 0 : 1;
        std::printf("%-28s %-5s %s\n", dir.filename().c_str(), got.c_str(),
                    ok ? "ok" : ("FAILED, expected " + expected).c_str());
    }
    if (cases.size() < 10) {
        std::fprintf(stderr, "FAILED: only %zu fixture cases under %s\n", cases.size(), fixtures.c_str());
        ++failures;
    }

    const auto system = strata::cgroup_cpu_limit();
    const std::size_t processors = strata::available_processors();
    std::printf("this system: quota %s, %zu processors available\n",
                system ? std::to_string(*system).c_str() : "none", processors);
    if (processors < 1 || (system && processors > *system)) ++failures;

    std::printf("%zu cases, %d failed\n", cases.size(), failures);
    return failures == 0 ? 0 : 1;
}
