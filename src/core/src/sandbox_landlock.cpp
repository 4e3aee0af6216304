// Landlock: the files a run may read and write, no TCP, and no reaching out
// of the run through abstract unix sockets or signals.
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sandbox_layers.hpp"
#include "sandbox_wire.hpp"

namespace zorvan::sandbox::layers {

namespace {

// Rights and fields newer than the oldest kernel headers we build with.
constexpr std::uint64_t kFsTruncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;  // ABI 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;   // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnix = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;

// The ruleset attribute as of ABI 6; older kernels are given a prefix of it.
struct RulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;
    std::uint64_t scoped;
};

constexpr std::uint64_t kReadRights =
    LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_EXECUTE;
constexpr std::uint64_t kWriteRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR |
                                       LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                                       LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR |
                                       LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_REFER | kFsTruncate;
constexpr std::uint64_t kFileOnlyRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                          LANDLOCK_ACCESS_FS_READ_FILE | kFsTruncate | kFsIoctlDev;

int landlock_abi() {
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? -errno : static_cast<int>(abi);
}

std::uint64_t handled_fs(int abi) {
    std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // the 13 rights of ABI 1
    if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) rights |= kFsTruncate;
    if (abi >= 5) rights |= kFsIoctlDev;
    return rights;
}

// Adds a rule for `path` when it exists; a directory gets `rights`, a file
// only the rights that apply to files.
void allow(int ruleset, const std::string& path, std::uint64_t rights, std::uint64_t handled) {
    wire::Fd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!fd) return;
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return;
    if (!S_ISDIR(info.st_mode)) rights &= kFileOnlyRights;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights & handled;
    rule.parent_fd = fd.get();
    ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
}

std::string missing_because(int abi) {
    if (abi == -ENOSYS) return "the kernel has no Landlock";
    if (abi == -EOPNOTSUPP) return "Landlock is disabled on this machine (boot option lsm=)";
    return std::string("Landlock is unavailable: ") + std::strerror(-abi);
}

}  // namespace

std::vector<Layer> landlock(const FileRules& rules) {
    const int abi = landlock_abi();
    std::vector<Layer> report{{kLandlockFiles, false, ""}, {kLandlockNetwork, false, ""}, {kLandlockScopes, false, ""}};
    if (abi < 1) {
        for (Layer& layer : report) layer.detail = missing_because(abi);
        return report;
    }
    RulesetAttr attr{handled_fs(abi), 0, 0};
    std::size_t attr_size = sizeof(std::uint64_t);
    if (abi >= 4) {
        attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
        attr_size = 2 * sizeof(std::uint64_t);
    }
    if (abi >= 6) {
        attr.scoped = kScopeAbstractUnix | kScopeSignal;
        attr_size = sizeof attr;
    }
    wire::Fd ruleset(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, attr_size, 0)));
    if (!ruleset) {
        const std::string why = std::string("cannot create a Landlock ruleset: ") + std::strerror(errno);
        for (Layer& layer : report) layer.detail = why;
        return report;
    }
    for (const std::string& path : rules.read_dirs) allow(ruleset.get(), path, kReadRights, attr.handled_access_fs);
    for (const std::string& path : rules.read_files) {
        allow(ruleset.get(), path, LANDLOCK_ACCESS_FS_READ_FILE, attr.handled_access_fs);
    }
    for (const std::string& path : rules.write_dirs) allow(ruleset.get(), path, kWriteRights, attr.handled_access_fs);
    for (const std::string& path : rules.write_files) {
        allow(ruleset.get(), path, LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE | kFsTruncate,
              attr.handled_access_fs);
    }
    if (::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
        const std::string why = std::string("cannot apply the Landlock ruleset: ") + std::strerror(errno);
        for (Layer& layer : report) layer.detail = why;
        return report;
    }
    const std::string version = "Landlock ABI " + std::to_string(abi);
    report[0] = {kLandlockFiles, true,
                 version +
                     ": reads only the interpreter, system libraries and the run's "
                     "directories; writes only under save_path and its temporary directory"};
    if (abi >= 4) {
        report[1] = {kLandlockNetwork, true, version + ": no TCP connect or bind"};
    } else {
        report[1].detail = version + " has no network rules (needs ABI 4, Linux 6.7)";
    }
    if (abi >= 6) {
        report[2] = {kLandlockScopes, true, version + ": no abstract unix sockets or signals outside the run"};
    } else {
        report[2].detail = version + " has no scopes (needs ABI 6, Linux 6.12)";
    }
    return report;
}

Layer no_new_privs() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) return {kNoNewPrivs, true, "set"};
    return {kNoNewPrivs, false, std::string("prctl refused it: ") + std::strerror(errno)};
}

}  // namespace zorvan::sandbox::layers
