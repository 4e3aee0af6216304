// One run as the worker starts it: its settings, its channels to the
// application, and the two processes it consists of.
//
//   worker --fork--> keeper --(new namespaces) fork--> script process
//
// The keeper stays outside the run's pid namespace, waits for the script
// process and reports how it ended; the script process applies the
// isolation layers to itself and runs the code it reads from its input.
// Killing the keeper kills the script process (parent-death signal), and
// with it every process of its pid namespace.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sandbox_layers.hpp"
#include "sandbox_wire.hpp"

namespace zorvan::sandbox {

struct RunSettings {
    bool oneshot = true;  // false: a session, which runs code until its input closes
    bool strict = false;  // refuse to run unless every layer holds
    std::uint64_t memory_mib = 0;
    std::uint64_t cpu_seconds = 0;
    std::uint64_t file_mib = 0;
    std::uint64_t processes = 0;
    std::string cwd;
    std::optional<std::string> save_path;

    std::string encode() const;
    static RunSettings decode(const std::string& bytes);
};

// The run's ends of its pipes, in the order the request carries them.
struct RunChannels {
    wire::Fd out, err, report, input;
};

// What the worker knows and the run needs.
struct RunContext {
    RunSettings settings;
    std::string run_dir;                  // private temporary directory of this run
    std::string group;                    // pids cgroup, or empty
    std::string counter_missing;          // why there is no pids cgroup
    std::vector<std::string> read_paths;  // the installation and system paths
};

// How the script process ended, as the keeper saw it.
struct ExitReport {
    int status = 0;  // waitpid status
    double cpu_seconds = 0;
    std::string encode() const;
    static ExitReport decode(const std::string& bytes);
};

// The keeper: runs in the worker's forked child (GIL held), never returns.
[[noreturn]] void keeper_main(const RunContext& context, RunChannels channels);

// Moves `sources` to descriptors 0.. in order and closes every other one.
void keep_only(const std::vector<int>& sources);

// In the script process: runs one source text in `namespace_` and returns
// nothing on success, or the failure's "{type}: {message}" text.
std::optional<std::string> execute_source(const std::string& source, py::dict& namespace_, const RunSettings& settings);

// Prepares the interpreter of the script process: its temporary directory
// and output streams. Returns an error text when that fails.
std::optional<std::string> prepare_interpreter(const RunContext& context);

// Flushes Python's and C's output streams.
void flush_output() noexcept;

}  // namespace zorvan::sandbox
