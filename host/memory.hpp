// How much memory this process may still take: the least of what the
// machine has free and what the limits the process runs under leave it (a
// memory cgroup, as containers, Slurm jobs and systemd's MemoryMax set; an
// address-space rlimit; a Windows job object). Where a limit is exceeded
// the system kills the process or fails the allocation, so the modules
// compare a size taken from an argument with this before allocating.
// Nothing here calls the host.
#pragma once

#include "platform.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

namespace host {
namespace memory_detail {

constexpr double NO_LIMIT = std::numeric_limits<double>::infinity();
constexpr double UNKNOWN = -1.0;

#if defined(__linux__)

// Longest path and line read; a longer line is skipped whole.
constexpr std::size_t PATH_BYTES = 4096;

// The next whole line of `file` into `line`, without its newline; false at
// the end. A line longer than `size` comes back empty, so that its pieces
// are never read as lines of their own.
inline bool read_line(std::FILE *file, char *line, std::size_t size)
{
    if (!std::fgets(line, static_cast<int>(size), file))
        return false;
    const std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
        line[length - 1] = '\0';
        return true;
    }
    if (length + 1 < size) // the file's last line
        return true;
    for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file)) {
    }
    line[0] = '\0';
    return true;
}

// The number in a cgroup or /proc file: its first word, or the first word
// after `key` on the line that starts with it (memory.stat's "key value",
// status's "Key:  value kB"). NO_LIMIT for "max"; UNKNOWN where the file,
// the line or the number is missing.
inline double file_number(const char *path, const char *key = nullptr)
{
    std::FILE *file = std::fopen(path, "r");
    if (!file)
        return UNKNOWN;
    double value = UNKNOWN;
    const std::size_t skip = key ? std::strlen(key) : 0;
    char line[256];
    while (read_line(file, line, sizeof line)) {
        if (key && std::strncmp(line, key, skip) != 0)
            continue;
        char word[32];
        if (std::sscanf(line + skip, "%31s", word) == 1) {
            char *end = nullptr;
            const double number = std::strtod(word, &end);
            if (std::strcmp(word, "max") == 0)
                value = NO_LIMIT;
            else if (end != word && *end == '\0' && number >= 0)
                value = number;
        }
        break;
    }
    std::fclose(file);
    return value;
}

// /proc/self/mountinfo writes a space, tab, newline or backslash in a path
// as an octal escape (\040); decoded in place.
inline void unescape(char *path)
{
    char *to = path;
    for (const char *from = path; *from; ++to) {
        if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' &&
            from[2] <= '7' && from[3] >= '0' && from[3] <= '7') {
            *to = static_cast<char>((from[1] - '0') * 64 + (from[2] - '0') * 8 + (from[3] - '0'));
            from += 4;
        } else {
            *to = *from++;
        }
    }
    *to = '\0';
}

// Whether the comma-separated `list` has `item`.
inline bool lists_item(const char *list, const char *item)
{
    const std::size_t n = std::strlen(item);
    for (const char *at = list; at; at = std::strchr(at, ',')) {
        if (*at == ',')
            ++at;
        if (std::strncmp(at, item, n) == 0 && (at[n] == ',' || at[n] == '\0'))
            return true;
    }
    return false;
}

// One cgroup version's memory files: the limit ("max" or a huge number for
// none), the group's usage, and the page cache the kernel reclaims before
// it kills (memory.stat's inactive file pages; usage counts them).
struct GroupFiles {
    const char *limit;
    const char *usage;
    const char *reclaimable;
};
constexpr GroupFiles V1_FILES{"memory.limit_in_bytes", "memory.usage_in_bytes",
                              "total_inactive_file "};
constexpr GroupFiles V2_FILES{"memory.max", "memory.current", "inactive_file "};

// v1 writes "no limit" as the largest page-aligned count; no machine has an
// exabyte.
constexpr double UNLIMITED_BYTES = 1e18;

// The least headroom, limit less usage, of the group at `dir` and of every
// group above it up to the hierarchy's root, the first `top` characters of
// `dir`: the kernel enforces each of them, and an ancestor's usage counts its
// other members too. In v2 a group need not set memory.max for an ancestor's
// to hold (a systemd slice's MemoryMax above a session's scope), so the walk
// goes on past a group without a limit. NO_LIMIT where none is set.
inline double headroom_up_from(char *dir, std::size_t top, const GroupFiles &files)
{
    double least = NO_LIMIT;
    char file[PATH_BYTES + 64];
    for (;;) {
        std::snprintf(file, sizeof file, "%s/%s", dir, files.limit);
        const double limit = file_number(file);
        if (limit >= 0 && limit < UNLIMITED_BYTES) {
            std::snprintf(file, sizeof file, "%s/%s", dir, files.usage);
            const double usage = file_number(file);
            std::snprintf(file, sizeof file, "%s/memory.stat", dir);
            const double reclaimable = file_number(file, files.reclaimable);
            if (usage >= 0)
                least = std::min(least, std::max(0.0, limit - usage + std::max(0.0, reclaimable)));
        }
        char *slash = std::strrchr(dir, '/');
        if (std::strlen(dir) <= top || slash == nullptr)
            return least;
        *(slash - dir < static_cast<std::ptrdiff_t>(top) ? dir + top : slash) = '\0';
    }
}

