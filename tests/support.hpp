// SPDX-License-Identifier: MIT
// Helpers for the black-box tests: a scratch folder, a board image, running a program,
// and running the tool under the fault layer with the calls it logged.
#pragma once

#include "bcm2835.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The bits of the five SPI0 pins' fields in GPFSEL0 and GPFSEL1 (reg 0 or 1), and
// those fields holding alternate function 0.
constexpr uint32_t spi0_fields(unsigned reg, uint32_t code)
{
    uint32_t bits = 0;
    for (unsigned pin = bcm2835::spi0_first_pin; pin <= bcm2835::spi0_last_pin; pin++)
        if (bcm2835::fsel_reg(pin) == reg)
            bits |= code << bcm2835::fsel_shift(pin);
    return bits;
}

// GPFSEL0 or GPFSEL1 (reg 0 or 1) as a run of the tool must leave it.
constexpr uint32_t switched(unsigned reg, uint32_t before)
{
    return (before & ~spi0_fields(reg, bcm2835::fsel_mask)) | spi0_fields(reg, bcm2835::fsel_alt0);
}

// The line the tool prints once it has mapped both blocks, up to the mapped address: the
// format's own 0x, and %p's, come before each value.
inline constexpr std::string_view mapped_line = "SPI mapped from 0x0x20204000 to 0x";

// A temporary folder, removed with all it holds.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    std::string file(const std::string &name) const
    {
        return path + "/" + name;
    }

    std::string path;
};

// A board image at `path`: a sparse file whose byte offsets are physical addresses, and
// its device tree's root compatible property at `compatible`.
class BoardImage {
  public:
    BoardImage(std::string path, std::string compatible)
        : path(std::move(path)), compatible(std::move(compatible))
    {
    }

    // Writes a fresh image: GPFSEL0/GPFSEL1 as given, every other word of the GPIO
    // and SPI0 pages a distinct pattern that the tool must leave alone; and a Pi Zero's
    // compatible property.
    void seed(uint32_t gpfsel0, uint32_t gpfsel1) const;
    // Writes the compatible property: NUL-terminated strings, or no file at all for "".
    void name(std::string_view strings) const;
    std::vector<uint32_t> page(uint64_t phys) const;

    std::string path;
    std::string compatible;
};

struct Result {
    int status = -1; // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs argv[0] with `env` as its whole environment, PATH /usr/bin:/bin unless `env`
// sets it; its output goes through files in `scratch`.
Result run_command(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const Scratch &scratch);

// One platform call the fault layer logged: name(args) = result, and for an open it
// redirected, the file it opened instead.
struct Call {
    std::string name;
    std::vector<std::string> args;
    std::string result;
    std::string opened;
};

struct FaultRun {
    Result result;
    std::vector<Call> calls;
};

// Runs the tool with `args` under the fault layer on `image`, with the extra
// variables `env` (which may override the image or its compatible property), and
// reads back its calls.
FaultRun run_with_faults(const Scratch &scratch, const BoardImage &image,
                         const std::vector<std::string> &args, const std::vector<std::string> &env = {});

// The program under test and how it is run: natively by default, or as set by
// TEST_TOOL, TEST_FAULTS (its fault layer), TEST_LAUNCHER (a user-mode emulator
// with its options) and TEST_TOOL_BITS (its pointer width).
std::string tool_path();
uint64_t map_failed(); // MAP_FAILED as the tool's %p prints it

uint64_t number(const std::string &text); // a logged value: decimal, hex, or (nil)
