// SPDX-License-Identifier: MIT
// Preload library that stands in for the platform under switchPinCtrl.
//
// Controlled by environment variables, the simulated board's interface:
//   SIMBOARD_IMAGE=FILE     opens of /dev/mem (or of the build's own image)
//                           open FILE instead; unset or empty, /dev/mem is refused
//   SIMBOARD_COMPATIBLE=FILE  the same for the device tree's root compatible
//                           property, /proc/device-tree/compatible
//   SIMBOARD_LOG=FILE       appends a line per open, tool-sized malloc and mmap
//   SIMBOARD_FAIL=LIST      comma-separated: open (of the memory), malloc1, malloc2
//                           (first or second tool-sized malloc gives null),
//                           mmap-gpio, mmap-spi0 (that block's mapping gives MAP_FAILED)
//   SIMBOARD_BUFFERS=A1,A2  the tool-sized buffers start exactly at A1 and A2
// (a tool-sized malloc is one of bcm2835::tool_buffer_size bytes, 8191).
//
// The log's lines, one per call: the call, " = ", the result as the call gives it
// (%p prints addresses as 0x... or "(nil)"), and for a redirected open " -> " and the
// image it opened instead:
//   open("/dev/mem", 0x101002) = 3 -> /tmp/board.img
//   malloc(8191) = 0x55d0c8a0
//   mmap(0x55d0d000, 4096, 0x3, 0x11, 3, 0x20200000) = 0x55d0d000
// When it refuses the machine's own /dev/mem or device tree, or gives up on a
// test's request, a line "simboard: WHY" says so.
//
// It calls the kernel directly rather than the symbols it replaces, so that
// nothing it does re-enters itself or needs the dynamic linker's help.

#include "bcm2835.hpp"

#include <errno.h>
#include <fcntl.h>
#include <initializer_list>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

// glibc's own allocator, reached without going through the replaced symbols.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" void *__libc_malloc(size_t size);
extern "C" void __libc_free(void *ptr);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

using bcm2835::tool_buffer_size;
constexpr off64_t gpio_base = bcm2835::gpio_base;
constexpr off64_t spi0_base = bcm2835::spi0_base;
constexpr uintptr_t page = bcm2835::page_size;

int malloc_calls; // tool-sized requests seen so far

// The machine's files that a process under test must never reach, each with the
// build's own stand-in for it and the variable that names a test's.
struct Redirect {
    const char *machine;
    const char *build;
    const char *variable;
};
// A PC's build of the tool opens its own stand-ins; an ARM build has none.
#ifdef SIM_MEM_IMAGE
constexpr const char *build_image = SIM_MEM_IMAGE;
constexpr const char *build_compatible = SIM_DT_COMPATIBLE;
#else
constexpr const char *build_image = nullptr;
constexpr const char *build_compatible = nullptr;
#endif
const Redirect memory = {"/dev/mem", build_image, "SIMBOARD_IMAGE"};
const Redirect device_tree = {"/proc/device-tree/compatible", build_compatible, "SIMBOARD_COMPATIBLE"};

// True when the comma-separated list in variable `name` holds `word`.
bool listed(const char *name, const char *word)
{
    const char *list = getenv(name);
    const size_t len = strlen(word);
    for (const char *p = list; p != nullptr && *p != '\0';) {
        const char *end = strchr(p, ',');
        const size_t n = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        if (n == len && strncmp(p, word, n) == 0)
            return true;
        p = end != nullptr ? end + 1 : p + n;
    }
    return false;
}

long sys_open(const char *path, int flags, mode_t mode)
{
    return syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

void *sys_mmap(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
#ifdef SYS_mmap2
    const long r =
        syscall(SYS_mmap2, addr, len, prot, flags, fd, static_cast<long>(off / static_cast<off64_t>(page)));
#else
    const long r = syscall(SYS_mmap, addr, len, prot, flags, fd, off);
#endif
    return r == -1 ? MAP_FAILED : reinterpret_cast<void *>(r);
}

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Appends one line to the log named by SIMBOARD_LOG, if any. printf-style, as
// it runs inside malloc and must not allocate.
void say(const char *fmt, ...) // NOLINT(cert-dcl50-cpp)
{
    static long log_fd = -2;
    if (log_fd == -2) {
        const char *path = getenv("SIMBOARD_LOG");
        log_fd = path != nullptr ? sys_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    }
    if (log_fd < 0)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n > 0 &&
        write(static_cast<int>(log_fd), line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1) < 0)
        log_fd = -1;
}

