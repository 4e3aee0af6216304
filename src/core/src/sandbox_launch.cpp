// Starting the worker: a fresh interpreter (never a fork of the application,
// which holds secrets) with a clean environment and no inherited descriptors.
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sandbox_client.hpp"
#include "zorvan/python_names.hpp"
#include "zorvan/pyutil.hpp"

extern char** environ;

namespace zorvan::sandbox {

namespace {

constexpr int kStartMilliseconds = 120000;
constexpr int kFirstFreeFd = 10;

// The worker imports the package from where the application found it and
// enters its C++ main loop; -I keeps PYTHON* variables and the user's
// site-packages out, -B leaves the installation unwritten.
constexpr const char* kBootstrap =
    "import sys; sys.path.insert(0, sys.argv[1]); "
    "from zorvanai.codetool import _sandbox_worker; _sandbox_worker(3, sys.argv[2])";

// Passed through unchanged: the locale, the time zone, and the OpenBLAS
// settings some processors need to compute correctly.
bool passed_through(const std::string& name) {
    return name == "LANG" || name == "LANGUAGE" || name.compare(0, 3, "LC_") == 0 || name == "TZ" ||
           name == "OPENBLAS_CORETYPE" || name == "OPENBLAS_L2_SIZE";
}

std::vector<std::string> worker_environment(const std::string& private_dir) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos && passed_through(text.substr(0, equals))) env.push_back(text);
    }
    for (const char* fixed : {"PATH=/usr/local/bin:/usr/bin:/bin", "MPLBACKEND=agg",
                              // Forking while BLAS threads run deadlocks; one thread each.
                              "OPENBLAS_NUM_THREADS=1", "OMP_NUM_THREADS=1", "MKL_NUM_THREADS=1"}) {
        env.emplace_back(fixed);
    }
    env.push_back("HOME=" + private_dir + "/home");
    env.push_back("TMPDIR=" + private_dir);
    env.push_back("MPLCONFIGDIR=" + private_dir + "/mpl");
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(&text[0]);
    result.push_back(nullptr);
    return result;
}

std::string log_tail(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string content = text.str();
    if (content.size() > 2000) content = content.substr(content.size() - 2000);
    while (!content.empty() && (content.back() == '\n' || content.back() == ' ')) content.pop_back();
    return content.empty() ? "it ended without a message" : content;
}

wire::Fd high(int fd) {
    wire::Fd moved(::fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeFd));
    ::close(fd);
    return moved;
}

}  // namespace

std::shared_ptr<WorkerProcess> WorkerProcess::start() {
    const std::string executable = py::str(zorvan::imported(zorvan::dep::sys_executable));
    py::object path = zorvan::imported_module(zorvan::dep::os_path_module);
    const std::string tree = py::str(path.attr("dirname")(
        path.attr("dirname")(path.attr("realpath")(zorvan::imported(zorvan::dep::zorvanai___file__)))));
    const char* tmp = std::getenv("TMPDIR");
    std::string private_dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zorvanai-sandbox-XXXXXX";
    if (::mkdtemp(&private_dir[0]) == nullptr) {
        throw std::runtime_error("cannot make the script worker's directory under " + private_dir + ": " +
                                 std::strerror(errno));
    }
    for (const char* sub : {"/home", "/mpl"}) ::mkdir((private_dir + sub).c_str(), 0700);
    const std::string log_path = private_dir + "/worker.log";

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        throw std::runtime_error(std::string("cannot make the script worker's socket: ") + std::strerror(errno));
    }
    wire::Fd ours = high(ends[0]);
    wire::Fd theirs = high(ends[1]);
    wire::Fd log = high(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    wire::Fd devnull = high(::open("/dev/null", O_RDONLY | O_CLOEXEC));

    std::vector<std::string> argv = {executable, "-I", "-B", "-c", kBootstrap, tree, private_dir};
    std::vector<std::string> env = worker_environment(private_dir);
    std::vector<char*> argv_pointers = pointers(argv);
    std::vector<char*> env_pointers = pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, devnull.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, log.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, log.get(), 2);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), 3);
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    // Its own session: Ctrl-C at the terminal reaches the application only.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv_pointers.data(), env_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        throw std::runtime_error("cannot start the script worker " + executable + ": " + std::strerror(spawned));
    }
    std::shared_ptr<WorkerProcess> worker(new WorkerProcess());
    worker->pid_ = pid;
    worker->socket_ = std::move(ours);
    theirs.reset();

    wire::Frame kind{};
    std::string payload;
    std::vector<wire::Fd> fds;
    bool ready = false;
    if (wait_readable(worker->socket(), kStartMilliseconds)) {
        py::gil_scoped_release released;
        ready = wire::receive_message(worker->socket(), kind, payload, fds) && kind == wire::Frame::ready;
    }
    if (!ready) {
        const std::string tail = log_tail(log_path);
        worker->terminate();
        std::error_code ignored;
        std::filesystem::remove_all(private_dir, ignored);
        throw std::runtime_error("the script worker did not start: " + tail);
    }
    return worker;
}

}  // namespace zorvan::sandbox
