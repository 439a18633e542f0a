#pragma once
// Bluetooth UUIDs: a 128-bit value type, its canonical text, and the 16-bit short form used by the
// device log.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A 128-bit UUID held as its 16 bytes in text order (big-endian: the first byte is the first two
// hexadecimal digits of the canonical text).
struct TBluetoothUuid {
    std::array<uint8_t, 16> bytes{};

    // 0000xxxx-0000-1000-8000-00805F9B34FB: a 16-bit UUID inside the Bluetooth base UUID.
    static constexpr TBluetoothUuid FromShort(uint16_t shortUuid) {
        TBluetoothUuid u{
            {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
        u.bytes[2] = static_cast<uint8_t>(shortUuid >> 8);
        u.bytes[3] = static_cast<uint8_t>(shortUuid & 0xFF);
        return u;
    }

    // Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without braces, any case.
    static std::optional<TBluetoothUuid> Parse(std::string_view text);

    // "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in upper case, without braces.
    std::string ToString() const;
    // Lower case, as BlueZ and Qt write it.
    std::string ToLowerString() const;

    // The first 32-bit field (the part before the first '-').
    constexpr uint32_t Data1() const {
        return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    }

    friend constexpr bool operator==(const TBluetoothUuid&, const TBluetoothUuid&) = default;
};

// The four upper-case hexadecimal digits of the low 16 bits of the UUID's first field
// (for a Bluetooth base UUID, its 16-bit short form: 0x180A gives "180A").
std::string ShortUUIDText(const TBluetoothUuid& uuid);
