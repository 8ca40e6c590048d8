#include "serial/diag/MessageTable.h"

#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "toolkit/OsInfo.h"

TEST(MessageTable, HoldsEveryListedCodeOnce) {
    // The codes of the table, by ranges: negative, then zero and positive.
    const std::vector<std::pair<int32_t, int32_t>> negative = {
        {2, 6},         {8, 8},         {15, 15},       {18, 18},       {100, 105},
        {150, 162},     {1001, 1009},   {2001, 2012},   {3001, 3010},   {4001, 4017},
        {4020, 4021},   {5001, 5003},   {5501, 5506},   {6001, 6016},   {7001, 7014},
        {7500, 7502},   {8001, 8005},   {8050, 8055},   {8060, 8075},   {8080, 8083},
        {8085, 8085},   {8087, 8092},   {8100, 8103},   {8300, 8305},   {8310, 8318},
        {8320, 8322},   {8330, 8332},   {8340, 8340},   {8500, 8500},   {13801, 13803},
        {13805, 13848}, {13850, 13886}, {13928, 13932}, {13934, 13945}, {13950, 13959},
        {13980, 13980}};
    const std::vector<std::pair<int32_t, int32_t>> positive = {
        {0, 0},         {4101, 4101},   {4200, 4213},   {4301, 4312},   {4401, 4403},
        {4500, 4523},   {4550, 4553},   {4599, 4611},   {4630, 4633},   {4660, 4671},
        {4700, 4728},   {4730, 4730},   {4801, 4808},   {4820, 4828},   {4830, 4832},
        {4840, 4843},   {9001, 9007},   {10000, 10000}, {10004, 10004}, {10009, 10009},
        {10013, 10014}, {10022, 10022}, {10024, 10024}, {10035, 10071}, {10091, 10093},
        {10101, 10101}, {11001, 11004}, {13501, 13516}, {13533, 13557}, {13565, 13565},
        {13597, 13601}, {13650, 13670}, {13933, 13933}, {15001, 15021}, {15100, 15351},
        {15501, 15502}, {15601, 15608}, {15700, 15742}};
    std::set<int32_t> expected;
    for (auto [from, to] : negative) {
        for (int32_t c = from; c <= to; ++c) {
            expected.insert(-c);
        }
    }
    for (auto [from, to] : positive) {
        for (int32_t c = from; c <= to; ++c) {
            expected.insert(c);
        }
    }
    ASSERT_EQ(expected.size(), 892u);
    ASSERT_EQ(MessageTableSize(), 892u);

    std::set<int32_t> actual;
    const TMessageEntry* table = MessageTableBegin();
    for (std::size_t i = 0; i < MessageTableSize(); ++i) {
        actual.insert(table[i].code);
        if (i > 0) {
            EXPECT_LT(std::abs(table[i - 1].code), std::abs(table[i].code)) << table[i].code;
        }
        EXPECT_LE(std::string(table[i].text).size(), 255u);
    }
    EXPECT_EQ(actual, expected);

    // Empty texts count as missing; every other entry has a text.
    const std::set<int32_t> empty = {
        4200, 4600, 4630, 4660,  4725, 4726,
        4727, 4728, 4730, 10000, 15100};  // subtype 0 of the log has no name
    for (int32_t code : actual) {
        EXPECT_EQ(TableText(code) == nullptr, empty.count(code) == 1) << code;
    }
}

TEST(MessageTable, MessageForCode) {
    EXPECT_EQ(MessageForCode(0), "OK");
    EXPECT_EQ(MessageForCode(-2007), "ie_NOpen - device not open");
    EXPECT_EQ(MessageForCode(2007), "ie_NOpen - device not open");
    EXPECT_EQ(MessageForCode(-3002), "Function not supported by driver");
    EXPECT_EQ(MessageForCode(-1001), "Bad handle passed to com function");
    EXPECT_EQ(MessageForCode(-5003), "Bad trigger handle");
    EXPECT_EQ(MessageForCode(-159), "Printer is out of paper");
    EXPECT_EQ(MessageForCode(15002), "Dispatch");
    EXPECT_EQ(MessageForCode(15021), "Script");
    EXPECT_EQ(MessageForCode(15102), "WriteCom");
    EXPECT_EQ(MessageForCode(15129), "Sent Term");
    EXPECT_EQ(MessageForCode(15501), "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(MessageForCode(15502), "--------  --------  ------------  --------  ---------");
    EXPECT_EQ(MessageForCode(15608), "DCD");
    EXPECT_EQ(MessageForCode(15707), "Remote Trans & Echo");
    EXPECT_EQ(MessageForCode(15742), "Character Set");

    // Missing and empty entries fall back to the system's text.
    for (int32_t code : {4200, -4200, 10000, -7, 31, 87, 1167, 123456}) {
        EXPECT_EQ(MessageForCode(code), FlattenSystemText(tk::SystemErrorText(std::abs(code))))
            << code;
    }
    // Codes beyond 16 bits are not folded onto others: 67537 is not 2001.
    EXPECT_NE(MessageForCode(-67537), MessageForCode(-2001));
    EXPECT_NE(MessageForCode(65536), MessageForCode(0));
    EXPECT_LE(MessageForCode(static_cast<int32_t>(0x80000000)).size(), 255u);
}

TEST(MessageTable, SystemTextsBecomeOneLine) {
    EXPECT_EQ(FlattenSystemText("Access is denied.\r\n"), "Access is denied. ");
    EXPECT_EQ(FlattenSystemText("Two\tparts\r\n\r\nand  more   spaces"),
              "Two parts and more spaces");
    EXPECT_EQ(FlattenSystemText(""), "");
    EXPECT_EQ(FlattenSystemText("\x01\x02"), " ");
    // A system text in the fallback is flattened too.
    const std::string text = MessageForCode(31);
    EXPECT_EQ(text.find("  "), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}
