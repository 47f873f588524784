// SPDX-License-Identifier: MIT
// The board image viewer: what it creates, and how it names what it sees.
#include "support.hpp"

#include "bcm2835.hpp"

#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <ios>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace std::string_view_literals;

TEST(Simboard, ResetMakesASparseImageWithGivenRegistersAndAPiZeroTree)
{
    const Scratch scratch;
    const BoardImage board(scratch.file("board.img"), scratch.file("board.compatible"));
    const std::string &image = board.path;
    board.seed(0x12345678, 0x9abcdef0); // old contents that a reset must clear
    ASSERT_EQ(run_command({SIMBOARD_PATH, "reset", image, "0x249249", "1"}, {}, scratch).status, 0);

    struct stat st = {};
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), bcm2835::image_size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20); // sparse: the registers only
    const std::vector<uint32_t> gpio = board.page(bcm2835::gpio_base);
    EXPECT_EQ(gpio[0], 0x249249U);
    EXPECT_EQ(gpio[1], 1U);
    EXPECT_EQ(std::vector<uint32_t>(gpio.begin() + 2, gpio.end()), std::vector<uint32_t>(1022, 0));
    EXPECT_EQ(board.page(bcm2835::spi0_base), std::vector<uint32_t>(1024, 0));
    std::ifstream property(board.compatible, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(property), {}),
              "raspberrypi,model-zero-w\0brcm,bcm2835\0"sv);

    for (const char *bad : {"0x100000000", "12abc", ""})
        EXPECT_EQ(run_command({SIMBOARD_PATH, "reset", image, bad}, {}, scratch).status, 2) << bad;
}

TEST(Simboard, ShowNamesEachFunctionSignalAndHeaderPin)
{
    const Scratch scratch;
    const BoardImage board(scratch.file("board.img"), scratch.file("board.compatible"));
    // GPIO 0-7 hold codes 0-7 in turn; GPIO 10 and 11 alt0.
    board.seed(0x00fac688, 0x00000024);
    const Result r = run_command({SIMBOARD_PATH, "show", board.path}, {}, scratch);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line :
         {"GPFSEL0 0x00fac688  GPFSEL1 0x00000024\n", "   0  -       input     -\n",
          "   1  -       output    -\n", "   2  3       alt5      -\n", "   3  5       alt4      -\n",
          "   4  7       alt0      -\n", "   5  -       alt1      -\n", "   6  -       alt2      -\n",
          "   7  26      alt3      SPI0 CE1 (active low)\n",
          "   8  24      input     SPI0 CE0 (active low)\n", "   9  21      input     SPI0 MISO\n",
          "  10  19      alt0      SPI0 MOSI\n", "  11  23      alt0      SPI0 SCLK\n",
          "  14  8       input     -\n", "  18  12      input     -\n", "  19  -       input     -\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_EQ(run_command({SIMBOARD_PATH, "show", scratch.file("none.img")}, {}, scratch).status, 1);
}

} // namespace
