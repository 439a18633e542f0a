#include "hid/UnitCodeComparison.h"

// Columns: KeyPosition (AT-101), VirtualKey, ScanCode (+0xE000 = extended), UsageId, KeyLabel,
// ShiftLabel. Rows are in the order the lookups must see them; the duplicates are deliberate:
//  - 0x2B appears for usages 49 and 50 and 0x45 for Pause (72) and the non-extended NumLock row
//    (83): the first row wins, so the later rows are found only by usage.
//  - PrtSc (70), Pause (72) and NumLock (83) each have two scan codes: Windows reports PrtSc as
//    0xE037 or, with Alt held, 0x54; Pause as 0x45 or 0xE046 (Ctrl+Break); NumLock as 0xE045.
//  - Right Shift is listed only as 0xE036: low-level hooks flag it as extended.
// The table is aligned by column so each row reads as one key; the formatter keeps out of it.
// clang-format off
const std::array<TKeyCodeRow, KeyCodeRowCount> KeyCodeTable{{
    {  0, 0x00, 0x00,      0, "Unknown",   ""},  // 0
    { 31, 0x41, 0x1E,      4, "A",         ""},  // 1
    { 50, 0x42, 0x30,      5, "B",         ""},  // 2
    { 48, 0x43, 0x2E,      6, "C",         ""},  // 3
    { 33, 0x44, 0x20,      7, "D",         ""},  // 4
    { 19, 0x45, 0x12,      8, "E",         ""},  // 5
    { 34, 0x46, 0x21,      9, "F",         ""},  // 6
    { 35, 0x47, 0x22,     10, "G",         ""},  // 7
    { 36, 0x48, 0x23,     11, "H",         ""},  // 8
    { 24, 0x49, 0x17,     12, "I",         ""},  // 9
    { 37, 0x4A, 0x24,     13, "J",         ""},  // 10
    { 38, 0x4B, 0x25,     14, "K",         ""},  // 11
    { 39, 0x4C, 0x26,     15, "L",         ""},  // 12
    { 52, 0x4D, 0x32,     16, "M",         ""},  // 13
    { 51, 0x4E, 0x31,     17, "N",         ""},  // 14
    { 25, 0x4F, 0x18,     18, "O",         ""},  // 15
    { 26, 0x50, 0x19,     19, "P",         ""},  // 16
    { 17, 0x51, 0x10,     20, "Q",         ""},  // 17
    { 20, 0x52, 0x13,     21, "R",         ""},  // 18
    { 32, 0x53, 0x1F,     22, "S",         ""},  // 19
    { 21, 0x54, 0x14,     23, "T",         ""},  // 20
    { 23, 0x55, 0x16,     24, "U",         ""},  // 21
    { 49, 0x56, 0x2F,     25, "V",         ""},  // 22
    { 18, 0x57, 0x11,     26, "W",         ""},  // 23
    { 47, 0x58, 0x2D,     27, "X",         ""},  // 24
    { 22, 0x59, 0x15,     28, "Y",         ""},  // 25
    { 46, 0x5A, 0x2C,     29, "Z",         ""},  // 26
    {  2, 0x31, 0x02,     30, "1",         "!"},  // 27
    {  3, 0x32, 0x03,     31, "2",         "@"},  // 28
    {  4, 0x33, 0x04,     32, "3",         "#"},  // 29
    {  5, 0x34, 0x05,     33, "4",         "$"},  // 30
    {  6, 0x35, 0x06,     34, "5",         "%"},  // 31
    {  7, 0x36, 0x07,     35, "6",         "^"},  // 32
    {  8, 0x37, 0x08,     36, "7",         "&&"},  // 33
    {  9, 0x38, 0x09,     37, "8",         "*"},  // 34
    { 10, 0x39, 0x0A,     38, "9",         "("},  // 35
    { 11, 0x30, 0x0B,     39, "0",         ")"},  // 36
    { 43, 0x0D, 0x1C,     40, "Enter",     ""},  // 37
    {110, 0x1B, 0x01,     41, "Esc ",      ""},  // 38
    { 15, 0x08, 0x0E,     42, "Backspace", ""},  // 39
    { 16, 0x09, 0x0F,     43, "Tab ",      ""},  // 40
    { 61, 0x20, 0x39,     44, "Space",     ""},  // 41
    { 12, 0x00, 0x0C,     45, "-",         "_"},  // 42
    { 13, 0x00, 0x0D,     46, "=",         "+"},  // 43
    { 27, 0x00, 0x1A,     47, "[",         "{"},  // 44
    { 28, 0x00, 0x1B,     48, "]",         "}"},  // 45
    { 29, 0x00, 0x2B,     49, "\\",        "|"},  // 46
    { 42, 0x00, 0x2B,     50, "\\",        "|"},  // 47
    { 40, 0x00, 0x27,     51, ";",         ":"},  // 48
    { 41, 0x00, 0x28,     52, "'",         "\""},  // 49
    {  1, 0x00, 0x29,     53, "·",         "~"},  // 50
    { 53, 0x00, 0x33,     54, ",",         "<"},  // 51
    { 54, 0x00, 0x34,     55, ".",         ">"},  // 52
    { 55, 0x00, 0x35,     56, "/",         "?"},  // 53
    { 30, 0x00, 0x3A,     57, "CapsLock",  ""},  // 54
    {112, 0x70, 0x3B,     58, "F1",        ""},  // 55
    {113, 0x71, 0x3C,     59, "F2",        ""},  // 56
    {114, 0x72, 0x3D,     60, "F3",        ""},  // 57
    {115, 0x73, 0x3E,     61, "F4",        ""},  // 58
    {116, 0x74, 0x3F,     62, "F5",        ""},  // 59
    {117, 0x75, 0x40,     63, "F6",        ""},  // 60
    {118, 0x76, 0x41,     64, "F7",        ""},  // 61
    {119, 0x77, 0x42,     65, "F8",        ""},  // 62
    {120, 0x78, 0x43,     66, "F9",        ""},  // 63
    {121, 0x79, 0x44,     67, "F10",       ""},  // 64
    {122, 0x7A, 0x57,     68, "F11",       ""},  // 65
    {123, 0x7B, 0x58,     69, "F12",       ""},  // 66
    {124, 0x2C, 0xE037,   70, "PrtSc",     ""},  // 67
    {124, 0x2C, 0x54,     70, "PrtSc",     ""},  // 68
    {125, 0x91, 0x46,     71, "Scrlock",   ""},  // 69
    {126, 0x13, 0x45,     72, "Pause",     ""},  // 70
    {126, 0x13, 0xE046,   72, "Pause",     ""},  // 71
    { 75, 0x2D, 0xE052,   73, "Ins ",      ""},  // 72
    { 80, 0x24, 0xE047,   74, "Home",      ""},  // 73
    { 85, 0x21, 0xE049,   75, "PageUp",    ""},  // 74
    { 76, 0x2E, 0xE053,   76, "Del ",      ""},  // 75
    { 81, 0x23, 0xE04F,   77, "End ",      ""},  // 76
    { 86, 0x22, 0xE051,   78, "PageDown",  ""},  // 77
    { 89, 0x27, 0xE04D,   79, "→",         ""},  // 78
    { 79, 0x25, 0xE04B,   80, "←",         ""},  // 79
    { 84, 0x28, 0xE050,   81, "↓",         ""},  // 80
    { 83, 0x26, 0xE048,   82, "↑",         ""},  // 81
    { 90, 0x90, 0x45,     83, "NumLock",   ""},  // 82
    { 90, 0x90, 0xE045,   83, "NumLock",   ""},  // 83
    { 95, 0x6F, 0xE035,   84, "Pad /",     ""},  // 84
    {100, 0x6A, 0x37,     85, "Pad *",     ""},  // 85
    {105, 0x6D, 0x4A,     86, "Pad -",     ""},  // 86
    {106, 0x6B, 0x4E,     87, "Pad +",     ""},  // 87
    {108, 0x0D, 0xE01C,   88, "Pad Enter", ""},  // 88
    { 93, 0x61, 0x4F,     89, "Pad 1",     ""},  // 89
    { 98, 0x62, 0x50,     90, "Pad 2",     ""},  // 90
    {103, 0x63, 0x51,     91, "Pad 3",     ""},  // 91
    { 92, 0x64, 0x4B,     92, "Pad 4",     ""},  // 92
    { 97, 0x65, 0x4C,     93, "Pad 5",     ""},  // 93
    {102, 0x66, 0x4D,     94, "Pad 6",     ""},  // 94
    { 91, 0x67, 0x47,     95, "Pad 7",     ""},  // 95
    { 96, 0x68, 0x48,     96, "Pad 8",     ""},  // 96
    {101, 0x69, 0x49,     97, "Pad 9",     ""},  // 97
    { 99, 0x60, 0x52,     98, "Pad 0",     ""},  // 98
    {104, 0x6C, 0x53,     99, "Pad .",     ""},  // 99
    { 45, 0x00, 0x56,    100, "\\",        "|"},  // 100
    {129, 0x5D, 0xE05D,  101, "App ",      ""},  // 101
    { 58, 0xA2, 0x1D,    224, "Ctrl(L)",   ""},  // 102
    { 44, 0xA0, 0x2A,    225, "Shift(L)",  ""},  // 103
    { 60, 0xA4, 0x38,    226, "Alt(L)",    ""},  // 104
    {127, 0x5B, 0xE05B,  227, "Win(L)",    ""},  // 105
    { 64, 0xA3, 0xE01D,  228, "Ctrl(R)",   ""},  // 106
    { 57, 0xA1, 0xE036,  229, "Shift(R)",  ""},  // 107
    { 62, 0xA5, 0xE038,  230, "Alt(R)",    ""},  // 108
    {128, 0x5C, 0xE05C,  231, "Win(R)",    ""},  // 109
}};
// clang-format on

int32_t ScanCodeToUsageId(int32_t keyCode) {
    for (const TKeyCodeRow& row : KeyCodeTable) {
        if (row.ScanCode == keyCode)
            return row.UsageId;
    }
    return 0;
}

std::string_view UsageIdToKeyLabel(int32_t usage) {
    for (const TKeyCodeRow& row : KeyCodeTable) {
        if (row.UsageId == usage)
            return row.KeyLabel;
    }
    return {};
}

std::string_view UsageIdToShiftLabel(int32_t usage) {
    for (const TKeyCodeRow& row : KeyCodeTable) {
        if (row.UsageId == usage)
            return row.ShiftLabel;
    }
    return {};
}
