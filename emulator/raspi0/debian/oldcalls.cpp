// SPDX-License-Identifier: MIT
// oldcalls COMMAND [ARG...]: runs COMMAND with the statx and faccessat2 system calls
// failing as unknown (ENOSYS), for it and everything it starts.
//
// The system image is configured under proot with qemu-user. proot 5.1 translates
// neither call's path: statx, which qemu-user prefers for stat, and faccessat2, with
// which the guest's shells test `[ -r FILE ]` and `[ -x FILE ]`, would look at this
// machine's files instead of the image's. Told that the calls do not exist, qemu-user
// and the guest's C library fall back to fstatat and faccessat, which proot translates.

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs("usage: oldcalls COMMAND [ARG...]\n", stderr);
        return 2;
    }
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_statx, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_faccessat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        perror("oldcalls: seccomp");
        return 126;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
