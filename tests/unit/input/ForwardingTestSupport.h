#pragma once
// A window stand-in for the forwarding logic: records every report as one dongle of identity
// 0451:16B4 would receive it, in a short readable form:
//   keyboard  "K"            nothing held
//             "K m03 4 5"    modifier byte 0x03, usages 4 and 5
//   mouse     "M b1 3,-1 w0" buttons 0x01, X 3, Y -1, wheel 0

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "input/UnitInputForwarding.h"
#include "input/UnitKeyHook.h"

namespace fwdtest {

inline std::string Describe(const THidReport& r) {
    std::string out;
    if (r.size() == 9 && r[0] == KeyboardReportId) {
        out = "K";
        char buf[16];
        if (r[1] != 0) {
            std::snprintf(buf, sizeof buf, " m%02X", r[1]);
            out += buf;
        }
        for (std::size_t i = 3; i < 9; ++i) {
            if (r[i] != 0)
                out += " " + std::to_string(r[i]);
        }
    } else if (r.size() == 7 && r[0] == MouseReportId) {
        const auto x = static_cast<int16_t>(r[2] | (r[3] << 8));
        const auto y = static_cast<int16_t>(r[4] | (r[5] << 8));
        out = "M b" + std::to_string(r[1]) + " " + std::to_string(x) + "," + std::to_string(y) + " w" +
              std::to_string(static_cast<int8_t>(r[6]));
    } else {
        out = "? " + r.ToHex();
    }
    return out;
}

struct TRecorder : TForwardTarget {
    bool Keyboard = true;
    bool Mouse = false;
    bool PointerKnown = true;
    THookPoint Pointer{0, 0};

    std::vector<std::string> Reports;
    std::vector<std::pair<std::string, std::string>> Shown;  // keypad mouse display
    std::vector<TIntArray> PressedShown;
    int Exits = 0;

    THookPoint MouseStartPt{0, 0};
    TMouseGrandTotal MouseXgt, MouseYgt, MouseZgt;

    bool KeyboardForwarded() const override { return Keyboard; }
    bool MouseForwarded() const override { return Mouse; }
    void SendReportToActive(TReportType type, bool empty) override {
        const TUSBDeviceID id = USBID_0451_16B4;
        if (type == TReportType::Mouse && !empty) {
            Reports.push_back(Describe(GetMouseHidReport(id, TakeMouseSnapshot())));
        } else {
            Reports.push_back(Describe(empty ? GetEmptyHidReport(id, type) : GetHidReport(id, type)));
        }
    }
    void ShowPressedKey(const TIntArray& keys) override { PressedShown.push_back(keys); }
    void ShowKeypadMouse(std::string_view primary, std::string_view second) override {
        Shown.emplace_back(std::string(primary), std::string(second));
    }
    void ExitPassThrough() override {
        // As the window leaves pass-through.
        ++Exits;
        ClearPressedKeys();
        SendReportToActive(TReportType::KeyboardIn, true);
        ClearMouseItems();
        SendReportToActive(TReportType::Mouse, true);
        ForgetHeldModeKeys();
    }
    bool HeldPointerPosition(THookPoint& pt) override {
        pt = Pointer;
        return PointerKnown;
    }
    bool SelectRoute(int) override { return true; }

    // Switching pass-through on.
    void SwitchOn() {
        MouseXgt.time = 0;
        MouseStartPt = {0, 0};
        CtrlShiftHeld = false;
    }

    intptr_t Key(uint32_t scan, bool release, bool extended = false) {
        const THookKeyboardRecord record{0, scan,
                                         (extended ? LLKHF_EXTENDED : 0u) | (release ? LLKHF_UP : 0u), 0, 0};
        return ForwardKeyEvent(*this, record);
    }
    intptr_t MouseEvent(uint32_t kind, int32_t x, int32_t y, uint32_t time, uint32_t data = 0) {
        const THookMouseRecord record{{x, y}, data, 0, time, 0};
        return ForwardMouseEvent(*this, {MouseStartPt, MouseXgt, MouseYgt, MouseZgt}, kind, record);
    }
};

// Scan codes (with extended flag where marked).
struct TScan {
    uint32_t Code;
    bool Extended;
};
inline constexpr TScan ScanA{0x1E, false};
inline constexpr TScan ScanB{0x30, false};
inline constexpr TScan ScanLCtrl{0x1D, false};
inline constexpr TScan ScanLShift{0x2A, false};
inline constexpr TScan ScanRCtrl{0x1D, true};
inline constexpr TScan ScanRShift{0x36, true};
inline constexpr TScan ScanRShiftPlain{0x36, false};
inline constexpr TScan ScanRAlt{0x38, true};
inline constexpr TScan ScanPause{0x45, false};
// What Windows sends before each Right Alt of an AltGr layout: a Left Ctrl that no key table knows.
inline constexpr TScan ScanAltGrCtrl{0x21D, false};  // without the extended bit: not in the table
inline constexpr TScan ScanF12{0x58, false};
inline constexpr TScan ScanGrave{0x29, false};
inline constexpr TScan ScanEsc{0x01, false};
inline constexpr TScan ScanScrollLock{0x46, false};
inline constexpr TScan Scan0{0x0B, false};
inline constexpr TScan Scan1{0x02, false};
inline constexpr TScan Scan2{0x03, false};
inline constexpr TScan Scan3{0x04, false};
inline constexpr TScan Scan4{0x05, false};
inline constexpr TScan ScanPadSlash{0x35, true};
inline constexpr TScan ScanPadStar{0x37, false};
inline constexpr TScan ScanPadMinus{0x4A, false};
inline constexpr TScan ScanPadPlus{0x4E, false};
inline constexpr TScan ScanPadEnter{0x1C, true};
inline constexpr TScan ScanPad1{0x4F, false};
inline constexpr TScan ScanPad2{0x50, false};
inline constexpr TScan ScanPad4{0x4B, false};
inline constexpr TScan ScanPad5{0x4C, false};
inline constexpr TScan ScanPad6{0x4D, false};
inline constexpr TScan ScanPad7{0x47, false};
inline constexpr TScan ScanPad8{0x48, false};
inline constexpr TScan ScanPad9{0x49, false};

// One key event of a sequence.
struct TKeyStep {
    TScan Scan;
    bool Release;
};
inline TKeyStep Down(TScan s) {
    return {s, false};
}
inline TKeyStep Up(TScan s) {
    return {s, true};
}

}  // namespace fwdtest
