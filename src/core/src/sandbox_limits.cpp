// Namespaces, resource limits and the per-run pids cgroup.
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sandbox_layers.hpp"

namespace zorvan::sandbox::layers {

namespace {

bool write_file(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

bool limit(int resource, rlim_t value) {
    rlimit current{};
    if (::getrlimit(resource, &current) != 0) return false;
    // Never above an existing hard limit: lowering is always allowed.
    if (current.rlim_max != RLIM_INFINITY && value > current.rlim_max) value = current.rlim_max;
    const rlimit wanted{value, value};
    return ::setrlimit(resource, &wanted) == 0;
}

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The user namespace that lets a process without privileges make the
// others; it maps the caller's own ids.
bool enter_user_namespace(int flags) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | flags) != 0) return false;
    write_file("/proc/self/setgroups", "deny");
    return write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
           write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

// Groups left by workers that were killed before they could remove them.
void remove_stale_groups(const std::string& parent) {
    const std::string prefix = "zorvanai-sandbox-";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        for (const auto& run : std::filesystem::directory_iterator(entry.path(), error)) {
            if (run.is_directory(error) && run.path().filename().string().compare(0, 4, "run-") == 0) {
                ::rmdir(run.path().c_str());
            }
        }
        ::rmdir(entry.path().c_str());
    }
}

}  // namespace

std::vector<Layer> enter_namespaces() {
    Layer pid{kPidNamespace, false, ""};
    Layer net{kNetworkNamespace, false, ""};
    const int both = CLONE_NEWPID | CLONE_NEWNET;
    if (::unshare(both) == 0) {
        pid = {kPidNamespace, true, "the run is the first process of its own pid namespace"};
        net = {kNetworkNamespace, true, "an empty network namespace (no interface is up)"};
    } else if (enter_user_namespace(both)) {
        pid = {kPidNamespace, true, "the run is the first process of its own pid namespace (in a user namespace)"};
        net = {kNetworkNamespace, true, "an empty network namespace (in a user namespace)"};
    } else {
        const std::string why = errno_text("unshare refused (unprivileged user namespaces disabled?)");
        // One may still be allowed alone.
        if (::unshare(CLONE_NEWNET) == 0) {
            net = {kNetworkNamespace, true, "an empty network namespace"};
        } else {
            net.detail = why;
        }
        pid.detail = why;
    }
    return {pid, net};
}

Layer resource_limits(std::uint64_t memory_mib, std::uint64_t cpu_seconds, std::uint64_t file_mib) {
    const bool ok = limit(RLIMIT_AS, static_cast<rlim_t>(memory_mib) << 20) &&
                    limit(RLIMIT_CPU, static_cast<rlim_t>(cpu_seconds)) &&
                    limit(RLIMIT_FSIZE, static_cast<rlim_t>(file_mib) << 20) && limit(RLIMIT_CORE, 0);
    if (!ok) return {kResourceLimits, false, errno_text("setrlimit failed")};
    return {kResourceLimits, true,
            "address space " + std::to_string(memory_mib) + " MiB, CPU " + std::to_string(cpu_seconds) +
                " s, file size " + std::to_string(file_mib) + " MiB"};
}

void ProcessCounter::prepare() {
    // /proc/self/cgroup: "ID:pids:/path" (v1) or "0::/path" (v2).
    std::ifstream groups("/proc/self/cgroup");
    std::string line, v1_path, v2_path;
    while (std::getline(groups, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        std::stringstream names(controllers);
        std::string name;
        while (std::getline(names, name, ',')) {
            if (name == "pids") v1_path = path;
        }
        if (line.compare(0, 3, "0::") == 0) v2_path = path;
    }
    std::ifstream mounts("/proc/self/mountinfo");
    std::string v1_mount, v2_mount;
    while (std::getline(mounts, line)) {
        std::stringstream fields(line);
        std::string field, mount_point;
        for (int i = 0; i < 5 && fields >> field; ++i) {
            if (i == 4) mount_point = field;
        }
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::stringstream rest(line.substr(dash + 3));
        std::string type, source, options;
        rest >> type >> source >> options;
        if (type == "cgroup" && ("," + options + ",").find(",pids,") != std::string::npos) v1_mount = mount_point;
        if (type == "cgroup2" && v2_mount.empty()) v2_mount = mount_point;
    }
    std::string parent;
    if (!v1_mount.empty() && !v1_path.empty()) {
        parent = v1_mount + (v1_path == "/" ? "" : v1_path);
    } else if (!v2_mount.empty() && !v2_path.empty()) {
        parent = v2_mount + (v2_path == "/" ? "" : v2_path);
        write_file(parent + "/cgroup.subtree_control", "+pids");
    } else {
        reason_ = "no pids cgroup controller is mounted";
        return;
    }
    remove_stale_groups(parent);
    const std::string own = parent + "/zorvanai-sandbox-" + std::to_string(::getpid());
    if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) {
        reason_ = errno_text(("cannot make a cgroup under " + parent).c_str());
        return;
    }
    struct stat info{};
    const std::string probe = own + "/pids.max";
    if (::stat(probe.c_str(), &info) != 0) {
        // cgroup v2 without the pids controller delegated to us.
        ::rmdir(own.c_str());
        reason_ = "the pids controller is not enabled for " + parent;
        return;
    }
    base_ = own;
}

std::string ProcessCounter::make_group(std::uint64_t processes) {
    if (base_.empty()) return {};
    const std::string group = base_ + "/run-" + std::to_string(++next_);
    if (::mkdir(group.c_str(), 0700) != 0) return {};
    // The keeper of the run is in the group too.
    if (!write_file(group + "/pids.max", std::to_string(processes + 1))) {
        ::rmdir(group.c_str());
        return {};
    }
    return group;
}

bool ProcessCounter::remove_group(const std::string& group) {
    if (::rmdir(group.c_str()) == 0 || errno == ENOENT) return true;
    std::ifstream tasks(group + "/cgroup.procs");
    pid_t pid = 0;
    while (tasks >> pid) ::kill(pid, SIGKILL);
    return false;
}

void ProcessCounter::remove_all() {
    if (!base_.empty()) ::rmdir(base_.c_str());
}

bool join_group(const std::string& group) {
    return !group.empty() && write_file(group + "/cgroup.procs", "0");
}

}  // namespace zorvan::sandbox::layers
