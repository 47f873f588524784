// Helpers for black-box tests: a board image in a temporary folder, runs of
// a program under the fault layer, and the fault layer's log of calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// GPFSEL0 bits 21-29 and GPFSEL1 bits 0-5 hold the fields of GPIO 7-11;
// alternate function 0 is code 100 in each.
constexpr uint32_t spi_fields[2] = {0x3fe00000, 0x0000003f};
constexpr uint32_t spi_alt0[2] = {0x24800000, 0x00000024};

// GPFSEL0 or GPFSEL1 (reg 0 or 1) as a run of the tool must leave it.
constexpr uint32_t switched(int reg, uint32_t before)
{
    return (before & ~spi_fields[reg]) | spi_alt0[reg];
}

struct Result {
    int status = -1; // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// One logged platform call: name(args) = result.
struct Call {
    std::string name;
    std::vector<std::string> args;
    std::string result;
};

class TempBoard {
  public:
    TempBoard();
    ~TempBoard();
    TempBoard(const TempBoard &) = delete;
    TempBoard &operator=(const TempBoard &) = delete;

    // Writes a fresh image: GPFSEL0/GPFSEL1 as given, every other word of the
    // GPIO and SPI0 pages a distinct pattern that the tool must leave alone.
    void seed(uint32_t gpfsel0, uint32_t gpfsel1) const;
    std::vector<uint32_t> page(uint64_t phys) const;

    // Runs `program args` under the fault layer with the extra variables `env`.
    Result run(const std::string &program, const std::vector<std::string> &args,
               const std::vector<std::string> &env = {}) const;
    std::vector<Call> calls() const;

    std::string dir;
    std::string image;
    std::string log;
};

// The program under test and how it is run: natively by default, or as set by
// TEST_TOOL, TEST_FAULTS (its fault layer), TEST_LAUNCHER (a user-mode emulator
// with its options) and TEST_TOOL_BITS (its pointer width).
std::string tool_path();
uint64_t map_failed(); // MAP_FAILED as the tool's %p prints it

Result run_command(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::string &scratch);
uint64_t number(const std::string &text); // a logged value: decimal, hex, or (nil)
