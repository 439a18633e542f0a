#include "DongleOptions.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

#include "layout/SystemLayouts.h"
#include "layout/XkbLayout.h"

namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep))
        parts.push_back(part);
    return parts;
}

bool ParseHex16(const std::string& text, uint16_t* out) {
    if (text.empty() || text.size() > 4)
        return false;
    unsigned value = 0;
    for (char c : text) {
        value <<= 4;
        if (c >= '0' && c <= '9')
            value |= static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value |= static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            value |= static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
    }
    *out = static_cast<uint16_t>(value);
    return true;
}

bool ParseInt(const std::string& text, long long* out) {
    try {
        size_t used = 0;
        *out = std::stoll(text, &used, 10);
        return used == text.size();
    } catch (...) {
        return false;
    }
}

bool ParseIdentity(const std::string& text, vdongle::TDongleIdentity* out) {
    const auto parts = Split(text, ':');
    if (parts.size() < 2 || parts.size() > 3)
        return false;
    uint16_t vid = 0, pid = 0, ver = 0;
    if (!ParseHex16(parts[0], &vid) || !ParseHex16(parts[1], &pid))
        return false;
    if (parts.size() == 3 && (!ParseHex16(parts[2], &ver) || ver > 0xFF))
        return false;
    *out = {vid, pid, static_cast<uint8_t>(ver)};
    return true;
}

