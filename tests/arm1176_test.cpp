// SPDX-License-Identifier: MIT
// The binary a board gets, as it is, on the ARM1176's own instruction set (qemu-arm
// -cpu arm1176): no fault layer, with a board image, a folder or /dev/null at dev/mem
// in the emulator's root, so that the guest can never reach the machine's memory, and
// a device tree's compatible property at proc/device-tree/compatible.
#include "support.hpp"

#include "bcm2835.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;

using bcm2835::gpio_base;
using bcm2835::spi0_base;

enum class Device : uint8_t { image, folder, null };

struct Case {
    const char *name; // cppcheck-suppress unusedStructMember ; read by the name generator
    Device device;
    std::string_view compatible;
    std::vector<std::string> args;
    std::string out; // a regular expression
    int status;
};

class Arm1176 : public testing::TestWithParam<Case> {};

TEST_P(Arm1176, ShippedBinary)
{
    const Case c = GetParam();
    const Scratch scratch;
    const fs::path root = scratch.path;
    fs::create_directory(root / "dev");
    const BoardImage board(root / "dev/mem", root / "proc/device-tree/compatible");
    switch (c.device) {
    case Device::image: board.seed(0xa73ac688, 0x6c68fd5a); break;
    case Device::folder: fs::create_directory(board.path); break;
    case Device::null: fs::create_symlink("/dev/null", board.path); break;
    }
    board.name(c.compatible);
    std::vector<uint32_t> gpio, spi0;
    if (c.device == Device::image) {
        gpio = board.page(gpio_base);
        if (c.status == 0) {
            gpio[0] = switched(0, gpio[0]);
            gpio[1] = switched(1, gpio[1]);
        }
        spi0 = board.page(spi0_base);
    }
    // The guest runs as nobody where the test may switch users, so the tool and the
    // image must be theirs to read and write.
    // TEST_BOARD_TOOL judges another build's binary, such as one a clean build root made.
    const fs::path tool = root / "switchPinCtrl";
    const char *other = std::getenv("TEST_BOARD_TOOL");
    fs::copy_file(other != nullptr ? other : BOARD_TOOL, tool);
    const fs::perms searchable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(root, searchable);
    fs::permissions(root / "dev", searchable);
    if (c.device == Device::image)
        fs::permissions(board.path, fs::perms::others_read | fs::perms::others_write, fs::perm_options::add);

    std::vector<std::string> argv;
    if (geteuid() == 0)
        argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.insert(argv.end(), {QEMU_ARM, "-cpu", "arm1176", "-L", root, tool});
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Result r = run_command(argv, {}, scratch);

    EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, c.status);
    if (c.device == Device::image) {
        EXPECT_EQ(board.page(gpio_base), gpio);
        EXPECT_EQ(board.page(spi0_base), spi0);
    }
}

// The regular expression of the line a successful run prints.
static std::string mapped()
{
    return std::string(mapped_line) + "0x[0-9a-f]*000\n";
}
constexpr std::string_view zero_w = "raspberrypi,model-zero-w\0brcm,bcm2835\0"sv;

INSTANTIATE_TEST_SUITE_P(
    DevMem, Arm1176,
    testing::Values(Case{"Image", Device::image, zero_w, {}, mapped(), 0},
                    Case{"ImageWithArguments", Device::image, zero_w, {"--help", "-x", "7"}, mapped(), 0},
                    Case{"Folder", Device::folder, zero_w, {}, "can't open /dev/mem \n", 255},
                    Case{"DevNull", Device::null, zero_w, {}, "mmap error -1\n", 255},
                    // A Raspberry Pi 2: the registers are elsewhere, and nothing is written.
                    Case{"Pi2",
                         Device::image,
                         "raspberrypi,2-model-b\0brcm,bcm2836\0"sv,
                         {},
                         "not a BCM2835 board\n",
                         255}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
