// Database work that an interrupt or a silent server cannot hold: the work
// runs on a worker thread while the calling thread waits, answering Ctrl-C
// (its SIGINT handler runs there) and watching the time each blocking step
// takes. The work publishes how to stop it: `cancel` asks the server to end
// the running statement, `cut_off` closes the connection's socket so that a
// driver blocked on it returns.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

namespace zorvan {
namespace py = pybind11;

class WorkWatch {
public:
    using Clock = std::chrono::steady_clock;

    // Called by the work (GIL held) once its connection is known. Both run
    // on the waiting thread with the GIL held; both may be empty.
    void set_stoppers(std::function<void()> cancel, std::function<void()> cut_off);
    void clear_stoppers();  // before the work lets its connection go

    // Marks the start of one blocking step (a statement, a fetch): the limit
    // applies to each step from its start. After an interrupt it raises
    // KeyboardInterrupt instead, so that no further statement is sent.
    void step_started();

    // Whether the limit passed during this work (the waiting thread cut the
    // connection off because of it).
    bool overdue() const { return overdue_; }

private:
    friend py::object run_watched(WorkWatch&, double, const std::function<py::object()>&);
    mutable std::mutex mutex_;
    std::function<void()> cancel_;
    std::function<void()> cut_off_;
    std::optional<Clock::time_point> step_start_;
    bool overdue_ = false;
    bool interrupted_ = false;
};

// Runs `work` on a worker thread and returns its result (or raises its
// error). Ctrl-C on the calling thread calls the work's `cancel`, waits up to
// 2 s for the work to end (then calls `cut_off`) and raises KeyboardInterrupt.
// A step that takes longer than `step_limit` seconds (0: no limit) is cut
// off, and the work's error is raised with `watch.overdue()` true.
py::object run_watched(WorkWatch& watch, double step_limit, const std::function<py::object()>& work);

// Shuts down the socket with file descriptor `fd` in both directions
// (the descriptor stays open: the driver closes it).
void shut_down_socket(int fd) noexcept;

// Makes the TCP socket `fd` send keepalives (after 30 s idle, every 10 s,
// 3 unanswered ones end it), so that a peer that vanished is noticed while
// a statement runs. Not a TCP socket: nothing happens.
void keep_alive(int fd) noexcept;

}  // namespace zorvan
