#include "layout/KeyUsages.h"

#include <array>

#include "hid/UnitCodeComparison.h"
#include "platform/hooks/LinuxKeyCodes.h"

namespace {

constexpr unsigned KeyCount = 256;
constexpr uint8_t UsageBackslash = 49;
constexpr uint8_t UsageNonUsHash = 50;

std::array<uint16_t, 256> MakeKeysOfUsages() {
    std::array<uint16_t, 256> keys{};
    for (unsigned key = 1; key < KeyCount; ++key) {
        const uint8_t usage = UsageOfLinuxKey(key);
        if (usage != 0 && keys[usage] == 0) {
            keys[usage] = static_cast<uint16_t>(key);
        }
    }
    keys[UsageNonUsHash] = keys[UsageBackslash];
    return keys;
}

}  // namespace

uint8_t UsageOfLinuxKey(unsigned Key) {
    const TLinuxKeyRow row = LinuxKeyRow(Key);
    if (row.Scan == 0) {
        return 0;
    }
    const int32_t usage = ScanCodeToUsageId(row.Scan + (row.Extended ? 0xE000 : 0));
    return usage > 0 && usage < 256 ? static_cast<uint8_t>(usage) : 0;
}

unsigned LinuxKeyOfUsage(uint8_t Usage) {
    static const std::array<uint16_t, 256> keys = MakeKeysOfUsages();
    return keys[Usage];
}
