#include "hid/UnitCodeComparison.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace {

bool IsKnownUsage(int32_t usage) {
    return (usage >= 4 && usage <= 101) || (usage >= 224 && usage <= 231);
}

}  // namespace

// The table as data: shape, coverage and the duplicates the lookups depend on.
TEST(KeyCodeTable, HasOneRowPerKnownUsageExceptTheListedDuplicates) {
    ASSERT_EQ(KeyCodeTable.size(), 110u);
    EXPECT_EQ(KeyCodeTable[0].ScanCode, 0);
    EXPECT_EQ(KeyCodeTable[0].UsageId, 0);
    EXPECT_EQ(KeyCodeTable[0].KeyLabel, "Unknown");

    std::map<int32_t, int> usageCount;
    std::map<int32_t, int> scanCount;
    for (size_t i = 1; i < KeyCodeTable.size(); ++i) {
        const TKeyCodeRow& row = KeyCodeTable[i];
        EXPECT_TRUE(IsKnownUsage(row.UsageId)) << "row " << i;
        EXPECT_FALSE(row.KeyLabel.empty()) << "row " << i;
        ++usageCount[row.UsageId];
        ++scanCount[row.ScanCode];
    }
    for (int32_t usage = 0; usage <= 255; ++usage) {
        if (IsKnownUsage(usage)) {
            EXPECT_GE(usageCount[usage], 1) << "usage " << usage << " missing";
        }
    }

    std::set<int32_t> duplicateUsages;
    std::set<int32_t> duplicateScanCodes;
    for (auto [usage, n] : usageCount) {
        if (n > 1)
            duplicateUsages.insert(usage);
    }
    for (auto [scan, n] : scanCount) {
        if (n > 1)
            duplicateScanCodes.insert(scan);
    }
    EXPECT_EQ(duplicateUsages, (std::set<int32_t>{70, 72, 83}));
    EXPECT_EQ(duplicateScanCodes, (std::set<int32_t>{0x2B, 0x45}));
}

TEST(KeyCodeTable, RowsSharingAUsageShareTheirLabels) {
    for (const TKeyCodeRow& a : KeyCodeTable) {
        for (const TKeyCodeRow& b : KeyCodeTable) {
            if (a.UsageId != b.UsageId)
                continue;
            EXPECT_EQ(a.KeyLabel, b.KeyLabel) << "usage " << a.UsageId;
            EXPECT_EQ(a.ShiftLabel, b.ShiftLabel) << "usage " << a.UsageId;
        }
    }
}

TEST(KeyCodeTable, KeypadRowsCarryUsages84To99InPlace) {
    for (size_t row = 84; row <= 99; ++row) {
        EXPECT_EQ(KeyCodeTable[row].UsageId, static_cast<int32_t>(row));
        EXPECT_EQ(KeyCodeTable[row].KeyLabel.substr(0, 4), "Pad ") << "row " << row;
    }
}

// First match wins: exactly the rows hidden behind an earlier duplicate scan code are unreachable.
TEST(KeyCodeTable, OnlyRows47And82AreUnreachableByScanCode) {
    std::set<size_t> unreachable;
    for (size_t i = 0; i < KeyCodeTable.size(); ++i) {
        if (ScanCodeToUsageId(KeyCodeTable[i].ScanCode) != KeyCodeTable[i].UsageId)
            unreachable.insert(i);
    }
    EXPECT_EQ(unreachable, (std::set<size_t>{47, 82}));
}

TEST(ScanCodeToUsageId, MapsHookKeyCodesToUsages) {
    struct Case {
        int32_t keyCode;
        int32_t usage;
    };
    const Case cases[] = {
        {0x00, 0},     {0x1E, 4},    {0x2C, 29},   {0x02, 30},   {0x0B, 39},    {0x1C, 40},      {0xE01C, 88},
        {0x45, 72},    {0xE045, 83}, {0xE046, 72}, {0xE037, 70}, {0x54, 70},    {0x2B, 49},      {0x56, 100},
        {0xE036, 229}, {0x36, 0},    {0x2A, 225},  {0x1D, 224},  {0xE01D, 228}, {0xE05C, 231},   {0x58, 69},
        {0x64, 0},     {0xE048, 82}, {0x48, 96},   {0xE02A, 0},  {-1, 0},       {0x7FFFFFFF, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ScanCodeToUsageId(c.keyCode), c.usage) << std::hex << "key code 0x" << c.keyCode;
    }
}

TEST(UsageIdLabels, GiveTheFirstMatchingRowsLabelsOrEmpty) {
    struct Case {
        int32_t usage;
        std::string_view key;
        std::string_view shift;
    };
    const Case cases[] = {
        {0, "Unknown", ""},  {4, "A", ""},       {36, "7", "&&"},       {30, "1", "!"},
        {41, "Esc ", ""},    {49, "\\", "|"},    {50, "\\", "|"},       {52, "'", "\""},
        {53, "\u00B7", "~"}, {79, "\u2192", ""}, {83, "NumLock", ""},   {88, "Pad Enter", ""},
        {100, "\\", "|"},    {101, "App ", ""},  {229, "Shift(R)", ""}, {102, "", ""},
        {223, "", ""},       {232, "", ""},      {-1, "", ""},          {1, "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UsageIdToKeyLabel(c.usage), c.key) << "usage " << c.usage;
        EXPECT_EQ(UsageIdToShiftLabel(c.usage), c.shift) << "usage " << c.usage;
    }
}

// The key display picks its font by the label's length in UTF-16 units, blanks included.
TEST(Utf16Length, CountsUtf16UnitsOfUtf8Text) {
    struct Case {
        std::string_view text;
        size_t units;
    };
    const Case cases[] = {
        {"", 0},       {"Esc ", 4},       {"Pad Enter", 9}, {"\u2190", 1},   {"\u00B7", 1},
        {"\u952E", 1}, {"\U0001F600", 2}, {"a\u2191b", 3},  {"\xE2\x86", 2}, {"\x80", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Utf16Length(c.text), c.units) << c.text;

    for (const TKeyCodeRow& row : KeyCodeTable) {
        if (row.KeyLabel.size() == 3 && static_cast<unsigned char>(row.KeyLabel[0]) == 0xE2) {
            EXPECT_EQ(Utf16Length(row.KeyLabel), 1u) << "usage " << row.UsageId;  // the arrows
        }
    }
    static_assert(Utf16Length("End ") == 4);
}
