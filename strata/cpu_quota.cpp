#include "strata/cpu_quota.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace strata {
namespace {

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> result;
    for (std::string_view word : split(line, ' '))
        if (!word.empty()) result.push_back(word);
    return result;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// The whole of `text` as a decimal integer, or nothing.
std::optional<long long> integer(std::string_view text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<std::size_t> processors(std::optional<long long> quota, std::optional<long long> period) {
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    // Rounded up: a quota of 1.5 processors still keeps two threads busy part of the time.
    const long long whole = *quota / *period + (*quota % *period != 0 ? 1 : 0);
    return static_cast<std::size_t>(std::max(1LL, whole));
}

// v1: cpu.cfs_quota_us is -1 without a quota.
std::optional<std::size_t> v1_limit(const std::string& dir) {
    const auto quota = read_text(dir + "/cpu.cfs_quota_us");
    const auto period = read_text(dir + "/cpu.cfs_period_us");
    if (!quota || !period) return std::nullopt;
    return processors(integer(trim(*quota)), integer(trim(*period)));
}

// v2: cpu.max holds "max PERIOD" or "QUOTA PERIOD".
std::optional<std::size_t> v2_limit(const std::string& dir) {
    const auto text = read_text(dir + "/cpu.max");
    if (!text) return std::nullopt;
    const auto fields = words(trim(*text));
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    return processors(integer(fields[0]), integer(fields[1]));
}

bool has_item(std::string_view list, std::string_view item) {
    const auto items = split(list, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '\\' && k + 3 < text.size()) {
            const std::string_view digits = text.substr(k + 1, 3);
            if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
                k += 3;
                continue;
            }
        }
        out.push_back(text[k]);
    }
    return out;
}

struct Mount {
    std::string root;   // the directory of the hierarchy shown at the mount point
    std::string point;  // where it is mounted
};

// The mount of the v2 hierarchy, or of the v1 hierarchy holding the cpu controller.
std::optional<Mount> cgroup_mount(std::string_view mountinfo, bool v2) {
    for (std::string_view line : split(mountinfo, '\n')) {
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto mount = words(line.substr(0, dash));
        const auto source = words(line.substr(dash + 3));
        if (mount.size() < 5 || source.size() < 3) continue;
        const bool match = v2 ? source[0] == "cgroup2" : source[0] == "cgroup" && has_item(source[2], "cpu");
        if (match) return Mount{unescape(mount[3]), unescape(mount[4])};
    }
    return std::nullopt;
}

// This process's cgroup in that hierarchy, from lines "ID:CONTROLLERS:PATH".
std::optional<std::string> own_cgroup(std::string_view cgroups, bool v2) {
    for (std::string_view line : split(cgroups, '\n')) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const bool match = v2 ? id == "0" && controllers.empty() : has_item(controllers, "cpu");
        if (match) return std::string(line.substr(second + 1));
    }
    return std::nullopt;
}

// The components of `path` below the mount's root; none when the path lies
// outside it (only the mount's own directory is then visible) or is not canonical.
std::vector<std::string_view> below_mount(std::string_view path, std::string_view mount_root) {
    const auto path_parts = split(path, '/');
    const auto root_parts = split(mount_root, '/');
    std::vector<std::string_view> parts, root;
    for (std::string_view part : path_parts)
        if (!part.empty()) parts.push_back(part);
    for (std::string_view part : root_parts)
        if (!part.empty()) root.push_back(part);
    if (root.size() > parts.size() || !std::equal(root.begin(), root.end(), parts.begin())) return {};
    parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(root.size()));
    if (std::any_of(parts.begin(), parts.end(), [](std::string_view p) { return p == "." || p == ".."; }))
        return {};
    return parts;
}

std::optional<std::size_t> limit_on_path(const std::string& root, const Mount& mount, const std::string& cgroup,
                                         bool v2) {
    auto parts = below_mount(cgroup, mount.root);
    std::optional<std::size_t> tightest;
    for (;;) {
        std::string dir = root + mount.point;
        for (std::string_view part : parts) (dir += '/') += part;
        const auto limit = v2 ? v2_limit(dir) : v1_limit(dir);
        if (limit && (!tightest || *limit < *tightest)) tightest = limit;
        if (parts.empty()) return tightest;
        parts.pop_back();
    }
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
    const auto cgroups = read_text(root + "/proc/self/cgroup");
    const auto mountinfo = read_text(root + "/proc/self/mountinfo");
    if (!cgroups || !mountinfo) return std::nullopt;
    std::optional<std::size_t> tightest;
    for (const bool v2 : {false, true}) {
        const auto mount = cgroup_mount(*mountinfo, v2);
        const auto cgroup = own_cgroup(*cgroups, v2);
        if (!mount || !cgroup) continue;
        const auto limit = limit_on_path(root, *mount, *cgroup, v2);
        if (limit && (!tightest || *limit < *tightest)) tightest = limit;
    }
    return tightest;
}

}  // namespace strata
