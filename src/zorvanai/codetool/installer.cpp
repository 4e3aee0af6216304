#include "installer.hpp"

#include <cmath>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"
#include "zorvan/signed.hpp"

namespace zorvanai::codetool {
namespace {

struct Failure {
    py::object package;
    std::optional<long> status;  // empty: stopped at the time limit
};

std::string seconds_text(double seconds) {
    if (seconds == std::floor(seconds) && seconds < 1e15) return std::to_string(static_cast<long long>(seconds));
    return zorvan::float_repr(seconds);
}

std::string describe(const Failure& failure, double limit) {
    std::string text = py::str(failure.package);
    if (!failure.status) return text + " (timed out after " + seconds_text(limit) + " seconds)";
    if (*failure.status < 0) return text + " (killed by signal " + std::to_string(-*failure.status) + ")";
    return text + " (exit status " + std::to_string(*failure.status) + ")";
}

[[noreturn]] void raise_failures(const py::object& error_class, const std::vector<Failure>& failures, double limit) {
    std::string message = "package installer failed for ";
    py::list listed;
    for (std::size_t i = 0; i < failures.size(); ++i) {
        if (i > 0) message += ", ";
        message += describe(failures[i], limit);
        listed.append(py::make_tuple(failures[i].package,
                                     failures[i].status ? py::object(py::int_(*failures[i].status)) : py::none()));
    }
    py::object error = error_class(message);
    error.attr("failures") = listed;
    PyErr_SetObject(error_class.ptr(), error.ptr());
    throw py::error_already_set();
}

// The child writes straight to file descriptors 1 and 2: text still buffered
// in the host's streams has to go out first to keep the console in order.
void flush_host_streams() {
    py::module_ sys = zorvan::imported_module(zorvan::dep::sys_module);
    for (const char* stream : {"stdout", "stderr"}) {
        py::object target = sys.attr(stream);
        if (!target.is_none() && py::hasattr(target, "flush")) target.attr("flush")();
    }
}

}  // namespace

double installer_time_limit() {
    const char* raw = std::getenv(kTimeLimitVariable);
    if (raw == nullptr || *raw == '\0') return kDefaultTimeLimitSeconds;
    char* end = nullptr;
    const double value = std::strtod(raw, &end);
    if (end == raw || *end != '\0' || !(value > 0) || !std::isfinite(value)) {
        throw py::value_error(std::string(kTimeLimitVariable) + " must be a positive number of seconds, not '" + raw +
                              "'");
    }
    return value;
}

void install_dependencies(const ModuleNamespace& ns, const py::object& error_class, const py::object& dependencies) {
    const double limit = installer_time_limit();
    // A name that begins with "-" would be read by pip as an option (an index
    // to install from, a file of requirements): all names are checked before
    // the first run, and "--" ends pip's options in every run.
    std::vector<py::object> packages;
    for (py::handle item : py::iter(dependencies)) {
        auto package = py::reinterpret_borrow<py::object>(item);
        const std::string name = py::str(package);
        if (!name.empty() && name.front() == '-') {
            throw py::value_error("package name '" + name +
                                  "' begins with '-', which the package installer would read as an option; "
                                  "no package was installed");
        }
        packages.push_back(package);
    }
    std::vector<Failure> failures;
    for (const py::object& package : packages) {
        py::object subprocess = ns.lookup("subprocess");
        py::list command;
        command.append(ns.lookup("python_executable"));
        for (const char* word : {"-m", "pip", "install", "--"}) command.append(py::str(word));
        command.append(package);
        flush_host_streams();
        try {
            // run() kills and reaps the child when the limit passes.
            py::object finished = subprocess.attr("run")(command, py::arg("timeout") = limit);
            const long status = finished.attr("returncode").cast<long>();
            if (status != 0) failures.push_back({package, status});
        } catch (py::error_already_set& error) {
            if (!error.matches(subprocess.attr("TimeoutExpired"))) throw;
            failures.push_back({package, std::nullopt});
        }
    }
    if (!failures.empty()) raise_failures(error_class, failures, limit);
}

}  // namespace zorvanai::codetool
