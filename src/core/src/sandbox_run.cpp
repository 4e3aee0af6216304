#include "sandbox_run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "zorvan/python_names.hpp"

namespace zorvan::sandbox {

namespace {

constexpr int kHighFd = 256;  // above anything the worker has open

void report(int fd, wire::Frame kind, const std::string& payload = {}) {
    wire::write_all(fd, wire::frame(kind, payload));
}

std::string encode_layers(const std::vector<Layer>& found) {
    wire::Writer writer;
    writer.u64(static_cast<std::uint64_t>(::getpid())).u64(found.size());
    for (const Layer& layer : found) writer.text(layer.name).u64(layer.held ? 1 : 0).text(layer.detail);
    return writer.bytes();
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    char here[4096];
    return ::getcwd(here, sizeof here) != nullptr ? std::string(here) + "/" + path : path;
}

layers::FileRules file_rules(const RunContext& context) {
    layers::FileRules rules;
    const std::string& cwd = context.settings.cwd;
    for (const std::string& path : context.read_paths) {
        // A path that holds the working directory would open it (and .env) to reading.
        if (!layers::holds(path, cwd)) rules.read_dirs.push_back(path);
    }
    rules.read_files = {"/etc/localtime", "/dev/urandom", "/dev/random"};
    rules.write_dirs.push_back(context.run_dir);
    if (context.settings.save_path) rules.write_dirs.push_back(absolute(*context.settings.save_path));
    rules.write_files = {"/dev/null", "/dev/zero"};
    return rules;
}

// Everything the script process does before the first line of the script.
std::vector<Layer> isolate(const RunContext& context, std::vector<Layer> found, bool counted) {
    const RunSettings& s = context.settings;
    found.push_back(layers::resource_limits(s.memory_mib, s.cpu_seconds, s.file_mib));
    found.push_back(layers::no_new_privs());
    for (Layer& layer : layers::landlock(file_rules(context))) found.push_back(std::move(layer));
    Layer filter = layers::seccomp(!counted);
    Layer processes{layers::kProcessLimit, false, ""};
    if (counted) {
        processes = {layers::kProcessLimit, true,
                     "pids cgroup: at most " + std::to_string(s.processes) + " processes and threads"};
    } else if (filter.held) {
        processes = {layers::kProcessLimit, true,
                     "new processes refused, threads allowed (" + context.counter_missing + ")"};
    } else {
        processes.detail = context.counter_missing + "; and without seccomp new processes cannot be refused";
    }
    found.push_back(std::move(filter));
    found.push_back(std::move(processes));
    return found;
}

std::optional<std::string> strict_refusal(const std::vector<Layer>& found) {
    for (const Layer& layer : found) {
        if (!layer.held) {
            return "RuntimeError: ZORVAN_SANDBOX=strict refuses to run the script: the isolation layer '" + layer.name +
                   "' is missing here (" + layer.detail + ")";
        }
    }
    return std::nullopt;
}

[[noreturn]] void script_process(const RunContext& context, int alive_fd, std::vector<Layer> found, bool counted) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    pollfd keeper{alive_fd, POLLIN, 0};
    if (::poll(&keeper, 1, 0) != 0) ::_exit(1);  // the keeper is already gone
    ::setsid();
    const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    keep_only({devnull, 0, 1, 2, 3});  // stdin, stdout, stderr, report, input
    const int report_fd = 3, input_fd = 4;
    const RunSettings& s = context.settings;
    std::optional<std::string> failure;
    if (::chdir(s.cwd.c_str()) != 0) {
        failure = "FileNotFoundError: the application's working directory " + s.cwd + " cannot be entered";
    }
    if (!failure) failure = prepare_interpreter(context);
    found = isolate(context, std::move(found), counted);
    report(report_fd, wire::Frame::layers, encode_layers(found));
    if (!failure && s.strict) failure = strict_refusal(found);
    if (failure) {
        report(report_fd, wire::Frame::result_error, *failure);
        ::_exit(0);
    }
    const pid_t self = ::getpid();
    py::dict namespace_;
    namespace_["datetime"] = zorvan::imported_module(zorvan::dep::datetime_module);
    while (true) {
        wire::Frame kind{};
        std::string source;
        bool got = false;
        {
            py::gil_scoped_release released;
            got = wire::read_frame(input_fd, kind, source);
        }
        if (!got || kind != wire::Frame::code) break;
        std::optional<std::string> error = execute_source(source, namespace_, s);
        flush_output();
        // A process the script forked comes back here too: it reports nothing.
        if (::getpid() != self) ::_exit(0);
        if (error) {
            report(report_fd, wire::Frame::result_error, *error);
        } else {
            report(report_fd, wire::Frame::result_ok);
        }
        if (s.oneshot) break;
    }
    ::_exit(0);
}

}  // namespace

