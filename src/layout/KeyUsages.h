#pragma once
// Linux key codes (KEY_*, an XKB keycode less 8) and HID keyboard usages, both ways, through the
// project's one table of each: LinuxKeyCodes gives a key's set-1 scan code, the key table its usage.
// Standard library only.

#include <cstdint>

// The usage of a Linux key; 0 for a key the tables do not know.
uint8_t UsageOfLinuxKey(unsigned Key);
// The Linux key of a usage (modifiers as 224..231); 0 for none. The non-US '#' key (50) is the
// backslash key, as the kernel's HID driver makes it.
unsigned LinuxKeyOfUsage(uint8_t Usage);
