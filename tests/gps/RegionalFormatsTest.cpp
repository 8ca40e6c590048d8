// The regional decimal separator read from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gps/NavUtils.h"
#include "toolkit/RegionalFormats.h"

TEST(RegionalFormats, SameSeparatorForEveryThread) {
    const char expected = tk::SystemDecimalSeparator();
    std::atomic<int> mismatches{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < 200; ++i) {
                const std::string text = gps::PositionText(gps::TStrFormat::DDddd, 0, 1800.0);
                if (tk::DecimalSeparator() != expected || text.size() != 8 || text[1] != expected) {
                    ++mismatches;
                }
            }
        });
    }
    go = true;
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}