std::string RunSettings::encode() const {
    wire::Writer writer;
    writer.u64(oneshot).u64(strict).u64(memory_mib).u64(cpu_seconds).u64(file_mib).u64(processes).text(cwd);
    writer.u64(save_path ? 1 : 0).text(save_path.value_or(""));
    return writer.bytes();
}

RunSettings RunSettings::decode(const std::string& bytes) {
    wire::Reader reader(bytes);
    RunSettings s;
    s.oneshot = reader.u64() != 0;
    s.strict = reader.u64() != 0;
    s.memory_mib = reader.u64();
    s.cpu_seconds = reader.u64();
    s.file_mib = reader.u64();
    s.processes = reader.u64();
    s.cwd = reader.text();
    const bool has_save_path = reader.u64() != 0;
    std::string save_path = reader.text();
    if (has_save_path) s.save_path = std::move(save_path);
    return s;
}

std::string ExitReport::encode() const {
    return wire::Writer()
        .u64(static_cast<std::uint32_t>(status))
        .u64(static_cast<std::uint64_t>(cpu_seconds * 1000))
        .bytes();
}

ExitReport ExitReport::decode(const std::string& bytes) {
    wire::Reader reader(bytes);
    ExitReport exit;
    exit.status = static_cast<int>(static_cast<std::uint32_t>(reader.u64()));
    exit.cpu_seconds = static_cast<double>(reader.u64()) / 1000.0;
    return exit;
}

void keep_only(const std::vector<int>& sources) {
    std::vector<int> high;
    for (int fd : sources) high.push_back(fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, kHighFd));
    for (std::size_t i = 0; i < high.size(); ++i) {
        if (high[i] >= 0) ::dup2(high[i], static_cast<int>(i));
    }
    const auto first = static_cast<unsigned>(sources.size());
    if (::syscall(SYS_close_range, first, ~0U, 0) != 0) {
        const long most = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
        for (long fd = first; fd < most; ++fd) ::close(static_cast<int>(fd));
    }
}

void keeper_main(const RunContext& context, RunChannels channels) {
    keep_only({channels.out.release(), channels.err.release(), channels.report.release(), channels.input.release()});
    const int report_fd = 2;
    const bool counted = layers::join_group(context.group);
    std::vector<Layer> found = layers::enter_namespaces();
    int alive[2];
    if (::pipe2(alive, O_CLOEXEC) != 0) ::_exit(1);
    PyOS_BeforeFork();
    const pid_t child = ::fork();
    if (child == 0) {
        PyOS_AfterFork_Child();
        ::close(alive[1]);
        script_process(context, alive[0], std::move(found), counted);
    }
    PyOS_AfterFork_Parent();
    if (child < 0) {
        report(report_fd, wire::Frame::result_error,
               std::string("RuntimeError: cannot start the script's process: ") + std::strerror(errno));
        ::_exit(1);
    }
    ::close(alive[0]);
    for (int fd : {0, 1, 3}) ::close(fd);  // the script process's ends
    ExitReport exit;
    rusage usage{};
    while (::wait4(child, &exit.status, 0, &usage) < 0 && errno == EINTR) {
    }
    exit.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    report(report_fd, wire::Frame::exit, exit.encode());
    ::_exit(0);
}

}  // namespace zorvan::sandbox
