#include "KeyCodes.h"

#include <cstdio>

namespace e2e {

namespace {

// Rows of the US keyboard: the keycodes of the first key of each letter row and the letters in order.
constexpr std::string_view TopRow = "qwertyuiop";    // keycodes 24..33
constexpr std::string_view MiddleRow = "asdfghjkl";  // 38..46
constexpr std::string_view BottomRow = "zxcvbnm";    // 52..58

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i != 0)
            s.push_back(' ');
        s += buf;
    }
    return s;
}

}  // namespace

std::optional<TKeyStroke> KeyStrokeFor(char c) {
    const bool upper = c >= 'A' && c <= 'Z';
    const char lower = upper ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower >= 'a' && lower <= 'z') {
        const uint8_t u = static_cast<uint8_t>(4 + (lower - 'a'));
        unsigned code = 0;
        if (auto p = TopRow.find(lower); p != std::string_view::npos)
            code = 24 + static_cast<unsigned>(p);
        else if (p = MiddleRow.find(lower); p != std::string_view::npos)
            code = 38 + static_cast<unsigned>(p);
        else if (p = BottomRow.find(lower); p != std::string_view::npos)
            code = 52 + static_cast<unsigned>(p);
        return TKeyStroke{code, u, upper};
    }
    if (c >= '1' && c <= '9')
        return TKeyStroke{static_cast<unsigned>(10 + (c - '1')), static_cast<uint8_t>(30 + (c - '1')), false};
    switch (c) {
        case '0':
            return TKeyStroke{19, 39, false};
        case ' ':
            return TKeyStroke{keycode::Space, 44, false};
        case '\n':
            return TKeyStroke{keycode::Return, 40, false};
        case ',':
            return TKeyStroke{59, 54, false};
        case '.':
            return TKeyStroke{60, 55, false};
        case '!':
            return TKeyStroke{10, 30, true};
        case '?':
            return TKeyStroke{61, 56, true};
        case '-':
            return TKeyStroke{20, 45, false};
        default:
            return std::nullopt;
    }
}

std::string KeyboardReportHex(uint8_t modifiers, const std::vector<uint8_t>& keys, bool reportId) {
    std::vector<uint8_t> bytes;
    if (reportId)
        bytes.push_back(1);
    bytes.push_back(modifiers);
    bytes.push_back(0);
    for (std::size_t i = 0; i < 6; ++i)
        bytes.push_back(i < keys.size() ? keys[i] : 0);
    return Hex(bytes);
}

std::string MouseReportHex(uint8_t buttons, int16_t x, int16_t y, int8_t wheel, bool reportId) {
    std::vector<uint8_t> bytes;
    if (reportId)
        bytes.push_back(3);
    const auto ux = static_cast<uint16_t>(x);
    const auto uy = static_cast<uint16_t>(y);
    bytes.insert(bytes.end(), {buttons, static_cast<uint8_t>(ux & 0xFF), static_cast<uint8_t>(ux >> 8),
                               static_cast<uint8_t>(uy & 0xFF), static_cast<uint8_t>(uy >> 8),
                               static_cast<uint8_t>(wheel)});
    return Hex(bytes);
}

std::vector<std::string> KeyboardReportsForText(std::string_view text, bool reportId) {
    std::vector<std::string> reports;
    for (char c : text) {
        const auto k = KeyStrokeFor(c);
        if (!k)
            continue;
        const uint8_t mods = k->shift ? modifier::LeftShift : 0;
        if (k->shift)
            reports.push_back(KeyboardReportHex(mods, {}, reportId));
        reports.push_back(KeyboardReportHex(mods, {k->usage}, reportId));
        reports.push_back(KeyboardReportHex(mods, {}, reportId));
        if (k->shift)
            reports.push_back(KeyboardReportHex(0, {}, reportId));
    }
    return reports;
}

}  // namespace e2e
