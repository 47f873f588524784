// SPDX-License-Identifier: MIT
// switchPinCtrl: hands GPIO 7-11 of a BCM2835 to its SPI0 controller.
//
// The GPIO and SPI0 register blocks are mapped from physical memory over
// page-aligned stretches of the heap, and the function-select fields of the
// five pins are rewritten to alternate function 0. The pin configuration
// stays in the hardware after the process ends.
//
// Built on the board itself:  g++ -O2 -o switchPinCtrl switchPinCtrl.cpp

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

// Only a 32-bit ARM build may touch physical memory. Any other build must be
// pointed at the simulated board's memory image and device tree, so that running
// it on a PC can never write that PC's physical memory.
#if defined(__arm__)
#define MEM_DEVICE "/dev/mem"
#define DT_COMPATIBLE "/proc/device-tree/compatible"
#elif defined(SIM_MEM_IMAGE) && defined(SIM_DT_COMPATIBLE)
#define MEM_DEVICE SIM_MEM_IMAGE
#define DT_COMPATIBLE SIM_DT_COMPATIBLE
#else
#error "not a 32-bit ARM build: define SIM_MEM_IMAGE and SIM_DT_COMPATIBLE as the simulated board's"
#endif

// Physical addresses of the register blocks; right only for the BCM2835.
constexpr off_t gpio_base = 0x20200000;
constexpr off_t spi0_base = 0x20204000;

constexpr uintptr_t page_size = 4096;
constexpr size_t block_size = page_size;                  // one page of registers
constexpr size_t buffer_size = page_size + page_size - 1; // room to align a page

// The device tree's root compatible property is a list of NUL-terminated strings,
// the board's model first and its SoC last. Raspberry Pi's older kernels named
// the BCM2835 by its family's name, bcm2708.
constexpr size_t compatible_max = 1024;
const char *const bcm2835_names[] = {"brcm,bcm2835", "brcm,bcm2708"};

// Function-select registers: ten 3-bit fields per 32-bit word, from GPFSEL0, the
// first word of the GPIO block.
constexpr int gpfsel0 = 0;
constexpr int fsel_pins_per_reg = 10;
constexpr int fsel_field_bits = 3;
constexpr uint32_t fsel_mask = 7; // the whole field; 000 is input
constexpr uint32_t fsel_alt0 = 4; // 100: alternate function 0

// GPIO 7-11 carry SPI0 CE1, CE0, MISO, MOSI and SCLK under alternate function 0.
constexpr int spi0_first_pin = 7;
constexpr int spi0_last_pin = 11;

// The tool's process-wide state, and the set-up that fills it in: of external
// linkage by design.
// NOLINTBEGIN(misc-use-internal-linkage)
int mem_fd;
char *gpio_mem;
char *gpio_map;
char *spi0_mem;
char *spi0_map;
volatile uint32_t *gpio;
volatile uint32_t *spi0;

void setup_io();
// NOLINTEND(misc-use-internal-linkage)
static void check_board();

int main([[maybe_unused]] int argc, [[maybe_unused]] char **argv)
{
    setup_io();

    for (int g = spi0_first_pin; g <= spi0_last_pin; g++) {
        const int reg = gpfsel0 + g / fsel_pins_per_reg;
        const int shift = (g % fsel_pins_per_reg) * fsel_field_bits;
        // Clear first: OR-ing alone would keep bits of a previous function.
        // Each statement is one bus read and one bus write of the register.
        gpio[reg] = gpio[reg] & ~(fsel_mask << shift);
        gpio[reg] = gpio[reg] | (fsel_alt0 << shift);
    }

    return 0;
}

// Ends the process unless the device tree names the BCM2835. The same physical
// addresses are RAM on the later Raspberry Pis, or nothing at all: writing there
// would corrupt another program's memory or hang the board.
static void check_board()
{
    char compatible[compatible_max];
    ssize_t length = 0;
    const int fd = open(DT_COMPATIBLE, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = 1;
        while (n > 0 && length < static_cast<ssize_t>(sizeof compatible)) {
            n = read(fd, compatible + length, sizeof compatible - static_cast<size_t>(length));
            length += n > 0 ? n : 0;
        }
        if (n < 0)
            length = 0; // a read error leaves nothing to trust
        close(fd);
    }
    if (length == 0) {
        puts("can't read the device tree");
        exit(-1);
    }
    // Only whole strings count: one cut off at the end of the buffer names nothing.
    for (size_t at = 0; at < static_cast<size_t>(length);) {
        const char *name = compatible + at;
        const size_t n = strnlen(name, static_cast<size_t>(length) - at);
        if (n == static_cast<size_t>(length) - at)
            break;
        for (const char *soc : bcm2835_names)
            // cppcheck-suppress useStlAlgorithm ; the tool needs the C library alone
            if (strcmp(name, soc) == 0)
                return;
        at += n + 1;
    }
    puts("not a BCM2835 board");
    exit(-1);
}

// Maps the GPIO and SPI0 blocks, or prints why not and ends the process. It checks
// the board first, so that nothing is opened, reserved or mapped on another one.
void setup_io()
{
    check_board();

    mem_fd = open(MEM_DEVICE, O_RDWR | O_SYNC);
    if (mem_fd < 0) {
        puts("can't open /dev/mem ");
        exit(-1);
    }

    // The heap buffers are never freed: once mapped, a page of each is device
    // memory, and it has to stay mapped until the process ends.
    gpio_mem = static_cast<char *>(malloc(buffer_size));
    if (gpio_mem == nullptr) {
        puts("allocation error ");
        exit(-1);
    }
    if (reinterpret_cast<uintptr_t>(gpio_mem) % page_size != 0)
        gpio_mem += page_size - reinterpret_cast<uintptr_t>(gpio_mem) % page_size;

    gpio_map = static_cast<char *>(
        mmap(gpio_mem, block_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, mem_fd, gpio_base));
    // Compared with MAP_FAILED, not tested for a negative value: on a 32-bit
    // board a heap address at or above 0x80000000 is negative as a signed word.
    if (gpio_map == MAP_FAILED) {
        printf("mmap error %d\n", static_cast<int>(reinterpret_cast<intptr_t>(gpio_map)));
        exit(-1);
    }
    gpio = reinterpret_cast<volatile uint32_t *>(gpio_map);

    spi0_mem = static_cast<char *>(malloc(buffer_size));
    if (spi0_mem == nullptr) {
        puts("allocation error ");
        exit(-1);
    }
    if (reinterpret_cast<uintptr_t>(spi0_mem) % page_size != 0)
        spi0_mem += page_size - reinterpret_cast<uintptr_t>(spi0_mem) % page_size;

    spi0_map = static_cast<char *>(
        mmap(spi0_mem, block_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, mem_fd, spi0_base));
    // Printed before the result is tested, so a failed mapping shows here too.
    printf("SPI mapped from 0x%p to 0x%p\n", reinterpret_cast<void *>(spi0_base),
           static_cast<void *>(spi0_map));
    if (spi0_map == MAP_FAILED) {
        printf("mmap error %d\n", static_cast<int>(reinterpret_cast<intptr_t>(spi0_map)));
        exit(-1);
    }
    spi0 = reinterpret_cast<volatile uint32_t *>(spi0_map);
}
