// Package installer runs: one child process per package, each with a time
// limit, and the error that reports the runs that failed.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "namespace.hpp"

namespace zorvanai::codetool {

// Environment variable with the time limit of one installer run in seconds.
inline constexpr const char* kTimeLimitVariable = "ZORVAN_INSTALL_TIMEOUT";
inline constexpr double kDefaultTimeLimitSeconds = 900.0;

// Runs `python_executable -m pip install <name>` for each name in turn, with
// inherited streams and environment, and raises `error_class` naming every
// run that failed once all have been tried. An installer that cannot be
// started stops the loop with the error of the start.
void install_dependencies(const ModuleNamespace& ns, const py::object& error_class, const py::object& dependencies);

// The time limit of one installer run, from kTimeLimitVariable.
double installer_time_limit();

}  // namespace zorvanai::codetool
