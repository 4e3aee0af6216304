// The isolation layers a run's process applies to itself, each reporting
// whether it held. All of them are the kernel's own interfaces, reached
// through its headers: no system library is needed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zorvan/sandbox.hpp"

namespace zorvan::sandbox::layers {

// Names as the `zorvanai sandbox` command lists them.
inline constexpr const char* kNoNewPrivs = "no_new_privs";
inline constexpr const char* kLandlockFiles = "landlock files";
inline constexpr const char* kLandlockNetwork = "landlock network";
inline constexpr const char* kLandlockScopes = "landlock scopes";
inline constexpr const char* kSeccomp = "seccomp";
inline constexpr const char* kNetworkNamespace = "network namespace";
inline constexpr const char* kPidNamespace = "pid namespace";
inline constexpr const char* kProcessLimit = "process limit";
inline constexpr const char* kResourceLimits = "resource limits";

// The directories a run may read, and those it may also write.
struct FileRules {
    std::vector<std::string> read_dirs;
    std::vector<std::string> read_files;
    std::vector<std::string> write_dirs;
    std::vector<std::string> write_files;  // devices such as /dev/null
};

// Static read paths: the interpreter's installation (from the worker's
// sys.path and prefixes) and the system's library, font, time-zone and
// certificate directories. Paths that hold `cwd` or the home directory are
// left out. Computed in the worker, with the GIL.
std::vector<std::string> installation_paths();
std::vector<std::string> system_paths();
bool holds(const std::string& ancestor, const std::string& path);  // path is ancestor or below it

Layer no_new_privs();
// Files, network (TCP bind and connect) and scopes (abstract unix sockets,
// signals), as far as the kernel's Landlock version allows.
std::vector<Layer> landlock(const FileRules& rules);
// The system-call filter. With `refuse_processes` new processes are refused
// (threads are not): the process limit where nothing can count processes.
Layer seccomp(bool refuse_processes);
// Memory, CPU time, file size and core dumps.
Layer resource_limits(std::uint64_t memory_mib, std::uint64_t cpu_seconds, std::uint64_t file_mib);

// Enters new pid and network namespaces (the next fork is the namespace's
// first process); a user namespace is added where that is what allows it.
std::vector<Layer> enter_namespaces();

// A pids cgroup per run, when this machine lets the worker make one.
class ProcessCounter {
public:
    // Finds the pids hierarchy and makes the worker's group in it.
    void prepare();
    bool available() const { return !base_.empty(); }
    const std::string& reason() const { return reason_; }
    // A group for one run allowing `processes` tasks; empty on failure.
    std::string make_group(std::uint64_t processes);
    // Removes the group; false while tasks are still in it (after killing them).
    bool remove_group(const std::string& group);
    void remove_all();

private:
    std::string base_;  // the worker's own group in the pids hierarchy
    std::string reason_;
    std::uint64_t next_ = 0;
};

// Moves the calling process into `group`.
bool join_group(const std::string& group);

}  // namespace zorvan::sandbox::layers
