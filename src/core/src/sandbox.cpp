// Settings, the two ways to run code (once, or in a session) and the layer
// report, over the worker and its runs.
#include "zorvan/sandbox.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "sandbox_client.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvan::sandbox {

namespace {

constexpr const char* kLogger = "zorvanai.sandbox";

std::uint64_t positive_setting(const char* name, std::uint64_t fallback) {
    const char* raw = std::getenv(name);
    if (raw == nullptr || *raw == '\0') return fallback;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(raw, &end, 10);
    if (end == raw || *end != '\0' || value == 0 || errno != 0 || raw[0] == '-') {
        throw py::value_error(std::string(name) + " must be a positive whole number, not '" + raw + "'");
    }
    return value;
}

py::object logger() {
    return zorvan::imported(zorvan::dep::logging_getLogger)(kLogger);
}

// Once per process: the layers this machine lacks.
void warn_missing_layers(const std::vector<Layer>& found) {
    static bool reported = false;
    if (reported || found.empty()) return;
    reported = true;
    std::string missing;
    for (const Layer& layer : found) {
        if (!layer.held) missing += (missing.empty() ? "" : "; ") + layer.name + " (" + layer.detail + ")";
    }
    if (missing.empty()) return;
    logger().attr("warning")(
        "Scripts run in an isolated process, but these isolation layers are missing on this machine: " + missing +
        ". `zorvanai sandbox` lists the layers; ZORVAN_SANDBOX=strict refuses to run scripts without them.");
}

void log_error_output(const Run& run) {
    if (run.error_output().empty()) return;
    logger().attr("debug")("The script wrote to standard error:\n%s", utf8_text(run.error_output()));
}

RunSettings settings_for(const Limits& limits, Mode mode, const std::optional<std::string>& save_path, bool oneshot) {
    RunSettings s;
    s.oneshot = oneshot;
    s.strict = mode == Mode::strict;
    s.memory_mib = limits.memory_mib;
    s.cpu_seconds = limits.cpu_seconds;
    s.file_mib = limits.file_mib;
    s.processes = limits.processes;
    s.cwd = py::str(zorvan::imported(zorvan::dep::os_getcwd)());
    s.save_path = save_path;
    return s;
}

Outcome start_failure(const std::exception& error) {
    return Outcome{false, "", std::string("RuntimeError: ") + error.what()};
}

}  // namespace

Mode mode_from_environment() {
    const char* raw = std::getenv(kModeVariable);
    std::string value = raw == nullptr ? "" : raw;
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (value.empty() || value == "on") return Mode::on;
    if (value == "strict") return Mode::strict;
    if (value == "off") return Mode::off;
    throw py::value_error(std::string(kModeVariable) + " must be on, strict or off, not '" + raw + "'");
}

Limits Limits::from_environment(std::optional<double> wall_seconds) {
    Limits limits;
    limits.wall_seconds = wall_seconds;
    limits.memory_mib = positive_setting(kMemoryVariable, limits.memory_mib);
    limits.cpu_seconds = positive_setting(kCpuVariable, limits.cpu_seconds);
    limits.file_mib = positive_setting(kFileVariable, limits.file_mib);
    limits.processes = positive_setting(kProcessesVariable, limits.processes);
    limits.output_kib = positive_setting(kOutputVariable, limits.output_kib);
    return limits;
}

std::string timeout_text(double seconds) {
    std::string amount;
    if (seconds < 1e15 && seconds == static_cast<double>(static_cast<long long>(seconds))) {
        const long long whole = static_cast<long long>(seconds);
        amount = std::to_string(whole) + (whole == 1 ? " second" : " seconds");
    } else {
        amount = float_repr(seconds) + " seconds";
    }
    return "TimeoutError: the script did not finish within " + amount + " and was stopped";
}

void warn_in_process() {
    static bool reported = false;
    if (reported) return;
    reported = true;
    logger().attr("warning")(
        "ZORVAN_SANDBOX=off: model-written scripts run inside the application's process, with its rights, its "
        "secrets in reach and no limits but the time limit.");
}

Outcome run_once(const std::string& source, const std::optional<std::string>& save_path, const Limits& limits,
                 Mode mode) {
    const RunSettings settings = settings_for(limits, mode, save_path, true);
    try {
        Run run(settings, limits);
        Outcome outcome = run.execute(source);
        run.stop();
        log_error_output(run);
        warn_missing_layers(run.layers());
        return outcome;
    } catch (const std::runtime_error& error) {
        return start_failure(error);
    }
}

class Session::Impl {
public:
    Impl(std::optional<std::string> save_path, Limits limits, Mode mode)
        : save_path_(std::move(save_path)), limits_(limits), mode_(mode) {}

    Outcome run(const std::string& source) {
        // One run at a time per session: its process reads one source after another.
        const auto lock = lock_without_gil(mutex_);
        try {
            if (!run_ || run_->ended()) {
                run_.reset();
                run_ = std::make_unique<Run>(settings_for(limits_, mode_, save_path_, false), limits_);
            }
            Outcome outcome = run_->execute(source);
            log_error_output(*run_);
            warn_missing_layers(run_->layers());
            if (run_->ended()) run_.reset();
            return outcome;
        } catch (const std::runtime_error& error) {
            run_.reset();
            return start_failure(error);
        }
    }

    void close() {
        const auto lock = lock_without_gil(mutex_);
        run_.reset();
    }

private:
    std::mutex mutex_;
    std::optional<std::string> save_path_;
    Limits limits_;
    Mode mode_;
    std::unique_ptr<Run> run_;
};

Session::Session(std::optional<std::string> save_path, Limits limits, Mode mode)
    : impl_(std::make_unique<Impl>(std::move(save_path), limits, mode)) {}
Session::~Session() = default;

Outcome Session::run(const std::string& source) {
    return impl_->run(source);
}

void Session::close() {
    impl_->close();
}

std::vector<Layer> probe_layers() {
    const Limits limits = Limits::from_environment(60.0);
    Run run(settings_for(limits, Mode::on, std::nullopt, true), limits);
    const Outcome outcome = run.execute("");
    run.stop();
    if (!outcome.success) throw std::runtime_error("the probe script failed: " + outcome.error_text);
    return run.layers();
}

}  // namespace zorvan::sandbox
