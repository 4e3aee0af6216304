#include "sandbox_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "zorvan/pyutil.hpp"

namespace zorvan::sandbox {

namespace {

constexpr int kSliceMilliseconds = 100;  // how often the waiting thread looks at Ctrl-C
constexpr int kReplyMilliseconds = 30000;
constexpr std::size_t kErrorTail = 16 * 1024;

std::mutex worker_mutex;
std::shared_ptr<WorkerProcess> current_worker;
pid_t worker_owner = 0;

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string signal_name(int number) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 32)
    if (const char* abbreviation = ::sigabbrev_np(number)) return std::string("SIG") + abbreviation;
#endif
    return "signal " + std::to_string(number);
}

}  // namespace

bool wait_readable(int fd, int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        int ready = 0;
        {
            py::gil_scoped_release released;
            pollfd watched{fd, POLLIN, 0};
            ready = ::poll(&watched, 1, kSliceMilliseconds);
        }
        if (ready > 0) return true;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (clock::now() >= deadline) return false;
    }
}

std::unique_lock<std::mutex> lock_without_gil(std::mutex& mutex) {
    py::gil_scoped_release released;
    return std::unique_lock<std::mutex>(mutex);
}

std::shared_ptr<WorkerProcess> shared_worker() {
    const auto lock = lock_without_gil(worker_mutex);
    if (current_worker && worker_owner != ::getpid()) {
        current_worker->forget();
        current_worker.reset();
    }
    if (!current_worker) {
        current_worker = WorkerProcess::start();
        worker_owner = ::getpid();
    }
    return current_worker;
}

void discard_worker(const std::shared_ptr<WorkerProcess>& worker) {
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> lock(worker_mutex);
    if (current_worker == worker) current_worker.reset();
    worker->terminate();  // gone or stuck
}

WorkerProcess::~WorkerProcess() {
    // The worker cleans up and ends when its socket closes (also when this
    // process exits); a worker already gone is reaped.
    socket_.reset();
    if (pid_ > 0) ::waitpid(pid_, nullptr, WNOHANG);
}

void WorkerProcess::terminate() {
    socket_.reset();
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
}

Run::Run(const RunSettings& settings, const Limits& limits) : limits_(limits) {
    wire::Pipe out = wire::make_pipe(), err = wire::make_pipe(), report = wire::make_pipe(), input = wire::make_pipe();
    for (int attempt = 0; attempt < 2 && keeper_ == 0; ++attempt) {
        worker_ = shared_worker();
        wire::Frame kind{};
        std::string payload;
        std::vector<wire::Fd> fds;
        bool answered = false;
        {
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> lock(worker_->requests());
            pollfd reply{worker_->socket(), POLLIN, 0};
            answered = wire::send_message(worker_->socket(), wire::Frame::request, settings.encode(),
                                          {out.write.get(), err.write.get(), report.write.get(), input.read.get()}) &&
                       ::poll(&reply, 1, kReplyMilliseconds) > 0 &&
                       wire::receive_message(worker_->socket(), kind, payload, fds) && kind == wire::Frame::reply;
        }
        if (!answered) {
            discard_worker(worker_);  // gone or stuck: the next attempt starts another
            continue;
        }
        wire::Reader reader(payload);
        const bool started = reader.u64() != 0;
        const auto pid = static_cast<pid_t>(reader.u64());
        const std::string why = reader.text();
        if (!started) throw std::runtime_error("the script worker could not start the run: " + why);
        keeper_ = pid;
        if (!fds.empty()) pidfd_ = std::move(fds.front());
    }
    if (keeper_ == 0) throw std::runtime_error("the script worker does not answer");
    out_ = std::move(out.read);
    err_ = std::move(err.read);
    report_ = std::move(report.read);
    input_ = std::move(input.write);
    for (int fd : {out_.get(), err_.get(), report_.get()}) set_nonblocking(fd);
}

Run::~Run() {
    stop();
}

void Run::stop() noexcept {
    if (!ended_ && keeper_ > 0) {
        if (!pidfd_ || ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0) != 0) {
            ::kill(keeper_, SIGKILL);
        }
        // Without a pid namespace the script's descendants are found by its process group.
        if (!pid_namespace_ && script_pid_ > 1) ::kill(-script_pid_, SIGKILL);
    }
    ended_ = true;
    for (wire::Fd* fd : {&out_, &err_, &report_, &input_, &pidfd_}) fd->reset();
}

