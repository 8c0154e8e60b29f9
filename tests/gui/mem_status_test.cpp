// The info window's memory figures: parsing /proc/meminfo and the texts shown.
#include <gtest/gtest.h>

#include "help/mem_status.h"

using qtx::MemoryStatus;

namespace {

struct MemCase {
    const char* name;
    const char* meminfo;
    const char* total;  // text of the memory field; nullptr: no figures
    const char* free;   // text of the resources field
};

class MemInfo : public testing::TestWithParam<MemCase> {};

TEST_P(MemInfo, GivesTheFieldTexts) {
    const MemCase& c = GetParam();
    const auto status = qtx::ParseMemInfo(c.meminfo);
    if (!c.total) {
        EXPECT_FALSE(status.has_value());
        return;
    }
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(qtx::TotalMemoryText(status->totalBytes), c.total);
    EXPECT_EQ(qtx::ResourcesText(status->loadPercent), c.free);
}

const MemCase kMemCases[] = {
    // 512 MiB with 37 % in use: 512 * 0.63 = 322.56 MiB available.
    {"half_a_gibibyte", "MemTotal:         524288 kB\nMemFree:  1000 kB\nMemAvailable:     330301 kB\n",
     "524288 kB", "63% free"},
    // Far beyond what a 32-bit byte count could hold (4194303 kB).
    {"sixty_four_gibibytes", "MemTotal:       67108864 kB\nMemAvailable:   33554432 kB\n", "67108864 kB",
     "50% free"},
    {"old_kernel_without_available", "MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 50 kB\nCached: 100 kB\n",
     "1000 kB", "25% free"},
    {"available_above_total", "MemTotal: 1000 kB\nMemAvailable: 5000 kB\n", "1000 kB", "100% free"},
    {"similar_key_is_not_the_key", "MemTotalX: 5 kB\nMemTotal: 4096 kB\nMemAvailable: 4096 kB\n", "4096 kB",
     "100% free"},
    {"no_total", "MemFree: 100 kB\n", nullptr, nullptr},
    {"zero_total", "MemTotal: 0 kB\n", nullptr, nullptr},
    {"total_not_a_number", "MemTotal: lots\n", nullptr, nullptr},
    {"total_overflows", "MemTotal: 99999999999999999999999 kB\n", nullptr, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, MemInfo, testing::ValuesIn(kMemCases),
                         [](const testing::TestParamInfo<MemCase>& i) { return std::string(i.param.name); });

TEST(MemTexts, WholeKibibytesAndFreeShare) {
    EXPECT_EQ(qtx::TotalMemoryText(512ull << 20), "524288 kB");
    EXPECT_EQ(qtx::TotalMemoryText(1023), "0 kB");           // the remainder is dropped
    EXPECT_EQ(qtx::TotalMemoryText(8ull << 30), "8388608 kB");  // no 32-bit cap
    EXPECT_EQ(qtx::ResourcesText(37), "63% free");
    EXPECT_EQ(qtx::ResourcesText(0), "100% free");
    EXPECT_EQ(qtx::ResourcesText(100), "0% free");
    EXPECT_EQ(qtx::ResourcesText(250), "0% free");  // never negative
}

TEST(MemRead, ThisMachineAndAFallback) {
    const auto here = qtx::ReadMemoryStatus();
    ASSERT_TRUE(here.has_value());
    EXPECT_GT(here->totalBytes, 16ull << 20);
    EXPECT_LE(here->loadPercent, 100u);
    // Without the file the kernel is asked directly, for about the same figure.
    const auto fallback = qtx::ReadMemoryStatus("/nonexistent/meminfo");
    ASSERT_TRUE(fallback.has_value());
    EXPECT_NEAR(double(fallback->totalBytes), double(here->totalBytes), double(here->totalBytes) * 0.01);
}

}  // namespace
