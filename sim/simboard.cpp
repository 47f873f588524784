// SPDX-License-Identifier: MIT
// simboard: creates, resets and shows the simulated board's memory image.
//
// The image is a sparse file whose byte offset is the physical address, so
// the tool maps it exactly as it maps /dev/mem, and register values written
// through that mapping stay in the file after the process ends. Beside it, the
// board's device tree compatible property (board.img: board.compatible) names a
// Raspberry Pi Zero W, which the tool reads in place of the kernel's.

#include "bcm2835.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>

namespace {

constexpr int fsel_regs = bcm2835::fsel_regs;
constexpr off_t gpio_base = bcm2835::gpio_base;
constexpr off_t image_size = bcm2835::image_size;
constexpr unsigned shown_pins = 2 * bcm2835::fsel_pins_per_reg; // GPIO 0-19: GPFSEL0 and GPFSEL1

// Function codes of a 3-bit field, by value.
const char *const function_names[8] = {"input", "output", "alt5", "alt4", "alt0", "alt1", "alt2", "alt3"};

// Where GPIO 0-19 sit on a revision-2 board's 26-pin header (0: not there).
const int header_pin[shown_pins] = {0, 0, 3, 5, 7, 0, 0, 26, 24, 21, 19, 23, 0, 0, 8, 10, 0, 11, 12, 0};

const char *spi0_signal(unsigned gpio)
{
    switch (gpio) {
    case 7: return "SPI0 CE1 (active low)";
    case 8: return "SPI0 CE0 (active low)";
    case 9: return "SPI0 MISO";
    case 10: return "SPI0 MOSI";
    case 11: return "SPI0 SCLK";
    default: return "-";
    }
}

// What a Raspberry Pi Zero W's kernel gives as /proc/device-tree/compatible.
constexpr char zero_w_compatible[] = "raspberrypi,model-zero-w\0brcm,bcm2835";

// The compatible property's file beside an image: its name with .compatible in place
// of .img.
std::string compatible_path(const std::string &image)
{
    const std::string suffix = ".img";
    const bool img = image.size() > suffix.size() && image.ends_with(suffix);
    return (img ? image.substr(0, image.size() - suffix.size()) : image) + ".compatible";
}

int usage()
{
    fputs("usage: simboard reset IMAGE [GPFSEL0 [GPFSEL1 ... GPFSEL5]]\n"
          "       simboard show IMAGE\n"
          "reset creates IMAGE, or clears it, with every register 0 unless given, and the\n"
          "device tree's compatible property of a Raspberry Pi Zero W beside it\n",
          stderr);
    return 2;
}

int fail(const char *what, const char *path)
{
    fprintf(stderr, "simboard: %s %s: %s\n", what, path, strerror(errno));
    return 1;
}

int reset(const char *path, int nvalues, char **values)
{
    uint32_t regs[fsel_regs] = {};
    for (int i = 0; i < nvalues; i++) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long v = strtoull(values[i], &end, 0);
        if (*values[i] == '\0' || *end != '\0' || errno != 0 || v > UINT32_MAX) {
            fprintf(stderr, "simboard: not a 32-bit register value: %s\n", values[i]);
            return 2;
        }
        regs[i] = static_cast<uint32_t>(v);
    }
    const int fd = open(path, O_RDWR | O_CREAT, 0644);
    if (fd < 0)
        return fail("cannot create", path);
    // Truncating to zero first drops every old register value and keeps the file sparse.
    const bool ok = ftruncate(fd, 0) == 0 && ftruncate(fd, image_size) == 0 &&
                    pwrite(fd, regs, sizeof regs, gpio_base) == static_cast<ssize_t>(sizeof regs);
    if (!ok) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return fail("cannot write", path);
    }
    if (close(fd) != 0)
        return fail("cannot write", path);
    const std::string compatible = compatible_path(path);
    const int dt = open(compatible.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (dt < 0)
        return fail("cannot create", compatible.c_str());
    const bool written = write(dt, zero_w_compatible, sizeof zero_w_compatible) ==
                         static_cast<ssize_t>(sizeof zero_w_compatible);
    return close(dt) == 0 && written ? 0 : fail("cannot write", compatible.c_str());
}

int show(const char *path)
{
    const int fd = open(path, O_RDONLY);
    if (fd < 0)
        return fail("cannot open", path);
    uint32_t regs[2]; // GPFSEL0, GPFSEL1
    const ssize_t n = pread(fd, regs, sizeof regs, gpio_base);
    const int saved = errno;
    close(fd);
    if (n != static_cast<ssize_t>(sizeof regs)) {
        errno = n < 0 ? saved : EINVAL;
        return fail("not a board image (too short):", path);
    }
    printf("GPFSEL0 0x%08x  GPFSEL1 0x%08x\n", regs[0], regs[1]);
    printf("GPIO  header  function  under alt0\n");
    for (unsigned pin = 0; pin < shown_pins; pin++) {
        const unsigned code = (regs[bcm2835::fsel_reg(pin)] >> bcm2835::fsel_shift(pin)) & bcm2835::fsel_mask;
        char header[8] = "-";
        if (header_pin[pin] != 0)
            snprintf(header, sizeof header, "%d", header_pin[pin]);
        printf("%4u  %-6s  %-8s  %s\n", pin, header, function_names[code], spi0_signal(pin));
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "reset") == 0 && argc <= 3 + fsel_regs)
        return reset(argv[2], argc - 3, argv + 3);
    if (argc == 3 && strcmp(argv[1], "show") == 0)
        return show(argv[2]);
    return usage();
}
