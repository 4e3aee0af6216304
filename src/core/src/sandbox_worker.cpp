// The worker: a fresh interpreter with the analysis libraries imported that
// forks one keeper per run request and cleans up after it.
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>

#include "sandbox_run.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

namespace zorvan::sandbox {

namespace layers {

bool holds(const std::string& ancestor, const std::string& path) {
    if (ancestor.empty()) return false;
    if (ancestor == "/") return true;
    return path == ancestor || (path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
                                path[ancestor.size()] == '/');
}

std::vector<std::string> installation_paths() {
    py::module_ sys = zorvan::imported_module(zorvan::dep::sys_module);
    py::object real = zorvan::imported(zorvan::dep::os_path_realpath);
    py::object is_dir = zorvan::imported(zorvan::dep::os_path_isdir);
    std::set<std::string> found;
    auto add = [&](py::handle path) {
        if (path.is_none() || !is_dir(path).cast<bool>()) return;
        found.insert(py::str(real(path)));
    };
    for (py::handle entry : sys.attr("path")) add(entry);
    for (const char* prefix : {"prefix", "base_prefix", "exec_prefix", "base_exec_prefix"}) add(sys.attr(prefix));
    for (auto item : py::dict(zorvan::imported(zorvan::dep::sysconfig_get_paths)())) add(item.second);
    // Nothing that holds a home directory: the interpreter's own directories are listed one by one instead.
    std::vector<std::string> homes;
    if (const passwd* user = ::getpwuid(::getuid())) homes.emplace_back(user->pw_dir);
    std::vector<std::string> paths;
    for (const std::string& path : found) {
        bool shelters_home = false;
        for (const std::string& home : homes) shelters_home = shelters_home || holds(path, home);
        if (!shelters_home) paths.push_back(path);
    }
    return paths;
}

std::vector<std::string> system_paths() {
    return {"/usr/lib",
            "/usr/lib64",
            "/lib",
            "/lib64",
            "/usr/local/lib",
            "/usr/share/fonts",
            "/usr/local/share/fonts",
            "/usr/share/zoneinfo",
            "/etc/ssl/certs",
            "/usr/share/ca-certificates"};
}

}  // namespace layers

namespace {

constexpr int kTickMilliseconds = 250;

struct Keeper {
    std::string run_dir;
    std::string group;
};

class Worker {
public:
    Worker(int control, std::string private_dir) : control_(control), private_dir_(std::move(private_dir)) {}

    void prepare();
    [[noreturn]] void serve();

private:
    void start_run(const std::string& payload, std::vector<wire::Fd>& fds);
    void reply_error(const std::string& text);
    void reap();
    [[noreturn]] void shut_down();