// Ends the process loudly when a test asked for something impossible.
[[noreturn]] void give_up(const char *why)
{
    say("simboard: %s\n", why);
    const ssize_t ignored = write(2, why, strlen(why));
    (void)ignored;
    _exit(99);
}

// The address SIMBOARD_BUFFERS gives for tool-sized buffer `n` (1 or 2), or 0.
uintptr_t placed_buffer(int n)
{
    const char *p = getenv("SIMBOARD_BUFFERS");
    for (int i = 1; p != nullptr && *p != '\0'; i++) {
        char *end = nullptr;
        const uintptr_t addr = strtoull(p, &end, 0);
        if (end == p)
            give_up("SIMBOARD_BUFFERS: expected addresses like 0x30000000,0x30100008\n");
        if (i == n)
            return addr;
        p = *end == ',' ? end + 1 : end;
    }
    return 0;
}

// Backs [addr, addr + size) with fresh anonymous pages exactly there.
void *place(uintptr_t addr, size_t size)
{
    const uintptr_t first = addr & ~(page - 1);
    const size_t len = (addr + size - first + page - 1) & ~(page - 1);
    void *want = reinterpret_cast<void *>(first);
    const void *got = sys_mmap(want, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (got != want)
        give_up("SIMBOARD_BUFFERS: that address range is not free in this process\n");
    return reinterpret_cast<void *>(addr);
}

// The redirect that an open of `path` falls under, if any: `path` is the machine's own
// file or the build's stand-in for it.
const Redirect *redirect_of(const char *path)
{
    for (const Redirect *r : {&memory, &device_tree})
        if (strcmp(path, r->machine) == 0 || (r->build != nullptr && strcmp(path, r->build) == 0))
            return r;
    return nullptr;
}

int do_open(const char *path, int flags, mode_t mode)
{
    const Redirect *r = redirect_of(path);
    const bool machine = r != nullptr && strcmp(path, r->machine) == 0;
    const char *file = r != nullptr ? getenv(r->variable) : nullptr;
    if (file != nullptr && *file == '\0')
        file = nullptr;
    const bool redirected = file != nullptr;
    long fd;
    if (r == &memory && listed("SIMBOARD_FAIL", "open")) {
        errno = EACCES;
        fd = -1;
    } else if (machine && file == nullptr) {
        // Never hand a process under test the machine's physical memory, nor let what
        // the machine's own device tree says decide a test.
        errno = EACCES;
        fd = -1;
        say("simboard: refused the machine's %s; set %s\n", r->machine, r->variable);
    } else {
        fd = sys_open(redirected ? file : path, flags, mode);
    }
    say("open(\"%s\", %#x) = %ld%s%s\n", path, static_cast<unsigned>(flags), fd, redirected ? " -> " : "",
        redirected ? file : "");
    return static_cast<int>(fd);
}

void *do_mmap(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    void *r;
    if ((off == gpio_base && listed("SIMBOARD_FAIL", "mmap-gpio")) ||
        (off == spi0_base && listed("SIMBOARD_FAIL", "mmap-spi0"))) {
        errno = EPERM;
        r = MAP_FAILED;
    } else {
        r = sys_mmap(addr, len, prot, flags, fd, off);
    }
    say("mmap(%p, %zu, %#x, %#x, %d, %#llx) = %p\n", addr, len, static_cast<unsigned>(prot),
        static_cast<unsigned>(flags), fd, static_cast<unsigned long long>(off), r);
    return r;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return do_open(path, flags, mode);
}

// Builds with 64-bit file offsets on 32-bit systems call this name instead.
int open64(const char *path, int flags, ...) __attribute__((alias("open")));

void *malloc(size_t size)
{
    if (size != tool_buffer_size)
        return __libc_malloc(size);
    const int n = ++malloc_calls;
    void *p = nullptr;
    if ((n == 1 && listed("SIMBOARD_FAIL", "malloc1")) || (n == 2 && listed("SIMBOARD_FAIL", "malloc2")))
        errno = ENOMEM;
    else if (const uintptr_t at = placed_buffer(n); at != 0)
        p = place(at, size);
    else
        p = __libc_malloc(size);
    say("malloc(%zu) = %p\n", size, p);
    return p;
}

// Placed buffers did not come from the allocator and must not go back to it.
void free(void *ptr)
{
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
    for (int n = 1; n <= 2; n++) {
        const uintptr_t at = placed_buffer(n);
        if (at != 0 && p == at)
            return;
    }
    __libc_free(ptr);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    return do_mmap(addr, len, prot, flags, fd, off);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    return do_mmap(addr, len, prot, flags, fd, off);
}

} // extern "C"
