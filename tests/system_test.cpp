// SPDX-License-Identifier: MIT
// The board's package on a Debian system booted on the emulated Pi Zero: installed and
// enabled, rebooted, booted as another board and upgraded there, removed, rebooted and
// purged. Each step is checked by what the guest reported and by GPFSEL0/1 as QEMU's
// monitor read them from outside.
#include "support.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>

namespace {

// step -> key -> value; "regs LABEL" holds GPFSEL0 and GPFSEL1.
std::map<std::string, std::map<std::string, std::string>> facts;

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

enum class Pins { switched, as_the_kernel_left_them, unread };

struct Step {
    const char *name; // cppcheck-suppress unusedStructMember ; read by the name generator
    Pins pins;
    std::vector<std::pair<std::string, std::string>> facts; // key, regular expression for its value
};

class Journey : public testing::TestWithParam<Step> {
  protected:
    // Runs the whole journey once for both suites; its line format is set down in journey.py.
    static void SetUpTestSuite()
    {
        static bool ran = false;
        if (ran)
            return;
        ran = true;
        for (const std::string &line :
             results_of({PYTHON, RUNNER, "journey", BOARD_CACHE, NOSTATX, BOARD_DEB})) {
            std::istringstream f(line);
            std::string step, key;
            f >> step >> key;
            if (key == "regs") {
                std::string label;
                f >> label;
                key += " " + label;
            }
            std::string value;
            std::getline(f, value);
            facts[step][key] = trimmed(value);
            if (key == "seconds")
                std::cout << "the boot from " << step << " took" << value << " s\n";
        }
    }

    static const std::string &fact(const std::string &step, const std::string &key)
    {
        const auto s = facts.find(step);
        if (s == facts.end() || s->second.find(key) == s->second.end())
            throw std::runtime_error("the board did not report " + step + " " + key);
        return s->second.at(key);
    }

    static std::vector<uint32_t> regs(const std::string &step, const std::string &label)
    {
        std::istringstream in(fact(step, "regs " + label));
        std::string gpfsel0, gpfsel1;
        in >> gpfsel0 >> gpfsel1;
        return {static_cast<uint32_t>(std::stoul(gpfsel0, nullptr, 16)),
                static_cast<uint32_t>(std::stoul(gpfsel1, nullptr, 16))};
    }
};

void PrintTo(const Step &step, std::ostream *out)
{
    *out << step.name;
}

TEST_P(Journey, Step)
{
    const Step s = GetParam();
    for (const auto &[key, pattern] : s.facts) {
        EXPECT_TRUE(std::regex_match(fact(s.name, key), std::regex(pattern)))
            << key << ": \"" << fact(s.name, key) << "\"";
    }

    // As the kernel left them: GPIO 7-11 inputs, for the tool's effect to show.
    const std::vector<uint32_t> kernel = regs("install", "before");
    ASSERT_EQ(kernel[0] & spi0_fields(0, bcm2835::fsel_mask), 0U);
    ASSERT_EQ(kernel[1] & spi0_fields(1, bcm2835::fsel_mask), 0U);
    if (s.pins == Pins::switched) {
        EXPECT_EQ(regs(s.name, "after"),
                  (std::vector<uint32_t>{switched(0, kernel[0]), switched(1, kernel[1])}));
    }
    if (s.pins == Pins::as_the_kernel_left_them) {
        EXPECT_EQ(regs(s.name, "after"), kernel);
    }
}

// At boot the tool has run, and finished, before sysinit.target is reached.
TEST_F(Journey, RebootSwitchesBeforeSysinit)
{
    const long start = std::stol(fact("reboot", "ExecMainStartTimestampMonotonic"));
    const long exit = std::stol(fact("reboot", "ExecMainExitTimestampMonotonic"));
    const long sysinit = std::stol(fact("reboot", "sysinit"));
    EXPECT_GT(exit, 0);
    EXPECT_LT(exit, sysinit);
    std::cout << "reboot: the unit ran " << (exit - start) / 1000 << " ms; the pins were switched "
              << exit / 1000 << " ms after the kernel started, sysinit.target reached at " << sysinit / 1000
              << " ms\n";
}

const char *const journal = "SPI mapped from 0x0x20204000 to 0x0x[0-9a-f]*000";
const char *const unit = "/etc/systemd/system/sysinit.target.wants/switchpinctrl.service";

INSTANTIATE_TEST_SUITE_P(
    Package, Journey,
    testing::Values(
        Step{"install",
             Pins::switched,
             {{"installed", "0"},
              {"enabled", "disabled"},
              {"started", "inactive"},
              {"enable", "0"},
              {"ActiveState", "active"},
              {"Result", "success"},
              {"ExecMainStatus", "0"},
              {"journal", journal},
              {"links", unit},
              {"state", ".*/switchpinctrl.service.dsh-also"},
              {"man", "switchPinCtrl - hand GPIO pins 7 to 11 of a BCM2835 board to the SPI0 controller"}}},
        Step{"reboot",
             Pins::switched,
             {{"ActiveState", "active"},
              {"Result", "success"},
              {"ExecMainStatus", "0"},
              {"journal", journal}}},
        Step{"other-board",
             Pins::as_the_kernel_left_them,
             {{"compatible", "raspberrypi,2-model-b brcm,bcm2836"},
              {"LoadState", "loaded"},
              {"ActiveState", "inactive"},
              {"ConditionResult", "no"},
              {"failed", ""}}},
        Step{"upgrade",
             Pins::as_the_kernel_left_them,
             {{"reinstalled", "0"}, {"enabled", "enabled"}, {"ActiveState", "inactive"}}},
        Step{"remove", Pins::unread, {{"removed", "0"}, {"files", ""}, {"links", ""}}},
        Step{"purge",
             Pins::as_the_kernel_left_them,
             {{"LoadState", "not-found"},
              {"failed", ""},
              {"purged", "0"},
              {"package", ""},
              {"links", ""},
              {"state", ""}}}),
    [](const testing::TestParamInfo<Step> &info) {
        std::string name = info.param.name;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

} // namespace
