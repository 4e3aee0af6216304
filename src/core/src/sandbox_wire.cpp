#include "sandbox_wire.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace zorvan::sandbox::wire {

namespace {

constexpr std::size_t kHeaderSize = 8;
// Source texts are the largest payloads; the application refuses longer ones.
constexpr std::uint32_t kMaxPayload = 64u << 20;
constexpr std::size_t kMaxMessage = 64 * 1024;
constexpr std::size_t kMaxFds = 8;

std::string header(Frame kind, std::size_t size) {
    std::string bytes(kHeaderSize, '\0');
    const auto kind_value = static_cast<std::uint32_t>(kind);
    const auto size_value = static_cast<std::uint32_t>(size);
    std::memcpy(&bytes[0], &kind_value, 4);
    std::memcpy(&bytes[4], &size_value, 4);
    return bytes;
}

void parse_header(const char* bytes, Frame& kind, std::uint32_t& size) {
    std::uint32_t kind_value = 0;
    std::memcpy(&kind_value, bytes, 4);
    std::memcpy(&size, bytes + 4, 4);
    kind = static_cast<Frame>(kind_value);
    if (size > kMaxPayload) throw std::runtime_error("a damaged frame arrived from the script's process");
}

bool read_exactly(int fd, char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, out + done, size - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

Fd::~Fd() {
    reset();
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Pipe make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    return Pipe{Fd(ends[0]), Fd(ends[1])};
}

Writer& Writer::u64(std::uint64_t value) {
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
    return *this;
}

Writer& Writer::text(const std::string& value) {
    u64(value.size());
    bytes_ += value;
    return *this;
}

std::uint64_t Reader::u64() {
    std::uint64_t value = 0;
    if (bytes_.size() - position_ < sizeof value) throw std::runtime_error("a short message arrived");
    std::memcpy(&value, bytes_.data() + position_, sizeof value);
    position_ += sizeof value;
    return value;
}

std::string Reader::text() {
    const std::uint64_t size = u64();
    if (bytes_.size() - position_ < size) throw std::runtime_error("a short message arrived");
    std::string value = bytes_.substr(position_, size);
    position_ += size;
    return value;
}

std::string frame(Frame kind, const std::string& payload) {
    return header(kind, payload.size()) + payload;
}

bool write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool FrameBuffer::next(Frame& kind, std::string& payload) {
    if (data_.size() < kHeaderSize) return false;
    std::uint32_t size = 0;
    parse_header(data_.data(), kind, size);
    if (data_.size() < kHeaderSize + size) return false;
    payload = data_.substr(kHeaderSize, size);
    data_.erase(0, kHeaderSize + size);
    return true;
}

bool read_frame(int fd, Frame& kind, std::string& payload) {
    char head[kHeaderSize];
    if (!read_exactly(fd, head, kHeaderSize)) return false;
    std::uint32_t size = 0;
    parse_header(head, kind, size);
    payload.assign(size, '\0');
    return size == 0 || read_exactly(fd, &payload[0], size);
}

bool send_message(int socket, Frame kind, const std::string& payload, const std::vector<int>& fds) {
    std::string bytes = frame(kind, payload);
    iovec vector{bytes.data(), bytes.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    if (!fds.empty()) {
        if (fds.size() > kMaxFds) return false;
        std::memset(control, 0, sizeof control);
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* header_part = CMSG_FIRSTHDR(&message);
        header_part->cmsg_level = SOL_SOCKET;
        header_part->cmsg_type = SCM_RIGHTS;
        header_part->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(header_part), fds.data(), sizeof(int) * fds.size());
    }
    while (true) {
        const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(bytes.size())) return true;
        if (sent < 0 && errno == EINTR) continue;
        return false;
    }
}

bool receive_message(int socket, Frame& kind, std::string& payload, std::vector<Fd>& fds) {
    std::string bytes(kMaxMessage, '\0');
    iovec vector{bytes.data(), bytes.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = 0;
    do {
        got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr; part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (part->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(part) + i * sizeof(int), sizeof(int));
            fds.emplace_back(fd);
        }
    }
    if (got < static_cast<ssize_t>(kHeaderSize)) return false;
    std::uint32_t size = 0;
    parse_header(bytes.data(), kind, size);
    if (static_cast<std::size_t>(got) != kHeaderSize + size) return false;
    payload = bytes.substr(kHeaderSize, size);
    return true;
}

}  // namespace zorvan::sandbox::wire
