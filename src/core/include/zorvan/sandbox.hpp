// Running model-written Python code outside the application's process.
//
// A worker interpreter, started on first use from a clean environment with
// pandas, numpy and matplotlib imported, forks one process per run. Each run
// gets its own output pipes, the settings' limits and every isolation layer
// the kernel offers (see sandbox_layers.hpp); nothing of the application
// (memory, environment, descriptors) reaches it. The calling thread waits
// without the GIL, enforces the wall-clock limit and answers Ctrl-C by
// killing the run.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorvan::sandbox {
namespace py = pybind11;

// ZORVAN_SANDBOX: "on" (default: isolate with every layer this machine
// offers), "strict" (refuse to run unless every layer holds), "off" (run
// in-process, as before isolation existed).
enum class Mode { off, on, strict };
inline constexpr const char* kModeVariable = "ZORVAN_SANDBOX";
Mode mode_from_environment();

// A script's wall-clock limit in seconds; its callers read it (the node
// module beside its own default, the code tool). The other limits' settings
// are at the end of this file.
inline constexpr const char* kTimeoutVariable = "ZORVAN_SCRIPT_TIMEOUT";

struct Limits {
    std::optional<double> wall_seconds;  // none: no wall-clock limit
    std::uint64_t memory_mib = 2048;
    std::uint64_t cpu_seconds = 120;
    std::uint64_t file_mib = 256;
    std::uint64_t processes = 64;  // processes and threads of one run
    std::uint64_t output_kib = 1024;

    // The settings from the environment (defaults above when unset); the
    // wall-clock limit is the caller's. Raises ValueError for a bad value.
    static Limits from_environment(std::optional<double> wall_seconds);
};

struct Outcome {
    bool success = false;
    std::string output;      // what the script wrote to standard output (success only)
    std::string error_text;  // "{type}: {message}" (failure only)
};

// One isolation layer and whether it held for a run on this machine.
struct Layer {
    std::string name;
    bool held = false;
    std::string detail;  // how it holds, or why it is missing
};

// The "TimeoutError: ..." text of a run stopped at its wall-clock limit.
std::string timeout_text(double seconds);

// Logs, once per process, that ZORVAN_SANDBOX=off runs scripts in-process.
void warn_in_process();

// Runs `source` once, in a fresh namespace holding `datetime`, in a new
// process forked from the worker. `save_path` (may be relative to the
// working directory) is the one directory besides a private temporary one
// where the script may write. Raises KeyboardInterrupt after killing the run
// when Ctrl-C reaches the waiting (main) thread.
Outcome run_once(const std::string& source, const std::optional<std::string>& save_path, const Limits& limits,
                 Mode mode);

// A worker child that keeps its namespace between runs, as a notebook does.
// A run that is stopped (time limit, exit, a broken limit) ends the child; the
// next run starts a fresh one.
class Session {
public:
    Session(std::optional<std::string> save_path, Limits limits, Mode mode);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Outcome run(const std::string& source);
    void close();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs an empty script and reports the layers that held for it.
std::vector<Layer> probe_layers();

// The worker's main loop: serves run requests on `control_fd` until the
// application closes it. Called in the worker interpreter.
void serve_worker(int control_fd, const std::string& private_dir);

// The settings Limits::from_environment reads; a broken limit's message
// names its own.
inline constexpr const char* kMemoryVariable = "ZORVAN_SCRIPT_MEMORY_MB";
inline constexpr const char* kCpuVariable = "ZORVAN_SCRIPT_CPU_SECONDS";
inline constexpr const char* kFileVariable = "ZORVAN_SCRIPT_FILE_MB";
inline constexpr const char* kProcessesVariable = "ZORVAN_SCRIPT_PROCESSES";
inline constexpr const char* kOutputVariable = "ZORVAN_SCRIPT_OUTPUT_KB";

}  // namespace zorvan::sandbox
