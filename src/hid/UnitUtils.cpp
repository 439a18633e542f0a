#include "hid/UnitUtils.h"

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Format(const TBluetoothUuid& u, const char* digits) {
    std::string out;
    out.reserve(36);
    for (size_t i = 0; i < u.bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out.push_back('-');
        out.push_back(digits[u.bytes[i] >> 4]);
        out.push_back(digits[u.bytes[i] & 0x0F]);
    }
    return out;
}
}  // namespace

std::optional<TBluetoothUuid> TBluetoothUuid::Parse(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, 36);
    if (text.size() != 36)
        return std::nullopt;
    TBluetoothUuid u;
    size_t byte = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        const int hi = HexValue(text[i]);
        const int lo = HexValue(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        u.bytes[byte++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return u;
}

std::string TBluetoothUuid::ToString() const {
    return Format(*this, "0123456789ABCDEF");
}

std::string TBluetoothUuid::ToLowerString() const {
    return Format(*this, "0123456789abcdef");
}

std::string ShortUUIDText(const TBluetoothUuid& uuid) {
    // Characters 6 to 9 of the braced canonical text: the low half of the first field.
    return uuid.ToString().substr(4, 4);
}
