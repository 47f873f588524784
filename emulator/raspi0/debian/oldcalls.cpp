// SPDX-License-Identifier: MIT
// nostatx COMMAND [ARG...]: runs COMMAND with the statx system call failing as
// unknown (ENOSYS), for it and everything it starts.
//
// The system image is configured under proot with qemu-user. proot 5.1 does not
// translate the paths of statx, which qemu-user prefers; told that the call does
// not exist, qemu falls back to fstatat, which proot translates.

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
        fputs("usage: nostatx COMMAND [ARG...]\n", stderr);
        return 2;
    }
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_statx, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        perror("nostatx: seccomp");
        return 126;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