bool ParseAddress(const std::string& text) {
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i % 3 == 2) {
            if (c != ':')
                return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<TServiceDongle> ParseDongleTraits(const std::string& traits, int index, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<TServiceDongle> {
        if (error)
            *error = "dongle " + std::to_string(index + 1) + ": " + why;
        return std::nullopt;
    };
    std::string name = "Corvastel-VD" + std::to_string(index + 1);
    char address[18];
    std::snprintf(address, sizeof address, "C0:FF:EE:00:00:%02X", (index + 1) & 0xFF);
    std::string addr = address;
    std::string firmware = "1.2.0";
    vdongle::TDongleIdentity identity = vdongle::Identity0451_16B4;
    std::vector<std::pair<std::string, std::string>> rest;

    for (const std::string& item : Split(traits, ',')) {
        if (item.empty())
            continue;
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "1" : item.substr(eq + 1);
        if (key == "name")
            name = value;
        else if (key == "address") {
            if (!ParseAddress(value))
                return fail("address must look like C0:FF:EE:00:00:01");
            addr = value;
        } else if (key == "firmware")
            firmware = value;
        else if (key == "identity") {
            if (!ParseIdentity(value, &identity))
                return fail("identity must look like 0451:16B4 or 0451:E010:1");
        } else
            rest.emplace_back(key, value);
    }

    TServiceDongle d;
    d.config = vdongle::TDongleConfig::Standard(name, addr, firmware, identity);
    for (const auto& [key, value] : rest) {
        long long n = 0;
        if (key == "answers-identity" && ParseInt(value, &n))
            d.config.answersIdentity = n != 0;
        else if (key == "reply-code") {
            uint16_t code = 0;
            if (!ParseHex16(value, &code) || (code != 0xA0 && code != 0xA1))
                return fail("reply-code is A0 or A1");
            d.config.identityReplyCode = static_cast<uint8_t>(code);
        } else if (key == "write-delay-us" && ParseInt(value, &n) && n >= 0) {
            d.config.writeDelay = std::chrono::microseconds(n);
        } else if (key == "interval-us" && ParseInt(value, &n) && n >= 0 && n <= 4000000) {
            d.config.connectionInterval = std::chrono::microseconds(n);
        } else if (key == "packets-per-event" && ParseInt(value, &n) && n >= 1 && n <= 64) {
            d.config.packetsPerEvent = static_cast<int>(n);
        } else if (key == "ask-interval-us" && ParseInt(value, &n) && n >= 7500 && n <= 4000000) {
            d.askIntervalUs = static_cast<int>(n);
        } else if (key == "rssi" && ParseInt(value, &n) && n < 0 && n >= -127) {
            d.config.rssi = static_cast<int>(n);
        } else if (key == "services") {
            d.config.advertisedServices.clear();
            for (const auto& s : Split(value, ';')) {
                uint16_t u = 0;
                if (!ParseHex16(s, &u))
                    return fail("services takes 16-bit UUIDs like F800;180A");
                d.config.advertisedServices.push_back(u);
            }
        } else if (key == "without") {
            for (const auto& s : Split(value, ';')) {
                uint16_t u = 0;
                if (!ParseHex16(s, &u) || !d.config.Remove(u))
                    return fail("without names a characteristic it has: " + s);
            }
        } else if (key == "readable") {
            for (const auto& s : Split(value, ';')) {
                uint16_t u = 0;
                auto* c = ParseHex16(s, &u) ? d.config.Find(u) : nullptr;
                if (!c)
                    return fail("readable names a characteristic it has: " + s);
                c->properties |= vdongle::prop::Read;
            }
        } else if (key == "unreadable") {
            for (const auto& s : Split(value, ';')) {
                uint16_t u = 0;
                if (!ParseHex16(s, &u) || !d.config.Find(u))
                    return fail("unreadable names a characteristic it has: " + s);
                d.config.failingReads.push_back(u);
            }
        } else if (key == "identity-reply") {
            vdongle::TBytes bytes;
            for (size_t i = 0; i < value.size(); i += 2) {
                uint16_t b = 0;
                if (i + 2 > value.size() || !ParseHex16(value.substr(i, 2), &b)) {
                    return fail("identity-reply takes hexadecimal bytes like A13412");
                }
                bytes.push_back(static_cast<uint8_t>(b));
            }
            d.config.identityReply = bytes;
        } else if (key == "request-only" && ParseInt(value, &n)) {
            if (n != 0) {
                for (auto& s : d.config.gatt) {
                    for (auto& c : s.characteristics)
                        c.properties &= static_cast<uint8_t>(~vdongle::prop::WriteNoResponse);
                }
            }
        } else if (key == "request-only-on") {
            // Only these characteristics (short UUIDs, separated by ';') allow no write without
            // response.
            size_t at = 0;
            while (at <= value.size()) {
                const size_t end = std::min(value.find(';', at), value.size());
                uint16_t u = 0;
                vdongle::TGattCharacteristicDef* c =
                    ParseHex16(value.substr(at, end - at), &u) ? d.config.Find(u) : nullptr;
                if (!c)
                    return fail("request-only-on takes characteristics of the dongle like F803;F804");
                c->properties &= static_cast<uint8_t>(~vdongle::prop::WriteNoResponse);
                at = end + 1;
            }
        } else if (key == "advertising" && ParseInt(value, &n)) {
            d.config.advertising = n != 0;
        } else if (key == "never-resolve" && ParseInt(value, &n)) {
            d.neverResolve = n != 0;
        } else if (key == "security") {
            if (value == "none")
                d.config.security = vdongle::TSecurity::None;
            else if (value == "encrypt")
                d.config.security = vdongle::TSecurity::Encrypt;
            else if (value == "authenticated")
                d.config.security = vdongle::TSecurity::Authenticated;
            else
                return fail("security is none, encrypt or authenticated");
        } else if (key == "passkey") {
            if (value.size() != 6 || value.find_first_not_of("0123456789") != std::string::npos ||
                !ParseInt(value, &n))
                return fail("passkey takes six digits like 012345");
            d.config.passkey = static_cast<uint32_t>(n);
        } else if (key == "layout" || key == "system") {
            TTargetSystem system = TTargetSystem::Linux;
            if (key == "system" && !SystemNamed(value, &system))
                return fail("system takes linux, windows or macos");
            const std::string layout = key == "layout" ? value : d.config.layout;
            if (key == "system")
                d.config.system = value;
            else
                SystemNamed(d.config.system, &system);
            // Loaded once here, so a layout the machine lacks is said at start, not at the first key.
            std::string why;
            if (!TXkbTextDecoder::Create(layout, system, &why))
                return fail("layout: " + why);
            d.config.layout = layout;
            d.config.makeKeyDecoder = [layout, system]() -> vdongle::TKeyDecoder {
                std::string ignored;
                std::shared_ptr<TXkbTextDecoder> decoder = TXkbTextDecoder::Create(layout, system, &ignored);
                if (!decoder)
                    return {};
                return [decoder](uint8_t usage, bool pressed, uint8_t leds) {
                    return decoder->Key(usage, pressed, leds);
                };
            };
        } else {
            return fail("unknown or malformed trait '" + key + "=" + value + "'");
        }
    }
    return d;
}

std::optional<TServiceOptions> ParseServiceOptions(const std::vector<std::string>& args, std::string* error) {
    TServiceOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--preview")
            options.preview = true;
        else if (a == "--powered-off")
            options.powered = false;
        else if (a == "--no-adapter")
            options.adapterPresent = false;
        else if (a == "--preview-beside" && i + 1 < args.size()) {
            const std::string& size = args[++i];
            const size_t x = size.find('x');
            long long w = 0;
            long long h = 0;
            if (x == std::string::npos || !ParseInt(size.substr(0, x), &w) ||
                !ParseInt(size.substr(x + 1), &h) || w <= 0 || h <= 0 || w > 100000 || h > 100000) {
                if (error)
                    *error = "--preview-beside wants WIDTHxHEIGHT, not '" + size + "'";
                return std::nullopt;
            }
            options.besideWidth = static_cast<int>(w);
            options.besideHeight = static_cast<int>(h);
        } else if (a == "--bluez-adapters" && i + 1 < args.size()) {
            for (const std::string& name : Split(args[++i], ',')) {
                if (name.size() < 4 || name.rfind("hci", 0) != 0 ||
                    name.find_first_not_of("0123456789", 3) != std::string::npos) {
                    if (error)
                        *error = "'" + name + "' is no adapter name (hci0, hci1, ...)";
                    return std::nullopt;
                }
                options.bluezAdapters.push_back(name);
            }
        } else if ((a == "--disconnect-timer-ms" || a == "--temporary-timeout-ms") && i + 1 < args.size()) {
            long long ms = 0;
            if (!ParseInt(args[++i], &ms) || ms < 0 || ms > 3600000) {
                if (error)
                    *error = a + " wants milliseconds from 0 to 3600000, not '" + args[i] + "'";
                return std::nullopt;
            }
            (a == "--disconnect-timer-ms" ? options.disconnectTimerMs : options.temporaryTimeoutMs) =
                static_cast<int>(ms);
        } else if (a == "--dongle" && i + 1 < args.size()) {
            auto d = ParseDongleTraits(args[++i], static_cast<int>(options.dongles.size()), error);
            if (!d)
                return std::nullopt;
            options.dongles.push_back(std::move(*d));
        } else {
            if (error)
                *error = "unknown option '" + a + "'";
            return std::nullopt;
        }
    }
    if (options.dongles.empty())
        options.dongles.push_back(*ParseDongleTraits("", 0, error));
    if (!options.bluezAdapters.empty()) {
        if (options.bluezAdapters.size() != options.dongles.size()) {
            if (error)
                *error = "--bluez-adapters names one adapter per dongle";
            return std::nullopt;
        }
        if (options.preview || !options.powered || !options.adapterPresent) {
            if (error)
                *error = "--bluez-adapters takes no --preview, --powered-off or --no-adapter";
            return std::nullopt;
        }
    }
    return options;
}
