// The core's pure functions, and the image tool.
#include <gtest/gtest.h>

#include <unistd.h>

#include "control/control.h"
#include "support/web_server.h"
#include "ui/ui.h"

namespace {

TEST(Product, TableOrderCaseAndPrefix) {
    // clang-format off
    const std::tuple<const char*, const char*, int> cases[] = {
        {"Ulx7400", "ULX-7400", 0}, {"ULX7200", "ULX-7100/7200", 0}, {"TarNel590", "ULX-590", 1},
        {"ulx7400-special", "ULX-7400", 0}, {"ulx740", "ODM-Product", 0}, {"", "ODM-Product", 0},
    };
    // clang-format on
    for (const auto& [code, product, isPhone] : cases) {
        uint8_t header[128] = {};
        memcpy(header, code, strlen(code));
        char name[32] = "previous";
        bool phone = true;
        identifyProduct(header, name, sizeof name, &phone);
        EXPECT_STREQ(name, product) << code;
        EXPECT_EQ(phone, isPhone) << code;
    }
}

TEST(VersionOrder, DecimalComponentsInTurn) {
    // clang-format off
    const std::tuple<const char*, const char*, int> cases[] = {
        {"3.1.7(GWe)", "3.1.7", 0}, {"2.0.13", "2.0.9", 1},  {"1.2.3.4", "1.2.3", 0},  // a fourth component is ignored
        {"1.0", "1.0.0", 0},        {"1.0", "0.9.9", 1},     {"1.0.", "1.0.0", 0},     // missing components: zeros on the right
        {"3.1", "2.0.13(NTr)", 1},  {"3.1", "3.1(GWe)", 0},  {"3.1(5)", "3.1.0", 0},   // the suffix never ranks
        {"1.100.0", "2.0.0", -1},   {"1.99.0", "1.100.0", -1},                          // no carry into the next one
        {"1.09.0", "1.9.0", 0},     {"1.08.2", "1.8.2", 0},  {"007.1.1", "7.1.1", 0},   // leading zeros mean nothing
        {"", "0.0.0", 0},           {"x", "0", 0},           {"0x1f.2", "0.1.0", 0},   // no digits: 0; no hexadecimal
        {" \t7", "7", 0},           {"+5.1", "5.1", 0},      {"-1", "0", -1},
        {"99999999999.0.0", "4294967295.0.0", 0},                                      // clamped, not wrapped
        {"4294967295.0.0", "4294967294.99.99", 1},
    };
    // clang-format on
    for (const auto& [a, b, order] : cases) EXPECT_EQ(compareVersions(a, b), order) << a << " vs " << b;
}

TEST(StageDecision, ComparesVersionsUnlessNtMarker) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"1.0.5", "1.0.5", 1},             // equal: straight to the Target stage
        {"2.0.13(NTx)", "1.0", 0},         // the marker forces the Transition stage
        {"2.0.13(nt)", "1.0", 1},          // the marker is case-sensitive
        {"", "1.0", 0},                    // no version read: 0
        {"3.1.7(GWe)", "2.0.13(NTr)", 1},  // only the device's marker counts
    };
    for (const auto& [device, transition, stage] : cases) {
        g_stage.store(Stage::Transition);
        decideStage(device, transition);
        EXPECT_EQ(static_cast<int>(g_stage.load()), stage) << device << " vs " << transition;
    }
    g_stage.store(Stage::Target);
    decideStage("", "9.9.9");  // only runs in the Transition stage
    EXPECT_EQ(g_stage.load(), Stage::Target);
}

TEST(UpgradePath, FormatAndBound) {
    char path[128];
    EXPECT_EQ(buildUpgradePath(path, sizeof path, 0xC0A8000A, 69, "/ulx1a2b.bi1"), 49);
    EXPECT_STREQ(path, "/admin/upgrade?tftp://192.168.0.10:69/ulx1a2b.bi1");
    char small[20];
    EXPECT_EQ(buildUpgradePath(small, sizeof small, 0xC0A8000A, 69, "/ulx1a2b.bi1"), -1);
}

// ulx-mkimage rebuilds the shipped image byte for byte, and keeps what
// fits of the header in images shorter than it.
TEST(ImageTool, ReproducesTheShippedImageAndOddSizes) {
    std::string out = testing::TempDir() + "/ulx-image-" + std::to_string(getpid());
    auto make = [&](const std::string& args) { return system((ULX_MKIMAGE " " + args + " -o " + out).c_str()); };
    ASSERT_EQ(make("--product Ulx7400 --version '3.1.7(GWe)' --size 767148 --seed 7400"), 0);
    EXPECT_TRUE(ulxtest::readFile(ULX_SHIPPED_IMAGE) == ulxtest::readFile(out));  // no diff printed: 750 kB
    ASSERT_EQ(make("--product tarnel --version 1.2 --size 95"), 0);
    std::string small = ulxtest::readFile(out);
    ASSERT_EQ(small.size(), 95u);
    EXPECT_EQ(small.substr(92), "1.2");
    ASSERT_EQ(make("--product x --version 1 --size 0"), 0);
    EXPECT_EQ(ulxtest::readFile(out), "");
    remove(out.c_str());
}

// parseDottedAddress: the numbers' codes and the order of the tests (length, characters: fuzz_address).
constexpr uint32_t A1234 = 0x01020304, A192 = 0xC0A80001;

TEST(ParseDottedAddress, Table) {
    // clang-format off
    const std::tuple<const char*, int, uint32_t> cases[] = {
        {"192.168.0.1", 0, A192}, {"192*168*0*1", 0, A192}, {"192.168*0.1", 0, A192}, {"1.2.3.4", 0, A1234},
        {"255.255.255.255", 0, 0xFFFFFFFF}, {"0.0.0.0", 0, 0},
        {"001.002.003.004", 0, A1234},  // leading zeros are not octal
        {"1..2.3.4", 0, A1234}, {".1.2.3.4", 0, A1234}, {"1.2.3.4.", 0, A1234}, {"1.2.3.4..", 0, A1234},
        {"1.2.3", 4, 0}, {"1.2.3.a", 5, 0},
        {"1.2.3.256", 1, 0},
        {"256.1.2.3.4", 1, 0},  // the range test of a number comes before the count
        {"1.2.3.4.5", 2, 0}, {"1.2.3.4.256", 2, 0}, {"1.2...3", 3, 0},
        {"1.2.3.0000004", 0, A1234},
        {"1.2.3.1000000", 1, 0},  // judged by the full decimal value
    };
    // clang-format on
    for (const auto& [text, code, expected] : cases) {
        uint32_t address = 0xDEADBEEF;  // any earlier value is cleared
        EXPECT_EQ(parseDottedAddress(text, &address), code) << text;
        EXPECT_EQ(address, expected) << text;
    }
}

}  // namespace