    int control_;
    std::string private_dir_;
    std::vector<std::string> read_paths_;
    layers::ProcessCounter counter_;
    std::map<pid_t, Keeper> keepers_;
    std::vector<Keeper> cleanups_;
};

// Output streams of the worker's children: UTF-8 whatever the locale, on
// descriptors 1 and 2 (pipes of the run in a script process).
void set_streams() {
    py::module_ sys = zorvan::imported_module(zorvan::dep::sys_module);
    py::object open = zorvan::imported(zorvan::dep::io_open);
    for (int fd : {1, 2}) {
        py::object stream = open(fd, "w", py::arg("encoding") = "utf-8", py::arg("errors") = "backslashreplace",
                                 py::arg("closefd") = false, py::arg("newline") = "\n");
        const char* name = fd == 1 ? "stdout" : "stderr";
        sys.attr(name) = stream;
        sys.attr(fd == 1 ? "__stdout__" : "__stderr__") = stream;
    }
}

// One small chart, so that every module a chart needs is loaded and
// initialised before the first fork.
void prime() {
    for (const char* name : {"numpy", "pandas", "matplotlib", "datetime", "ast", "tempfile"}) {
        py::module_::import(name);
    }
    zorvan::imported(zorvan::dep::matplotlib_use)("agg");
    py::module_ plt = zorvan::imported_module(zorvan::dep::matplotlib_pyplot_module);
    py::dict data;
    data["x"] = py::make_tuple("a", "b", "c");
    data["y"] = py::make_tuple(1, 3, 2);
    py::object frame = zorvan::imported(zorvan::dep::pandas_DataFrame)(data);
    frame.attr("plot").attr("bar")(py::arg("x") = "x", py::arg("y") = "y");
    plt.attr("savefig")(zorvan::imported(zorvan::dep::io_BytesIO)(), py::arg("format") = "png");
    plt.attr("close")("all");
}

void Worker::prepare() {
    set_streams();
    prime();
    read_paths_ = layers::installation_paths();
    for (const std::string& path : layers::system_paths()) read_paths_.push_back(path);
    counter_.prepare();
    std::filesystem::create_directories(private_dir_ + "/runs");
    py::module_ gc = zorvan::imported_module(zorvan::dep::gc_module);
    gc.attr("collect")();
    // Objects that exist now are never touched by the collector again, so
    // forked children do not copy their pages.
    gc.attr("freeze")();
    flush_output();
}

void Worker::reply_error(const std::string& text) {
    wire::send_message(control_, wire::Frame::reply, wire::Writer().u64(0).u64(0).text(text).bytes());
}

void Worker::start_run(const std::string& payload, std::vector<wire::Fd>& fds) {
    if (fds.size() != 4) return reply_error("a run request needs four descriptors");
    RunContext context;
    try {
        context.settings = RunSettings::decode(payload);
    } catch (const std::exception& error) {
        return reply_error(error.what());
    }
    std::string pattern = private_dir_ + "/runs/run-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) return reply_error("cannot make the run's temporary directory");
    context.run_dir = pattern;
    context.group = counter_.make_group(context.settings.processes);
    context.counter_missing = counter_.available() ? "cannot make a pids cgroup for the run" : counter_.reason();
    context.read_paths = read_paths_;
    flush_output();
    PyOS_BeforeFork();
    const pid_t pid = ::fork();
    if (pid == 0) {
        PyOS_AfterFork_Child();
        keeper_main(context, RunChannels{std::move(fds[0]), std::move(fds[1]), std::move(fds[2]), std::move(fds[3])});
    }
    PyOS_AfterFork_Parent();
    fds.clear();
    if (pid < 0) {
        cleanups_.push_back({context.run_dir, context.group});
        return reply_error(std::string("cannot fork the run: ") + std::strerror(errno));
    }
    keepers_[pid] = {context.run_dir, context.group};
    wire::Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    std::vector<int> attached;
    if (pidfd) attached.push_back(pidfd.get());
    wire::send_message(control_, wire::Frame::reply, wire::Writer().u64(1).u64(pid).text("").bytes(), attached);
}

void Worker::reap() {
    int status = 0;
    pid_t pid = 0;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
        auto found = keepers_.find(pid);
        if (found == keepers_.end()) continue;
        cleanups_.push_back(found->second);
        keepers_.erase(found);
    }
    for (auto it = cleanups_.begin(); it != cleanups_.end();) {
        // The group empties when the last process of the run is gone.
        if (!it->group.empty() && !counter_.remove_group(it->group)) {
            ++it;
            continue;
        }
        std::error_code ignored;
        std::filesystem::remove_all(it->run_dir, ignored);
        it = cleanups_.erase(it);
    }
}

void Worker::shut_down() {
    for (const auto& entry : keepers_) ::kill(entry.first, SIGKILL);
    for (int round = 0; round < 40 && (!keepers_.empty() || !cleanups_.empty()); ++round) {
        reap();
        ::poll(nullptr, 0, 50);
    }
    counter_.remove_all();
    std::error_code ignored;
    std::filesystem::remove_all(private_dir_, ignored);
    ::_exit(0);
}

void Worker::serve() {
    wire::send_message(control_, wire::Frame::ready, wire::Writer().u64(::getpid()).bytes());
    while (true) {
        pollfd control{control_, POLLIN, 0};
        const int ready = ::poll(&control, 1, kTickMilliseconds);
        reap();
        if (ready <= 0) continue;
        wire::Frame kind{};
        std::string payload;
        std::vector<wire::Fd> fds;
        if (!wire::receive_message(control_, kind, payload, fds)) {
            if (control.revents & (POLLHUP | POLLERR)) shut_down();
            continue;
        }
        if (kind == wire::Frame::request) start_run(payload, fds);
    }
}

}  // namespace

void serve_worker(int control_fd, const std::string& private_dir) {
    // The application may stop with Ctrl-C; the worker ends when its socket closes.
    std::signal(SIGINT, SIG_IGN);
    // Pins no directory of the application; each run enters the one it is given.
    if (::chdir("/") != 0) ::_exit(1);
    Worker worker(control_fd, private_dir);
    worker.prepare();
    worker.serve();
}

}  // namespace zorvan::sandbox
