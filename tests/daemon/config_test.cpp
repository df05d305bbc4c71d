// Configuration files: token rules, value formats, scalings, and the
// all-or-nothing handling of files that do not parse.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "detect_hw.h"
#include "fmouse_cmddata.h"

namespace {

class ConfigFiles : public ::testing::Test {
  protected:
    std::string path_ = std::string(::testing::TempDir()) + "cfg_" + std::to_string(getpid());
    void TearDown() override { unlink(path_.c_str()); }
    const char *write(const std::string &text) {
        std::ofstream(path_, std::ios::trunc) << text;
        return path_.c_str();
    }
};

const char *kHwExample =
    "rowStart 200\ncamH 1239\nrowMode 22\nBuffThr 88\nbRate 3\nbwuse 0\nmaxW 16\npresetCam 0\n"
    "oem 0\nSide 0\nSmpAlg 0\ndL 0\ndR 0\ndT 0\ndB 0\nmaxOn 4\nBeepOn 1.0\nDotOn 1\nspareX 0.0\n"
    "spareY 0.0\nmoveThr 0\nreplaySpeed 0\nVInfo 0\nBar 1\nRSimu 0\ndoubleK 0\ng_UseViewSize 0\n"
    "g_xView 0\ng_yView 0\nverdorID 0\nproductID 0\n";

}  // namespace

TEST_F(ConfigFiles, HardwareExampleLandsInItsVariablesWithBothScalings) {
    ASSERT_EQ(check_hw_configfile_at(write(kHwExample)), 0);
    EXPECT_EQ(rowStart, 200);
    EXPECT_EQ(camH, 1239);
    EXPECT_EQ(rowMode, 0x22);
    EXPECT_EQ(BuffThr, 88);
    EXPECT_EQ(bRate, 300);
    EXPECT_EQ(maxW, 16);
    EXPECT_EQ(maxOn, 200);
    EXPECT_FLOAT_EQ(BeepOn, 1.0f);
    EXPECT_EQ(DotOn, 1);
    EXPECT_EQ(Bar, 1);
}

TEST_F(ConfigFiles, LabelsAndLayoutDoNotMatterOnlyPositions) {
    std::string v[31] = {"7",  "8",  "0x1f", "9",  "2",  "0",   "12", "0",      "0",     "1",  "0",
                         "0",  "0",  "0",    "0",  "3",  "0.5", "0",  "1.5",    "-2.25", "11", "12",
                         "13", "14", "15",   "16", "17", "18",  "19", "0x0AbC", "beef"};
    // Same label everywhere, values spread over odd white space.
    std::string text;
    for (int i = 0; i < 31; ++i)
        text += std::string("same\t \n") + v[i] + (i % 3 ? " " : "\n\n");
    text += "trailing tokens are ignored";
    ASSERT_EQ(check_hw_configfile_at(write(text)), 0);
    EXPECT_EQ(rowStart, 7);
    EXPECT_EQ(rowMode, 0x1f);
    EXPECT_EQ(bRate, 200);
    EXPECT_EQ(maxW, 12);
    EXPECT_EQ(maxOn, 150);
    EXPECT_FLOAT_EQ(BeepOn, 0.5f);
    EXPECT_FLOAT_EQ(spareY, -2.25f);
    EXPECT_EQ(cmd->moveThr, 11);
    EXPECT_EQ(cmd->replaySpeed, 12);
    EXPECT_EQ(cmd->VInfo, 13);
    EXPECT_EQ(Bar, 14);
    EXPECT_EQ(cmd->RSimu, 15);
    EXPECT_EQ(cmd->doubleK, 16);
    EXPECT_EQ(g_UseViewSize, 17);
    EXPECT_EQ(g_yView, 19);
    EXPECT_EQ(verdorID, 0x0abcu);
    EXPECT_EQ(productID, 0xbeefu);
}

TEST_F(ConfigFiles, RowModeReadsAsHexWithOrWithoutPrefix) {
    std::string a = kHwExample, b = kHwExample;
    ASSERT_EQ(check_hw_configfile_at(write(a)), 0);
    EXPECT_EQ(rowMode, 0x22);
    b.replace(b.find("rowMode 22"), 10, "rowMode 0x22");
    rowMode = 0;
    ASSERT_EQ(check_hw_configfile_at(write(b)), 0);
    EXPECT_EQ(rowMode, 0x22);
}

// The example hardware file with one value's text changed.
std::string hw_with(const std::string &from, const std::string &to) {
    std::string text = kHwExample;
    return text.replace(text.find(from), from.size(), to);
}

