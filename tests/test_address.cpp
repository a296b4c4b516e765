// parseDottedAddress: the code of each rejection and the order of its tests.
#include <gtest/gtest.h>

#include "ui/ui.h"

namespace {

constexpr uint32_t A1234 = 0x01020304, A192 = 0xC0A80001;

TEST(ParseDottedAddress, Table) {
    const std::tuple<const char*, int, uint32_t> cases[] = {
        {"192.168.0.1", 0, A192}, {"192*168*0*1", 0, A192}, {"192.168*0.1", 0, A192}, {"1.2.3.4", 0, A1234},
        {"255.255.255.255", 0, 0xFFFFFFFF}, {"0.0.0.0", 0, 0},
        {"001.002.003.004", 0, A1234},  // leading zeros are not octal
        {"1..2.3.4", 0, A1234}, {".1.2.3.4", 0, A1234}, {"1.2.3.4.", 0, A1234}, {"1.2.3.4..", 0, A1234},
        {"1.2.3", 4, 0},  // the length test comes first
        {"abc", 4, 0}, {"", 4, 0}, {"255.255.255.2555", 4, 0},
        {"1.2.3.a", 5, 0}, {" 1.2.3.4", 5, 0}, {"1.2.3.-4", 5, 0},
        {"1.2.3.256", 1, 0},
        {"256.1.2.3.4", 1, 0},  // the range test of a number comes before the count
        {"1.2.3.4.5", 2, 0}, {"1.2.3.4.256", 2, 0}, {"1.2...3", 3, 0},
        {"1.2.3.0000004", 0, A1234},
        {"1.2.3.1000000", 1, 0},  // judged by the full decimal value
    };
    for (const auto& [text, code, expected] : cases) {
        uint32_t address = 0xDEADBEEF;  // any earlier value is cleared
        EXPECT_EQ(parseDottedAddress(text, &address), code) << text;
        EXPECT_EQ(address, expected) << text;
        EXPECT_EQ(parseDottedAddress(text, nullptr), code) << text;
    }
}

TEST(ParseDottedAddress, LongTextIsRejectedWithoutReadingItWhole) {
    std::string text(100000, '1');
    uint32_t address = 7;
    EXPECT_EQ(parseDottedAddress(text.c_str(), &address), 4);
    EXPECT_EQ(address, 0u);
}

}  // namespace