// The memory cgroups' headroom for this process: its group in the v1 memory
// hierarchy and in the v2 unified one (/proc/self/cgroup), found where
// those hierarchies are mounted (/proc/self/mountinfo; a container sees its
// own group as the mount's root). NO_LIMIT where no group limits it.
inline double cgroup_headroom()
{
    char v1_path[PATH_BYTES] = "";
    char v2_path[PATH_BYTES] = "";
    bool v1 = false, v2 = false;
    char line[PATH_BYTES];
    if (std::FILE *groups = std::fopen("/proc/self/cgroup", "r")) {
        // "id:controllers:path"; v2's line is "0::path".
        while (read_line(groups, line, sizeof line)) {
            char *controllers = std::strchr(line, ':');
            char *path = controllers ? std::strchr(controllers + 1, ':') : nullptr;
            if (path == nullptr)
                continue;
            *controllers++ = '\0';
            *path++ = '\0';
            if (std::strcmp(line, "0") == 0 && *controllers == '\0') {
                std::snprintf(v2_path, sizeof v2_path, "%s", path);
                v2 = true;
            } else if (lists_item(controllers, "memory")) {
                std::snprintf(v1_path, sizeof v1_path, "%s", path);
                v1 = true;
            }
        }
        std::fclose(groups);
    }
    double least = NO_LIMIT;
    if (!v1 && !v2)
        return least;
    std::FILE *mounts = std::fopen("/proc/self/mountinfo", "r");
    if (!mounts)
        return least;
    // "id parent dev root mountpoint options [tags] - fstype source superoptions"
    char root[PATH_BYTES], point[PATH_BYTES], fstype[64], super[PATH_BYTES];
    char dir[PATH_BYTES];
    while (read_line(mounts, line, sizeof line)) {
        const char *tail = std::strstr(line, " - ");
        if (tail == nullptr ||
            std::sscanf(line, "%*s %*s %*s %4095s %4095s", root, point) != 2 ||
            std::sscanf(tail + 3, "%63s %*s %4095s", fstype, super) != 2)
            continue;
        const bool unified = v2 && std::strcmp(fstype, "cgroup2") == 0;
        const bool memory = v1 && std::strcmp(fstype, "cgroup") == 0 && lists_item(super, "memory");
        if (!unified && !memory)
            continue;
        unescape(root);
        unescape(point);
        // The group's path below the mount's root.
        const char *path = unified ? v2_path : v1_path;
        const std::size_t shared = std::strcmp(root, "/") == 0 ? 0 : std::strlen(root);
        if (std::strncmp(path, root, shared) != 0 || (path[shared] != '/' && path[shared] != '\0'))
            continue;
        std::snprintf(dir, sizeof dir, "%s%s", point, path + shared);
        for (std::size_t n = std::strlen(dir); n > std::strlen(point) && dir[n - 1] == '/'; --n)
            dir[n - 1] = '\0';
        least = std::min(least, headroom_up_from(dir, std::strlen(point),
                                                 unified ? V2_FILES : V1_FILES));
    }
    std::fclose(mounts);
    return least;
}

// RLIMIT_AS less the address space mapped now (VmSize): past it, mmap and
// malloc fail.
inline double address_space_headroom()
{
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return NO_LIMIT;
    const double mapped_kb = file_number("/proc/self/status", "VmSize:");
    if (mapped_kb < 0)
        return NO_LIMIT;
    return std::max(0.0, static_cast<double>(limit.rlim_cur) - 1024.0 * mapped_kb);
}

#endif // __linux__

#if defined(_WIN32)

// The limits of the job object the process runs in, if any, less what the
// process has committed. Of the job's own commitment the API tells only the
// peak, which stays high after a large call ends; the process's share is
// counted instead, so other processes of the job are not (an allocation
// past the job's limit fails, with the host's own error).
inline double job_headroom()
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job;
    if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                   nullptr))
        return NO_LIMIT;
    const DWORD flags = job.BasicLimitInformation.LimitFlags;
    if (!(flags & (JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_JOB_MEMORY)))
        return NO_LIMIT;
    PROCESS_MEMORY_COUNTERS_EX counters;
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                                 reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                                 sizeof counters))
        return NO_LIMIT;
    const double committed = static_cast<double>(counters.PrivateUsage);
    double least = NO_LIMIT;
    if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY)
        least = std::min(least, static_cast<double>(job.ProcessMemoryLimit) - committed);
    if (flags & JOB_OBJECT_LIMIT_JOB_MEMORY)
        least = std::min(least, static_cast<double>(job.JobMemoryLimit) - committed);
    return std::max(0.0, least);
}

#endif // _WIN32

// What the machine has free, in bytes, or UNKNOWN. Linux: MemAvailable plus
// free swap; Windows: what may still be committed; elsewhere the physical
// memory.
inline double machine_free()
{
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return UNKNOWN;
    return static_cast<double>(status.ullAvailPageFile);
#else
#if defined(__linux__)
    const double available_kb = file_number("/proc/meminfo", "MemAvailable:");
    if (available_kb >= 0)
        return 1024.0 * (available_kb + std::max(0.0, file_number("/proc/meminfo", "SwapFree:")));
#endif
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0)
        return static_cast<double>(pages) * static_cast<double>(page_size);
    return UNKNOWN;
#endif
}

} // namespace memory_detail

// The memory this process could still take, in bytes, or a negative number
// where the platform tells nothing: the least of the machine's free memory
// and the headroom under each limit the process runs under.
inline double available_memory()
{
    using namespace memory_detail;
    double limits = NO_LIMIT;
#if defined(__linux__)
    limits = std::min(cgroup_headroom(), address_space_headroom());
#elif defined(_WIN32)
    limits = job_headroom();
#endif
    const double machine = machine_free();
    if (machine < 0)
        return limits == NO_LIMIT ? UNKNOWN : limits;
    return std::min(machine, limits);
}

} // namespace host
