#pragma once
// The CPU quota a container or a service manager sets through cgroups.
#include <cstddef>
#include <optional>
#include <string>

namespace strata {

// The tightest CPU quota on the path from this process's own cgroup up to the
// root of its cgroup mount, in processors rounded up (at least 1), for the v1
// cpu controller and the unified v2 hierarchy alike; nullopt when no quota is
// set or nothing can be read. `root` is put before every path read
// (/proc/self/cgroup, /proc/self/mountinfo and the cgroup files), so that a
// directory tree can stand in for the system.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root = "");

}  // namespace strata
