// The messages between the application, the worker and a run's processes:
// length-prefixed frames on pipes, and one frame per datagram (with file
// descriptors attached) on the worker's control socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorvan::sandbox::wire {

enum class Frame : std::uint32_t {
    ready = 1,     // worker -> application: started (pid)
    request,       // application -> worker: start a run (settings; fds)
    reply,         // worker -> application: run started (keeper pid; pidfd)
    code,          // application -> run: source to execute
    layers,        // run -> application: the isolation layers and whether they held
    result_ok,     // run -> application: the source ran to its end
    result_error,  // run -> application: "{type}: {message}"
    exit,          // keeper -> application: how the run's process ended
};

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A pipe; both ends close on exec.
struct Pipe {
    Fd read;
    Fd write;
};
Pipe make_pipe();  // throws std::system_error

class Writer {
public:
    Writer& u64(std::uint64_t value);
    Writer& text(const std::string& value);
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Reads what a Writer wrote; a short or damaged payload throws
// std::runtime_error.
class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    std::uint64_t u64();
    std::string text();

private:
    const std::string& bytes_;
    std::size_t position_ = 0;
};

// Header and payload as one block.
std::string frame(Frame kind, const std::string& payload = {});

// Writes everything, retrying after signals; false on an error (EPIPE...).
bool write_all(int fd, const std::string& bytes);

// Frames arriving in pieces on a pipe.
class FrameBuffer {
public:
    void append(const char* data, std::size_t size) { data_.append(data, size); }
    // Takes the next complete frame; throws std::runtime_error on a frame
    // larger than any the protocol sends.
    bool next(Frame& kind, std::string& payload);

private:
    std::string data_;
};

// Blocking read of one whole frame from a pipe (the run reads its code so).
// False at end of file.
bool read_frame(int fd, Frame& kind, std::string& payload);

// One frame per datagram with `fds` attached (SOCK_SEQPACKET).
bool send_message(int socket, Frame kind, const std::string& payload, const std::vector<int>& fds = {});
// False at end of file; received descriptors are owned by the caller.
bool receive_message(int socket, Frame& kind, std::string& payload, std::vector<Fd>& fds);

}  // namespace zorvan::sandbox::wire
