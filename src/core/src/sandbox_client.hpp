// The application's side: the worker process it starts on first use, and
// one live run (a one-shot script or a session) it waits on.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sandbox_run.hpp"

namespace zorvan::sandbox {

class WorkerProcess {
public:
    // Starts the worker (GIL held; waits for it without the GIL).
    static std::shared_ptr<WorkerProcess> start();
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    int socket() const { return socket_.get(); }
    // Kills the worker and waits for it.
    void terminate();
    // Lets go of a worker inherited through fork without stopping it: it
    // serves the parent.
    void forget() {
        socket_.reset();
        pid_ = 0;
    }
    std::mutex& requests() { return requests_; }

private:
    WorkerProcess() = default;
    wire::Fd socket_;
    pid_t pid_ = 0;
    std::mutex requests_;
};

// The worker of this process, started when there is none (or the one there
// was is gone, or was started by the parent of a forked process).
std::shared_ptr<WorkerProcess> shared_worker();
// Forgets `worker` after it failed, so that the next use starts another.
void discard_worker(const std::shared_ptr<WorkerProcess>& worker);

// Takes `mutex` with the GIL released, so that a thread holding the mutex
// and waiting for the GIL cannot deadlock with this one.
std::unique_lock<std::mutex> lock_without_gil(std::mutex& mutex);

// Waits for `fd` to become readable without the GIL, answering Ctrl-C
// (KeyboardInterrupt is raised). False when `timeout_ms` ran out.
bool wait_readable(int fd, int timeout_ms);

class Run {
public:
    // Starts the run (GIL held). Throws std::runtime_error when the worker
    // cannot start it.
    Run(const RunSettings& settings, const Limits& limits);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Sends `source` and waits for its result, the wall-clock limit or
    // Ctrl-C (GIL held; released while waiting). KeyboardInterrupt is raised
    // after the run was killed.
    Outcome execute(const std::string& source);
    // Kills the run and everything it started.
    void stop() noexcept;
    bool ended() const { return ended_; }
    const std::vector<Layer>& layers() const { return layers_; }
    const std::string& error_output() const { return error_output_; }

private:
    bool pump(int timeout_ms);
    void take_frames();
    Outcome finished_outcome();
    std::string ended_text() const;

    Limits limits_;
    std::shared_ptr<WorkerProcess> worker_;
    wire::Fd out_, err_, report_, input_, pidfd_;
    pid_t keeper_ = 0;
    pid_t script_pid_ = 0;
    bool pid_namespace_ = false;
    wire::FrameBuffer frames_;
    std::vector<Layer> layers_;
    std::string output_;
    bool output_cut_ = false;
    std::string error_output_;                          // the tail of standard error
    std::optional<std::optional<std::string>> result_;  // set: a result came (inner: its error text)
    std::optional<ExitReport> exit_;
    bool ended_ = false;
};

}  // namespace zorvan::sandbox
