// SPDX-License-Identifier: MIT
// Black-box tests of switchPinCtrl: the real binary on a board image of its
// own, its platform calls watched and steered by the fault layer.
#include "support.hpp"

#include "bcm2835.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;
using bcm2835::gpio_base;
using bcm2835::spi0_base;
constexpr uint64_t buffer_size = bcm2835::tool_buffer_size;

// %p as the tool prints it.
std::string pointer(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
    return text;
}

std::vector<std::string> names(const std::vector<Call> &calls)
{
    std::vector<std::string> n(calls.size());
    std::transform(calls.begin(), calls.end(), n.begin(), [](const Call &c) { return c.name; });
    return n;
}

// A board image in a scratch folder of its own.
struct Board {
    Scratch scratch;
    BoardImage image{scratch.file("board.img"), scratch.file("board.compatible")};
};

// Checks a successful run: its output, its calls and where it mapped each page.
// The board check's open of the compatible property comes first, then the memory's,
// and each reaches the board's file in the scratch folder. A PC's build asks for the
// simulated board's files, never for the machine's.
void expect_success(const BoardImage &image, const FaultRun &run)
{
    const Result &r = run.result;
    const std::vector<Call> &all = run.calls;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(names(all), (std::vector<std::string>{"open", "open", "malloc", "mmap", "malloc", "mmap"}));
    EXPECT_EQ(all[0].opened, image.compatible);
    EXPECT_EQ(all[1].opened, image.path);
    if (std::getenv("TEST_LAUNCHER") == nullptr) {
        EXPECT_NE(all[0].args.at(0), "\"/proc/device-tree/compatible\"");
        EXPECT_NE(all[1].args.at(0), "\"/dev/mem\"");
    }
    const std::vector<Call> calls(all.begin() + 1, all.end());
    EXPECT_EQ(calls[0].args.at(1), "0x101002"); // O_RDWR | O_SYNC
    for (const int i : {1, 3}) {
        const uint64_t buffer = number(calls[i].result);
        const Call &map = calls[i + 1];
        const uint64_t at = number(map.args.at(0));
        EXPECT_EQ(map.args.at(1), "4096");
        EXPECT_EQ(map.args.at(2), "0x3");  // PROT_READ | PROT_WRITE
        EXPECT_EQ(map.args.at(3), "0x11"); // MAP_SHARED | MAP_FIXED
        EXPECT_EQ(map.args.at(4), calls[0].result);
        EXPECT_EQ(number(map.args.at(5)), i == 1 ? gpio_base : spi0_base);
        EXPECT_EQ(at % 4096, 0U) << map.args.at(0);
        EXPECT_GE(at, buffer);
        EXPECT_LE(at - buffer, 4095U);
        EXPECT_LE(at + 4096, buffer + buffer_size);
        EXPECT_EQ(map.result, map.args.at(0));
    }
    EXPECT_EQ(r.out, std::string(mapped_line) + calls[4].result + "\n");
}

struct Seed {
    const char *name; // cppcheck-suppress unusedStructMember ; read by param_name
    uint32_t gpfsel0, gpfsel1;
};

template <class Param> std::string param_name(const testing::TestParamInfo<Param> &info)
{
    return info.param.name;
}

class Switch : public testing::TestWithParam<Seed> {};