TEST_F(ConfigFiles, MalformedHardwareFileIsRefusedAndChangesNothing) {
    ASSERT_EQ(check_hw_configfile_at(write(kHwExample)), 0);
    const std::string bad_values[] = {
        // value that does not parse as a decimal integer
        hw_with("camH 1239", "camH 12x9"),
        // float where an integer belongs
        hw_with("maxW 16", "maxW 1.5"),
        // not a number where a float belongs
        hw_with("BeepOn 1.0", "BeepOn on"),
        // negative hexadecimal value
        hw_with("rowMode 22", "rowMode -1"),
        // integer overflow
        hw_with("rowStart 200", "rowStart 99999999999"),
        // scaled value would overflow
        hw_with("bRate 3", "bRate 30000000"),
        // truncated: last value missing
        std::string(kHwExample).substr(0, std::string(kHwExample).rfind(' ')),
        // truncated in the middle
        std::string(kHwExample).substr(0, std::string(kHwExample).find("maxOn")),
        // empty file
        std::string(),
    };
    for (const auto &text : bad_values) {
        SCOPED_TRACE(text.substr(0, 60));
        EXPECT_EQ(check_hw_configfile_at(write(text)), -1);
        EXPECT_EQ(rowStart, 200);
        EXPECT_EQ(camH, 1239);
        EXPECT_EQ(rowMode, 0x22);
        EXPECT_EQ(bRate, 300);  // not scaled a second time
        EXPECT_EQ(maxOn, 200);
        EXPECT_EQ(maxW, 16);
        EXPECT_FLOAT_EQ(BeepOn, 1.0f);
    }
}

TEST_F(ConfigFiles, OverlongLabelIsRefused) {
    std::string text = std::string(2000, 'L') + " 200\n" + std::string(kHwExample).substr(13);
    EXPECT_EQ(check_hw_configfile_at(write(text)), -1);
    text = std::string(1999, 'L') + " 200\n" + std::string(kHwExample).substr(13);
    EXPECT_EQ(check_hw_configfile_at(write(text)), 0);
}

TEST_F(ConfigFiles, MissingFilesFail) {
    EXPECT_EQ(check_hw_configfile_at("/nonexistent/hw.txt"), -1);
    EXPECT_EQ(check_refn_configfile_at("/nonexistent/refN.txt"), -1);
}

TEST_F(ConfigFiles, ReferenceGridExample) {
    ASSERT_EQ(check_refn_configfile_at(write("normal_x 4\nnormal_y 3\nadv_x 7\nadv_y 5\nside 5\n")),
              0);
    EXPECT_EQ(kvx_normal_dot_x, 4);
    EXPECT_EQ(kvx_normal_dot_y, 3);
    EXPECT_EQ(kvx_adv_dot_x, 7);
    EXPECT_EQ(kvx_adv_dot_y, 5);
    EXPECT_EQ(kvx_sidespace, 5);
}

TEST_F(ConfigFiles, ReferenceGridsTheModelCannotUseAreRefused) {
    ASSERT_EQ(check_refn_configfile_at(write("a 4 b 3 c 7 d 5 e 5")), 0);
    const char *bad[] = {
        "a 4 b 3 c 7 d 5 e 0",    // side space 0 would divide by zero in the model
        "a 4 b 3 c 7 d 5 e -2",   // negative side space
        "a 4 b 3 c 7 d 5 e 256",  // does not fit the record's byte
        "a 8 b 3 c 7 d 5 e 5",    // more than 7 columns
        "a 4 b 2 c 7 d 5 e 5",    // fewer than 3 rows
        "a 4 b 5 c 7 d 5 e 5",    // more rows than columns
        "a 4 b 3 c 7 d 8 e 5",    // advanced grid too
        "a 4 b 3 c 7 d 5",        // truncated
        "a 4 b 3 c seven d 5 e 5",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        EXPECT_EQ(check_refn_configfile_at(write(text)), -1);
        EXPECT_EQ(kvx_normal_dot_x, 4);
        EXPECT_EQ(kvx_normal_dot_y, 3);
        EXPECT_EQ(kvx_adv_dot_x, 7);
        EXPECT_EQ(kvx_adv_dot_y, 5);
        EXPECT_EQ(kvx_sidespace, 5);
    }
    EXPECT_EQ(check_refn_configfile_at(write("a 3 b 3 c 7 d 7 e 255")), 0);
    EXPECT_EQ(kvx_sidespace, 255);
}
