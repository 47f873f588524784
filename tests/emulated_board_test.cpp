// SPDX-License-Identifier: MIT
// switchPinCtrl on the emulated BCM2835 under a real Linux kernel: its output,
// status, the registers afterwards and every bus access it made.
#include "support.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>

namespace {

struct Access {
    char kind; // 'r' or 'w'
    uint64_t addr;
    uint32_t value;
};

struct BoardRun {
    int status = -1;
    std::string out, err;
    std::vector<std::string> before, after; // GPFSEL0, GPFSEL1 as read back, "-" if unreadable
    std::vector<Access> bus;
};

std::map<std::string, BoardRun> runs;

std::string unhex(const std::string &hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

// Boots the board once for `cases` and adds what each run did to `runs`.
void boot(const std::string &cases, bool strict)
{
    const Scratch scratch;
    const std::string case_file = scratch.file("cases");
    std::ofstream(case_file) << cases;
    std::vector<std::string> argv{PYTHON, RUNNER, "run"};
    if (strict)
        argv.emplace_back("--strict");
    argv.insert(argv.end(), {BOARD_CACHE, BOARD_TOOL, case_file});
    // One line per fact, in the format board.py's run() sets down where it writes them.
    for (const std::string &line : results_of(argv)) {
        std::istringstream f(line);
        std::string name, what;
        f >> name >> what;
        BoardRun &run = runs[name];
        if (what == "status") {
            f >> run.status;
        } else if (what == "out" || what == "err") {
            std::string hex;
            f >> hex;
            (what == "out" ? run.out : run.err) = unhex(hex);
        } else if (what == "before" || what == "after") {
            std::string a, b;
            f >> a >> b;
            (what == "before" ? run.before : run.after) = {a, b};
        } else if (what == "access") {
            Access a{};
            std::string addr, value;
            f >> a.kind >> addr >> value;
            a.addr = std::stoull(addr, nullptr, 16);
            a.value = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
            run.bus.push_back(a);
        }
    }
}

class EmulatedBoard : public testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        // Bits 30-31 of the function-select registers read as 0 on this model.
        boot("zeros 0 0 root\n"
             "ones 0xffffffff 0xffffffff root\n"
             "mixed 0xa73ac688 0x6c68fd5a root\n"
             "again - - root\n"
             "args 0 0 root --help -x 7\n"
             "nobody 0 0 nobody\n",
             false);
        // Without iomem=relaxed the kernel keeps the GPIO block from user space.
        boot("refused - - root\n", true);
    }

    static const BoardRun &run(const std::string &name)
    {
        const auto it = runs.find(name);
        if (it == runs.end())
            throw std::runtime_error("the board did not report run " + name);
        return it->second;
    }

    static uint32_t reg(const std::string &text)
    {
        return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
    }

    // A successful run: the line, status 0, the five fields switched and the
    // 20 accesses of two read-modify-writes per pin, in pin order.
    static void expect_switched(const BoardRun &r)
    {
        static const std::regex line("SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]+000\n");
        EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        ASSERT_EQ(r.before.size(), 2U);
        ASSERT_EQ(r.after.size(), 2U);
        for (unsigned i = 0; i < 2; i++)
            EXPECT_EQ(reg(r.after[i]), switched(i, reg(r.before[i]))) << "GPFSEL" << i;

        ASSERT_EQ(r.bus.size(), 20U);
        for (unsigned pin = bcm2835::spi0_first_pin; pin <= bcm2835::spi0_last_pin; pin++) {
            const Access *a = &r.bus[static_cast<size_t>(pin - bcm2835::spi0_first_pin) * 4];
            const uint64_t addr = bcm2835::gpio_base + bcm2835::fsel_reg(pin) * sizeof(uint32_t);
            const uint32_t field = bcm2835::fsel_mask << bcm2835::fsel_shift(pin);
            for (int i = 0; i < 4; i++) {
                EXPECT_EQ(a[i].kind, i % 2 == 0 ? 'r' : 'w') << "pin " << pin << " access " << i;
                EXPECT_EQ(a[i].addr, addr) << "pin " << pin << " access " << i;
            }
            EXPECT_EQ(a[1].value, a[0].value & ~field) << "pin " << pin << ": clear";
            EXPECT_EQ(a[2].value, a[1].value) << "pin " << pin << ": read back";
            EXPECT_EQ(a[3].value, a[2].value | (bcm2835::fsel_alt0 << bcm2835::fsel_shift(pin)))
                << "pin " << pin << ": set";
        }
    }

    static void expect_refused(const BoardRun &r, const std::string &out)
    {
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.after, r.before);
        EXPECT_TRUE(r.bus.empty()) << r.bus.size() << " bus accesses";
    }
};

TEST_F(EmulatedBoard, SwitchesFromAnySeed)
{
    for (const char *name : {"zeros", "ones", "mixed"}) {
        SCOPED_TRACE(name);
        expect_switched(run(name));
    }
}

TEST_F(EmulatedBoard, SecondRunWritesTheSameAgain)
{
    expect_switched(run("again"));
    EXPECT_EQ(run("again").after, run("again").before);
}

TEST_F(EmulatedBoard, ArgumentsChangeNothing)
{
    expect_switched(run("args"));
    EXPECT_EQ(run("args").after, run("zeros").after);
}

TEST_F(EmulatedBoard, NonRootCannotOpenTheDevice)
{
    expect_refused(run("nobody"), "can't open /dev/mem \n");
}

TEST_F(EmulatedBoard, StrictKernelRefusesTheMapping)
{
    expect_refused(run("refused"), "mmap error -1\n");
}

} // namespace
