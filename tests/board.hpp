// Helpers for black-box tests: a board image in a temporary folder, runs of
// a program under the fault layer, and the fault layer's log of calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

class TempBoard
{
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

Result run_command(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const std::string &scratch);
uint64_t number(const std::string &text); // a logged value: decimal, hex, or (nil)
