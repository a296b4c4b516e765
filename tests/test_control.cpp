#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "control/control.h"

namespace {

TEST(Product, TableOrderCaseAndPrefix) {
    struct Case {
        const char* code;
        const char* name;
        int phone;
    } cases[] = {
        {"Ulx7400", "ULX-7400", 0},       {"ULX7200", "ULX-7100/7200", 0}, {"ulx7101", "ULX-7101", 0},
        {"TarNel590", "ULX-590", 1},      {"ulx7210", "ULX-7210", 0},      {"ulx7400-special", "ULX-7400", 0},
        {"ODM-Product", "ODM-Product", 0}, {"ulx740", "ODM-Product", 0},    {"", "ODM-Product", 0},
    };
    for (const Case& c : cases) {
        uint8_t header[128] = {};
        memcpy(header, c.code, strlen(c.code));
        char name[32] = "previous";
        int phone = 7;
        identifyProduct(header, name, sizeof name, &phone);
        EXPECT_STREQ(name, c.name) << c.code;
        EXPECT_EQ(phone, c.phone) << c.code;
    }
}

TEST(VersionNumber, ComponentsAsStrtoulReadsThem) {
    struct Case {
        const char* text;
        uint32_t number;
    } cases[] = {
        {"3.1.7(GWe)", (3 * 100 + 1) * 100 + 7},
        {"1.0", 100},
        {"2.0.13", (2 * 100 + 0) * 100 + 13},
        {"1.2.3.4", (1 * 100 + 2) * 100 + 3},
        {"1.08.2", (1 * 100 + 0) * 100 + 0},  // 08 stops at 8 in base 8
        {"0.9.9", 909},
        {"", 0},
        {"x", 0},
        {"0x1f.2", 31 * 100 + 2},
        {"0xg", 0},
        {" \t7", 7},
        {"+5.1", 501},
        {"-1", 4294967295u},
        {"99999999999", 4294967295u},  // clamped, not wrapped
        {"5.99999999999", 5u * 100u + 4294967295u},  // the sum wraps
        {"1.0.5", 10005},
    };
    for (const auto& c : cases) EXPECT_EQ(versionNumber(c.text), c.number) << c.text;
}

TEST(StageDecision, ComparesSignedNumbersUnlessNtMarker) {
    struct Case {
        const char* device;
        const char* transition;
        int stage;
    } cases[] = {
        {"1.0.5", "1.0.5", 1},         // equal: straight to the Target stage
        {"1.0", "0.9.9", 0},           // 100 < 909: older
        {"2.0.13(NTx)", "1.0", 0},     // the marker forces the Transition stage
        {"2.0.13(nt)", "1.0", 1},      // the marker is case-sensitive
        {"", "1.0", 0},                // no version read: 0
        {"", "0.0", 1},
        {"-1", "1.0", 0},              // 4294967295 is -1 as a signed number
        {"3.1.7(GWe)", "2.0.13(NTr)", 1},
    };
    for (const auto& c : cases) {
        TargetStage.store(0);
        decideStage(c.device, c.transition);
        EXPECT_EQ(TargetStage.load(), c.stage) << c.device << " vs " << c.transition;
    }
    TargetStage.store(1);
    decideStage("", "9.9.9");  // only runs in the Transition stage
    EXPECT_EQ(TargetStage.load(), 1);
}

TEST(UpgradePath, FormatAndBound) {
    char path[128];
    EXPECT_EQ(buildUpgradePath(path, sizeof path, 0xC0A8000A, 69, "/ulx1a2b.bi1"), 49);
    EXPECT_STREQ(path, "/admin/upgrade?tftp://192.168.0.10:69/ulx1a2b.bi1");
    char small[20];
    EXPECT_EQ(buildUpgradePath(small, sizeof small, 0xC0A8000A, 69, "/ulx1a2b.bi1"), -1);
}

std::vector<char> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(ImageTool, ReproducesTheShippedImage) {
    std::string out = testing::TempDir() + "/regenerated.bin";
    std::string cmd = std::string(ULX_MKIMAGE) + " --product Ulx7400 --version '3.1.7(GWe)' --size 767148 --seed 7400 -o " + out;
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::vector<char> shipped = readFile(ULX_SHIPPED_IMAGE);
    ASSERT_EQ(shipped.size(), 767148u);
    EXPECT_TRUE(shipped == readFile(out));
    EXPECT_EQ(memcmp(shipped.data(), "Ulx7400", 7), 0);
    EXPECT_STREQ(shipped.data() + 92, "3.1.7(GWe)");
    remove(out.c_str());
}

TEST(ImageTool, OddSizesKeepWhatFits) {
    std::string out = testing::TempDir() + "/small.bin";
    std::string cmd = std::string(ULX_MKIMAGE) + " --product tarnel --version 1.2 --size 95 -o " + out;
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::vector<char> image = readFile(out);
    ASSERT_EQ(image.size(), 95u);
    EXPECT_EQ(std::string(image.data() + 92, 3), "1.2");
    cmd = std::string(ULX_MKIMAGE) + " --product x --version 1 --size 0 -o " + out;
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_TRUE(readFile(out).empty());
    remove(out.c_str());
}

}  // namespace