// Exactly the five fields become 100, whatever they held; a second run and
// command-line arguments change nothing further.
TEST_P(Switch, OnlyTheFiveFieldsBecomeAlt0)
{
    const Board board;
    const Seed s = GetParam();
    board.image.seed(s.gpfsel0, s.gpfsel1);
    std::vector<uint32_t> want = board.image.page(gpio_base);
    want[0] = switched(0, s.gpfsel0);
    want[1] = switched(1, s.gpfsel1);
    const std::vector<uint32_t> spi0_page = board.image.page(spi0_base);

    for (const auto &args : {std::vector<std::string>{}, {}, {"--help", "-x", "7"}}) {
        const FaultRun run = run_with_faults(board.scratch, board.image, args);
        expect_success(board.image, run);
        EXPECT_EQ(board.image.page(gpio_base), want);
        // cppcheck-suppress knownConditionTrueFalse ; the tool runs between the two reads
        EXPECT_EQ(board.image.page(spi0_base), spi0_page);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Switch,
                         testing::Values(Seed{"zeros", 0, 0}, Seed{"ones", 0xffffffff, 0xffffffff},
                                         // pins 0-6 codes 0-6, pin 7 001, pin 8 111, pin 9 100, bit 31;
                                         // pin 10 010, pin 11 011, pins 12-19 mixed, bit 30
                                         Seed{"mixed", 0xa73ac688, 0x6c68fd5a}),
                         param_name<Seed>);

struct Placement {
    const char *name; // cppcheck-suppress unusedStructMember ; read by param_name
    uint64_t buffer[2];
    uint64_t mapped[2];
};

class Buffers : public testing::TestWithParam<Placement> {};

// Each page is mapped at the first page boundary inside its heap buffer.
TEST_P(Buffers, MappedAtFirstPageBoundaryInside)
{
    const Board board;
    board.image.seed(0, 0);
    const Placement p = GetParam();
    const std::string at = "SIMBOARD_BUFFERS=" + pointer(p.buffer[0]) + "," + pointer(p.buffer[1]);
    const FaultRun run = run_with_faults(board.scratch, board.image, {}, {at});
    const std::vector<Call> &calls = run.calls;
    expect_success(board.image, run);
    ASSERT_EQ(calls.size(), 6U);
    EXPECT_EQ(number(calls[2].result), p.buffer[0]);
    EXPECT_EQ(number(calls[3].result), p.mapped[0]);
    EXPECT_EQ(number(calls[4].result), p.buffer[1]);
    EXPECT_EQ(number(calls[5].result), p.mapped[1]);
    EXPECT_EQ(board.image.page(gpio_base)[0], spi0_fields(0, bcm2835::fsel_alt0));
}

INSTANTIATE_TEST_SUITE_P(
    Heap, Buffers,
    testing::Values(Placement{"OnPage", {0x30000000, 0x30100000}, {0x30000000, 0x30100000}},
                    Placement{"EightPast", {0x30000008, 0x30100008}, {0x30001000, 0x30101000}},
                    Placement{"Odd", {0x30000fff, 0x30100001}, {0x30001000, 0x30101000}},
                    // Negative as 32-bit signed words, and still a successful mapping.
                    Placement{"High", {0x90000000, 0x90100008}, {0x90000000, 0x90101000}}),
    param_name<Placement>);

struct Failure {
    const char *name; // cppcheck-suppress unusedStructMember ; read by param_name
    const char *fault;
    std::string_view compatible;    // the board's compatible property; "" for none
    std::string out;                // %s: the failure value as %p prints it
    std::vector<std::string> calls; // the calls made, the last one failing
};

class Failures : public testing::TestWithParam<Failure> {};

// The board that `f` fails on: seeded, and named by its device tree as `f` says.
void prepare(const Board &board, const Failure &f)
{
    board.image.seed(0xa73ac688, 0x6c68fd5a);
    board.image.name(f.compatible);
}

FaultRun run_failure(const Board &board, const Failure &f)
{
    return run_with_faults(board.scratch, board.image, {}, {std::string("SIMBOARD_FAIL=") + f.fault});
}

// Each failure prints its lines, exits 255, takes no later step and leaves
// every register as it was. On a board that is not a BCM2835 the tool opens
// nothing but the device tree's property.
TEST_P(Failures, ReportAndStopBeforeAnyRegisterWrite)
{
    const Board board;
    const Failure f = GetParam();
    prepare(board, f);
    const std::vector<uint32_t> gpio_page = board.image.page(gpio_base);
    const std::vector<uint32_t> spi0_page = board.image.page(spi0_base);

    const FaultRun run = run_failure(board, f);
    const Result &r = run.result;
    const std::vector<Call> &calls = run.calls;

    char out[128];
    std::snprintf(out, sizeof out, f.out.c_str(), pointer(map_failed()).c_str());
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
    ASSERT_EQ(names(calls), f.calls);
    const std::string &failed = calls.back().result;
    if (*f.fault != '\0') {
        EXPECT_TRUE(failed == "-1" || failed == "(nil)" || number(failed) == map_failed()) << failed;
    }
    // cppcheck-suppress knownConditionTrueFalse ; the tool runs between the two reads
    EXPECT_EQ(board.image.page(gpio_base), gpio_page);
    // cppcheck-suppress knownConditionTrueFalse
    EXPECT_EQ(board.image.page(spi0_base), spi0_page);
}

constexpr std::string_view pi_zero = "raspberrypi,model-zero\0brcm,bcm2835\0"sv;

// Built when asked for: the table's strings are no static object's.
std::vector<Failure> failures()
{
    return {
        Failure{"Open", "open", pi_zero, "can't open /dev/mem \n", {"open", "open"}},
        Failure{"FirstMalloc", "malloc1", pi_zero, "allocation error \n", {"open", "open", "malloc"}},
        Failure{"GpioMmap", "mmap-gpio", pi_zero, "mmap error -1\n", {"open", "open", "malloc", "mmap"}},
        Failure{"SecondMalloc",
                "malloc2",
                pi_zero,
                "allocation error \n",
                {"open", "open", "malloc", "mmap", "malloc"}},
        Failure{"Spi0Mmap",
                "mmap-spi0",
                pi_zero,
                std::string(mapped_line) + "%s\nmmap error -1\n",
                {"open", "open", "malloc", "mmap", "malloc", "mmap"}},
        // Boards whose peripherals are elsewhere: the same addresses are RAM there.
        Failure{"Pi2", "", "raspberrypi,2-model-b\0brcm,bcm2836\0"sv, "not a BCM2835 board\n", {"open"}},
        Failure{
            "Zero2W", "", "raspberrypi,model-zero-2-w\0brcm,bcm2837\0"sv, "not a BCM2835 board\n", {"open"}},
        // The name must be a whole string of the list, not part of one.
        Failure{"NamePrefix", "", "brcm,bcm2835-x\0brcm,bcm28\0"sv, "not a BCM2835 board\n", {"open"}},
        Failure{
            "Unterminated", "", "raspberrypi,model-zero\0brcm,bcm2835"sv, "not a BCM2835 board\n", {"open"}},
        Failure{"NoDeviceTree", "", "", "can't read the device tree\n", {"open"}}};
}

INSTANTIATE_TEST_SUITE_P(Table, Failures, testing::ValuesIn(failures()), param_name<Failure>);

// The lines that the tool printed in `out`, as a document quotes them, each marked
// whether it ends in a value of the run's (an address): then the text before the value.
void add_lines(std::map<std::string, bool> &messages, const std::string &out)
{
    static const std::regex value{"(.*0x)[0-9a-f]+"};
    std::smatch m;
    for (size_t at = 0, end = 0; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = out.substr(at, end - at);
        const bool valued = std::regex_match(line, m, value);
        messages[valued ? std::string(m[1]) : line] = valued;
    }
}

// The README's quotes, `so`, and the manual page's bold arguments, its escapes undone.
std::vector<std::string> quotes(const std::string &path)
{
    static const std::regex code("`([^`]+)`");
    static const std::regex bold(R"(^\.B (.*)$)");
    static const std::regex quoted(R"re(^"(.*)"$)re");
    static const std::regex dropped(R"(\\f[BIRP]|\\[&c])");
    std::vector<std::string> found;
    std::ifstream file(path);
    std::smatch m;
    for (std::string line; std::getline(file, line);) {
        for (auto i = std::sregex_iterator(line.begin(), line.end(), code); i != std::sregex_iterator(); ++i)
            found.push_back((*i)[1]);
        if (std::regex_match(line, m, bold)) {
            std::string text = std::regex_replace(std::string(m[1]), dropped, "");
            if (std::regex_match(text, m, quoted))
                text = m[1];
            text = std::regex_replace(text, std::regex(R"(\\\(aq)"), "'");
            found.push_back(std::regex_replace(text, std::regex(R"(\\-)"), "-"));
        }
    }
    return found;
}

// The README and the manual page quote every line that the tool printed in these runs,
// as it printed it: its own words, its trailing blanks, and, before a value, a
// placeholder, an example, or nothing.
TEST(Messages, QuotedAsPrinted)
{
    std::map<std::string, bool> printed;
    for (const Failure &f : failures()) {
        const Board board;
        prepare(board, f);
        add_lines(printed, run_failure(board, f).result.out);
    }
    const Board board;
    board.image.seed(0, 0);
    add_lines(printed, run_with_faults(board.scratch, board.image, {}).result.out);
    ASSERT_EQ(printed.size(), 6U);

    for (const std::string path : {README_PATH, MANUAL_PATH}) {
        const std::vector<std::string> copies = quotes(path);
        for (const auto &message : printed) {
            const std::string &text = message.first;
            const bool valued = message.second;
            const bool quoted = std::any_of(copies.begin(), copies.end(), [&](const std::string &c) {
                const std::string rest = c.starts_with(text) ? c.substr(text.size()) : "?";
                return valued
                           ? rest == "..." || rest.find_first_not_of("0123456789abcdef") == std::string::npos
                           : c == text;
            });
            EXPECT_TRUE(quoted) << path << " does not quote \"" << text << "\" as the tool prints it";
        }
    }
}

// Raspberry Pi's older kernels name the BCM2835 by its family, alone.
TEST(Board, FamilyNameIsABcm2835)
{
    const Board board;
    board.image.seed(0, 0);
    board.image.name("brcm,bcm2708\0"sv);
    const FaultRun run = run_with_faults(board.scratch, board.image, {});
    expect_success(board.image, run);
    EXPECT_EQ(board.image.page(gpio_base)[0], spi0_fields(0, bcm2835::fsel_alt0));
}

// A missing image is the simulated board's version of an unopenable device.
TEST(Device, UnopenableDeviceReportedBeforeAnyAllocation)
{
    const Board board;
    board.image.name("raspberrypi,model-zero\0brcm,bcm2835\0"sv);
    const FaultRun run = run_with_faults(board.scratch, board.image, {});
    EXPECT_EQ(run.result.out, "can't open /dev/mem \n");
    EXPECT_EQ(run.result.status, 255);
    EXPECT_EQ(names(run.calls), (std::vector<std::string>{"open", "open"}));
}

// A 32-bit ARM build opens /dev/mem and the device tree itself; with no file to go
// to, the fault layer must stop it rather than let it reach the machine's own.
TEST(Device, MachineFilesRefusedWithoutStandIns)
{
    if (std::getenv("TEST_LAUNCHER") == nullptr)
        GTEST_SKIP() << "this build opens the simulated board's files, never the machine's";
    const Board board;
    board.image.seed(0, 0);
    FaultRun run = run_with_faults(board.scratch, board.image, {}, {"SIMBOARD_IMAGE="});
    EXPECT_EQ(run.result.out, "can't open /dev/mem \n");
    EXPECT_EQ(run.result.status, 255);
    ASSERT_EQ(names(run.calls), (std::vector<std::string>{"open", "open"}));
    EXPECT_EQ(run.calls[1].args.at(0), "\"/dev/mem\"");
    EXPECT_EQ(run.calls[1].result, "-1");

    run = run_with_faults(board.scratch, board.image, {}, {"SIMBOARD_COMPATIBLE="});
    EXPECT_EQ(run.result.out, "can't read the device tree\n");
    EXPECT_EQ(run.result.status, 255);
    ASSERT_EQ(names(run.calls), std::vector<std::string>{"open"});
    EXPECT_EQ(run.calls[0].args.at(0), "\"/proc/device-tree/compatible\"");
    EXPECT_EQ(run.calls[0].result, "-1");
}

// Compiled for a PC without the simulated board's files to point it at, the source
// yields no object; given them, the same command makes one.
TEST(Binary, PcBuildWithoutImageRefused)
{
    const Scratch scratch;
    const std::string object = scratch.file("switchPinCtrl.o");
    std::vector<std::string> compile = {CXX_COMPILER, "-std=c++20", "-c", TOOL_SOURCE, "-o", object};
    const Result refused = run_command(compile, {}, scratch);
    EXPECT_NE(refused.status, 0);
    EXPECT_FALSE(std::filesystem::exists(object));

    compile.insert(compile.end(), {"-DSIM_MEM_IMAGE=\"" + scratch.file("board.img") + "\"",
                                   "-DSIM_DT_COMPATIBLE=\"" + scratch.file("board.compatible") + "\""});
    const Result built = run_command(compile, {}, scratch);
    EXPECT_EQ(built.status, 0) << built.err;
    EXPECT_TRUE(std::filesystem::exists(object));
}

} // namespace
