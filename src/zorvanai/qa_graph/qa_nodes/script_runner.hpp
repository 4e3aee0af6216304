// Runs one analysis script with its printed output captured, under a time
// limit.
//
// The script runs on a worker thread of its own, which captures what that
// thread prints; scripts run at the same time by other threads therefore
// never see each other's output, and other threads' prints reach the real
// standard output. The calling thread waits (without the GIL, Ctrl-C still
// reaches it); when the limit passes it stops the script by raising an
// exception inside the worker and returns at once, even when the worker is
// stuck in a blocking call.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace zorvanai::qa_nodes {
namespace py = pybind11;

struct ScriptOutcome {
    bool success = false;
    std::string output;      // what the script printed (success only)
    std::string error_text;  // "{type}: {message}" (failure only)
};

// Compiles `tree` (a parsed module) as "<ast>" and executes it with
// `namespace_` as globals and locals. Errors of the Exception family and an
// overrun of `limit_seconds` (none: no limit) become a failure outcome; any
// other exception the script raises (SystemExit, KeyboardInterrupt) is
// raised again here, after standard output has been restored.
ScriptOutcome run_script(const py::object& tree, const py::dict& namespace_, std::optional<double> limit_seconds);

}  // namespace zorvanai::qa_nodes
