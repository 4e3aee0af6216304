#include "zorvan/watched_work.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <exception>
#include <memory>
#include <thread>

namespace zorvan {

namespace {

constexpr std::chrono::milliseconds kPoll{50};
constexpr std::chrono::milliseconds kCancelRepeat{200};
constexpr int kCancelTries = 8;  // then the connection is cut off

// Calls a stopper on the waiting thread; a stopper that fails (the server
// already gone) leaves the other measures to end the work.
void call_quietly(const std::function<void()>& stopper) {
    if (!stopper) return;
    try {
        stopper();
    } catch (py::error_already_set&) {
    } catch (const std::exception&) {
    }
}

}  // namespace

void WorkWatch::set_stoppers(std::function<void()> cancel, std::function<void()> cut_off) {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = std::move(cancel);
    cut_off_ = std::move(cut_off);
}

void WorkWatch::clear_stoppers() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = nullptr;
    cut_off_ = nullptr;
}

void WorkWatch::step_started() {
    bool interrupted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        step_start_ = Clock::now();
        interrupted = interrupted_;
    }
    if (interrupted) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
}

py::object run_watched(WorkWatch& watch, double step_limit, const std::function<py::object()>& work) {
    struct Done {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    py::object result;
    std::optional<py::error_already_set> error;
    std::exception_ptr failure;
    std::thread worker([&, done] {
        {
            py::gil_scoped_acquire gil;
            try {
                result = work();
            } catch (py::error_already_set& raised) {
                error.emplace(std::move(raised));
            } catch (...) {
                failure = std::current_exception();
            }
            watch.clear_stoppers();
        }
        std::lock_guard<std::mutex> lock(done->mutex);
        done->done = true;
        done->changed.notify_all();
    });

    const auto wait_for = [&done](std::chrono::milliseconds period) {
        py::gil_scoped_release released;
        std::unique_lock<std::mutex> lock(done->mutex);
        return done->changed.wait_for(lock, period, [&done] { return done->done; });
    };
    const auto stopper = [&watch](bool cancel) {
        std::function<void()> chosen;
        {
            std::lock_guard<std::mutex> lock(watch.mutex_);
            chosen = cancel ? watch.cancel_ : watch.cut_off_;
        }
        call_quietly(chosen);
    };

    std::optional<py::error_already_set> interrupt;
    while (!wait_for(kPoll)) {
        if (!interrupt && PyErr_CheckSignals() != 0) {
            interrupt.emplace();
            {
                std::lock_guard<std::mutex> lock(watch.mutex_);
                watch.interrupted_ = true;
            }
            // A cancel that falls between two statements stops nothing, so it
            // is repeated while the work runs.
            bool ended = false;
            for (int i = 0; i < kCancelTries && !ended; ++i) {
                stopper(true);
                ended = wait_for(kCancelRepeat);
            }
            if (!ended) stopper(false);
            continue;
        }
        if (step_limit > 0 && !watch.overdue_) {
            bool late = false;
            {
                std::lock_guard<std::mutex> lock(watch.mutex_);
                late = watch.step_start_ &&
                       std::chrono::duration<double>(WorkWatch::Clock::now() - *watch.step_start_).count() > step_limit;
            }
            if (late) {
                watch.overdue_ = true;
                stopper(false);
            }
        }
    }
    {
        py::gil_scoped_release released;
        worker.join();
    }
    if (interrupt) throw *interrupt;
    if (error) throw *error;
    if (failure) std::rethrow_exception(failure);
    return result;
}

void shut_down_socket(int fd) noexcept {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void keep_alive(int fd) noexcept {
    if (fd < 0) return;
    const int on = 1, idle = 30, interval = 10, count = 3;
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace zorvan