bool Run::pump(int timeout_ms) {
    pollfd watched[3] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}, {report_.get(), POLLIN, 0}};
    if (::poll(watched, 3, timeout_ms) <= 0) return false;
    bool read_any = false;
    char buffer[65536];
    const std::size_t output_limit = limits_.output_kib * 1024;
    for (int i = 0; i < 3; ++i) {
        if (watched[i].revents == 0 || watched[i].fd < 0) continue;
        // Bounded, so that a script that never stops printing cannot hold the waiting thread here.
        for (int reads = 0; reads < 16; ++reads) {
            const ssize_t got = ::read(watched[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                // End of file: the pipe's writers are all gone.
                if (got == 0) (i == 0 ? out_ : i == 1 ? err_ : report_).reset();
                break;
            }
            read_any = true;
            const auto size = static_cast<std::size_t>(got);
            if (i == 0) {
                const std::size_t room = output_limit > output_.size() ? output_limit - output_.size() : 0;
                output_.append(buffer, std::min(room, size));
                if (size > room) output_cut_ = true;  // the rest is drained and dropped
            } else if (i == 1) {
                error_output_.append(buffer, size);
                if (error_output_.size() > kErrorTail) error_output_.erase(0, error_output_.size() - kErrorTail);
            } else {
                frames_.append(buffer, size);
            }
        }
    }
    return read_any;
}

void Run::take_frames() {
    wire::Frame kind{};
    std::string payload;
    try {
        while (frames_.next(kind, payload)) {
            if (kind == wire::Frame::layers) {
                wire::Reader reader(payload);
                script_pid_ = static_cast<pid_t>(reader.u64());
                layers_.assign(reader.u64(), Layer{});
                for (Layer& layer : layers_) {
                    layer.name = reader.text();
                    layer.held = reader.u64() != 0;
                    layer.detail = reader.text();
                    if (layer.name == layers::kPidNamespace) pid_namespace_ = layer.held;
                }
            } else if (kind == wire::Frame::result_ok) {
                result_.emplace(std::nullopt);
            } else if (kind == wire::Frame::result_error) {
                result_.emplace(payload);
            } else if (kind == wire::Frame::exit) {
                exit_ = ExitReport::decode(payload);
            }
        }
    } catch (const std::runtime_error&) {
        // The script wrote over its report channel.
        result_.emplace("RuntimeError: the script damaged its channel to the application");
    }
}

std::string Run::ended_text() const {
    if (!exit_) return "RuntimeError: the script's process ended without a result";
    const int status = exit_->status;
    if (WIFEXITED(status)) {
        return "SystemExit: the script ended its process (exit status " + std::to_string(WEXITSTATUS(status)) +
               ") before it finished; only the script's own process ended";
    }
    const int number = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const bool out_of_cpu = number == SIGXCPU ||
                            (number == SIGKILL && exit_->cpu_seconds + 0.5 >= static_cast<double>(limits_.cpu_seconds));
    if (out_of_cpu) {
        return "TimeoutError: the script went over its CPU time limit of " + std::to_string(limits_.cpu_seconds) +
               " seconds (" + kCpuVariable + ")";
    }
    return "RuntimeError: the script's process was killed by " + signal_name(number);
}

Outcome Run::finished_outcome() {
    Outcome outcome;
    if (!result_) {
        outcome.error_text = ended_text();
    } else if (*result_) {
        outcome.error_text = **result_;
    } else {
        outcome.success = true;
        outcome.output = output_;
        if (output_cut_) {
            outcome.output += "\n[output cut: the script printed more than " + std::to_string(limits_.output_kib) +
                              " KiB (" + kOutputVariable + ")]\n";
        }
    }
    return outcome;
}

Outcome Run::execute(const std::string& source) {
    if (ended_) return finished_outcome();
    result_.reset();
    output_.clear();
    output_cut_ = false;
    using clock = std::chrono::steady_clock;
    const auto started = clock::now();
    {
        py::gil_scoped_release released;
        // A run that already ended (a strict refusal) leaves the pipe unread: its result still comes.
        wire::write_all(input_.get(), wire::frame(wire::Frame::code, source));
    }
    while (true) {
        take_frames();
        if (result_) {
            py::gil_scoped_release released;
            // Everything the script wrote before its result is already in the pipe.
            for (int round = 0; round < 16 && pump(0); ++round) {
            }
            break;
        }
        if (exit_ || !report_) break;
        int slice = kSliceMilliseconds;
        if (limits_.wall_seconds) {
            const double left = *limits_.wall_seconds - std::chrono::duration<double>(clock::now() - started).count();
            if (left <= 0) {
                stop();
                return Outcome{false, "", timeout_text(*limits_.wall_seconds)};
            }
            slice = std::min(slice, static_cast<int>(left * 1000) + 1);
        }
        {
            py::gil_scoped_release released;
            pump(slice);
        }
        if (PyErr_CheckSignals() != 0) {
            stop();
            throw py::error_already_set();
        }
    }
    Outcome outcome = finished_outcome();
    if (!result_) stop();
    return outcome;
}

}  // namespace zorvan::sandbox
