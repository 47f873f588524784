// SPDX-License-Identifier: MIT
// The BCM2835 as the stand-ins and the tests see it: where its register blocks are,
// how the GPIO function-select registers are laid out, and what the tool asks for.
//
// The tool keeps its own copies, so that it stays one file that builds alone on a board;
// the tests hold it to these.
#pragma once

#include <cstdint>

namespace bcm2835 {

// Physical addresses; each block the tool maps is one page.
constexpr uint64_t gpio_base = 0x20200000;
constexpr uint64_t spi0_base = 0x20204000;
constexpr uint64_t page_size = 4096;

// A board image is a sparse file whose byte offsets are physical addresses, up to the
// end of the SPI0 page.
constexpr uint64_t image_size = spi0_base + page_size;

// Function-select registers GPFSEL0-GPFSEL5, from the start of the GPIO block: pin p's
// 3-bit field is in word gpfsel0 + p / 10, at bit (p % 10) * 3.
constexpr unsigned gpfsel0 = 0;
constexpr unsigned fsel_regs = 6;
constexpr unsigned fsel_pins_per_reg = 10;
constexpr unsigned fsel_field_bits = 3;
constexpr uint32_t fsel_mask = 7; // the field's mask
constexpr uint32_t fsel_alt0 = 4; // 100: alternate function 0

// GPIO 7-11 carry SPI0 CE1, CE0, MISO, MOSI and SCLK under alternate function 0.
constexpr unsigned spi0_first_pin = 7;
constexpr unsigned spi0_last_pin = 11;

// Each heap buffer the tool asks for: a page and room to align it.
constexpr uint64_t tool_buffer_size = 2 * page_size - 1;

constexpr unsigned fsel_reg(unsigned pin)
{
    return gpfsel0 + pin / fsel_pins_per_reg;
}

constexpr unsigned fsel_shift(unsigned pin)
{
    return pin % fsel_pins_per_reg * fsel_field_bits;
}

} // namespace bcm2835
