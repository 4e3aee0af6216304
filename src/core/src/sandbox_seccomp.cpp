// The system-call filter of a run: no sockets (socketpair for asyncio and
// multiprocessing pipes excepted), no debugging or reading other processes,
// no mounts, namespaces, kernel modules, BPF or io_uring, no raising of
// resource limits.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "sandbox_layers.hpp"

namespace zorvan::sandbox::layers {

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kArch = 0;
#endif

constexpr std::uint32_t kNamespaceFlags =
    CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

constexpr std::uint32_t errno_return(int error) {
    return SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA);
}

constexpr std::uint32_t arg_low(int index) {
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + index * sizeof(std::uint64_t));
}

// Calls refused outright (EPERM).
constexpr long kRefused[] = {
    __NR_ptrace,
    __NR_process_vm_readv,
    __NR_process_vm_writev,
    __NR_mount,
    __NR_umount2,
    __NR_pivot_root,
    __NR_chroot,
    __NR_kexec_load,
    __NR_bpf,
    __NR_init_module,
    __NR_finit_module,
    __NR_delete_module,
    __NR_keyctl,
    __NR_add_key,
    __NR_request_key,
    __NR_io_uring_setup,
    __NR_io_uring_enter,
    __NR_io_uring_register,
    __NR_setns,
    __NR_unshare,
    __NR_perf_event_open,
    __NR_userfaultfd,
    __NR_setrlimit,
    __NR_open_by_handle_at,
    __NR_name_to_handle_at,
    __NR_pidfd_getfd,
    __NR_fsopen,
    __NR_fsconfig,
    __NR_fsmount,
    __NR_fspick,
    __NR_open_tree,
    __NR_move_mount,
    __NR_mount_setattr,
    __NR_reboot,
    __NR_swapon,
    __NR_swapoff,
    __NR_syslog,
    __NR_acct,
    __NR_settimeofday,
    __NR_clock_settime,
    __NR_clock_adjtime,
    __NR_adjtimex,
    __NR_sethostname,
    __NR_setdomainname,
    __NR_quotactl,
    __NR_vhangup,
    __NR_fanotify_init,
    __NR_kcmp,
#ifdef __NR_kexec_file_load
    __NR_kexec_file_load,
#endif
#ifdef __NR_iopl
    __NR_iopl,
    __NR_ioperm,
#endif
};

class Program {
public:
    void add(sock_filter instruction) { code_.push_back(instruction); }
    void statement(std::uint16_t code, std::uint32_t k) { add(BPF_STMT(code, k)); }
    void jump(std::uint16_t code, std::uint32_t k, std::uint8_t when_true, std::uint8_t when_false) {
        add(BPF_JUMP(code, k, when_true, when_false));
    }
    void ret(std::uint32_t value) { statement(BPF_RET | BPF_K, value); }
    void load_nr() { statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)); }
    void load(std::uint32_t offset) { statement(BPF_LD | BPF_W | BPF_ABS, offset); }
    // `if nr == call` around a block of `size` instructions that ends in returns.
    void on_call(long call, std::uint8_t size) {
        jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, size);
    }
    std::vector<sock_filter>& code() { return code_; }

private:
    std::vector<sock_filter> code_;
};

void build(Program& p, bool refuse_processes) {
    p.load(offsetof(seccomp_data, arch));
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0);
    p.ret(SECCOMP_RET_KILL_PROCESS);
    p.load_nr();
#if defined(__x86_64__)
    p.jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1);  // the x32 calls
    p.ret(errno_return(EPERM));
#endif
    for (long call : kRefused) {
        p.on_call(call, 1);
        p.ret(errno_return(EPERM));
    }
    p.on_call(__NR_clone3, 1);  // glibc then falls back to clone, whose flags can be read
    p.ret(errno_return(ENOSYS));
    p.on_call(__NR_socket, 1);
    p.ret(errno_return(EACCES));

    // socketpair(AF_UNIX, SOCK_STREAM[|flags]) only.
    p.on_call(__NR_socketpair, 7);
    p.load(arg_low(0));
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 0, 3);
    p.load(arg_low(1));
    p.statement(BPF_ALU | BPF_AND | BPF_K, ~static_cast<std::uint32_t>(SOCK_NONBLOCK | SOCK_CLOEXEC));
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, SOCK_STREAM, 1, 0);
    p.ret(errno_return(EACCES));
    p.ret(SECCOMP_RET_ALLOW);

    // prlimit64 may read limits, never set them.
    p.on_call(__NR_prlimit64, 6);
    p.load(arg_low(2));
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2);
    p.load(arg_low(2) + 4);
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0);
    p.ret(errno_return(EPERM));
    p.ret(SECCOMP_RET_ALLOW);

    // personality: only the query and the default.
    p.on_call(__NR_personality, 4);
    p.load(arg_low(0));
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, 0xffffffffu, 1, 0);
    p.ret(errno_return(EPERM));
    p.ret(SECCOMP_RET_ALLOW);

    // clone: never new namespaces; without a process counter, threads only.
    p.on_call(__NR_clone, refuse_processes ? 6 : 4);
    p.load(arg_low(0));
    p.jump(BPF_JMP | BPF_JSET | BPF_K, kNamespaceFlags, 0, 1);
    p.ret(errno_return(EPERM));
    if (refuse_processes) {
        p.jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 1);
        p.ret(SECCOMP_RET_ALLOW);
        p.ret(errno_return(EAGAIN));
    } else {
        p.ret(SECCOMP_RET_ALLOW);
    }
#if defined(__NR_fork)
    if (refuse_processes) {
        for (long call : {__NR_fork, __NR_vfork}) {
            p.on_call(call, 1);
            p.ret(errno_return(EAGAIN));
        }
    }
#endif
    p.ret(SECCOMP_RET_ALLOW);
}

}  // namespace

Layer seccomp(bool refuse_processes) {
    if (kArch == 0) return {kSeccomp, false, "no filter is written for this processor architecture"};
    Program program;
    build(program, refuse_processes);
    sock_fprog filter{static_cast<unsigned short>(program.code().size()), program.code().data()};
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) != 0) {
        return {kSeccomp, false, std::string("the kernel refused the filter: ") + std::strerror(errno)};
    }
    return {kSeccomp, true,
            std::to_string(program.code().size()) +
                "-instruction filter: no sockets, ptrace, process_vm_*, mount, namespaces, kexec, bpf, modules, "
                "keyctl, io_uring, perf_event_open or raising of limits"};
}

}  // namespace zorvan::sandbox::layers
