// Runs under Wine: installs both hooks through the Windows backend, lets injected input through,
// then swallows it, and prints what it saw. The driver (WineHookTest.cpp) injects with xdotool
// between the phases it reads from our output.

#include <cstdio>
#include <functional>

#include "ProbeWindow.h"
#include "input/UnitKeyHook.h"

namespace {

struct TKey {
    uint32_t Msg, Scan, Flags;
};
struct TMouse {
    uint32_t Kind;
    int16_t High;
};
TKey Keys[256];
int KeyCount = 0;
TMouse Mice[256];
int MouseCount = 0;
bool Swallow = false;

void Say(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
    for (int waited = 0; waited < ms && !done(); waited += 50) {
        ProbePump(50);
    }
    ProbePump(200);  // let stragglers arrive
    return done();
}

bool SawKey(uint32_t scan, bool extended, bool up) {
    for (int i = 0; i < KeyCount; ++i) {
        if (Keys[i].Scan == scan && ((Keys[i].Flags & LLKHF_EXTENDED) != 0) == extended &&
            ((Keys[i].Flags & LLKHF_UP) != 0) == up && Keys[i].Msg == (up ? WM_KEYUP : WM_KEYDOWN)) {
            return true;
        }
    }
    return false;
}
bool SawMouse(uint32_t kind, int16_t high) {
    for (int i = 0; i < MouseCount; ++i) {
        if (Mice[i].Kind == kind && Mice[i].High == high) {
            return true;
        }
    }
    return false;
}

int Fail(const char* what) {
    std::printf("FAIL %s (keys seen:", what);
    for (int i = 0; i < KeyCount; ++i) {
        std::printf(" %x/%x/%x", unsigned(Keys[i].Msg), unsigned(Keys[i].Scan), unsigned(Keys[i].Flags));
    }
    std::printf("; mouse seen:");
    for (int i = 0; i < MouseCount; ++i) {
        std::printf(" %x/%d", unsigned(Mice[i].Kind), Mice[i].High);
    }
    const TWindowCounts counts = ProbeWindowCounts();
    std::printf("; window keys %d wheels %d buttons %d)\n", counts.Keys, counts.Wheels, counts.Buttons);
    std::fflush(stdout);
    return 1;
}

}  // namespace

int main() {
    TComponent owner;
    TLowLevelKeyboardHook* keys = THookContainer<TLowLevelKeyboardHook>::Construct(&owner);
    TLowLevelMouseHook* mouse = THookContainer<TLowLevelMouseHook>::Construct(&owner);
    keys->SetOnPreExecute([keys](THook&, THookMessage& msg) {
        const KBDLLHOOKSTRUCT& k = keys->HookStruct();
        if (KeyCount < 256)
            Keys[KeyCount++] = {msg.Msg, k.ScanCode, k.flags};
        msg.Result = Swallow ? 1 : 0;
    });
    mouse->SetOnPreExecute([mouse](THook&, THookMessage& msg) {
        if (mouse->MouseState() != WM_MOUSEMOVE && MouseCount < 256) {
            Mice[MouseCount++] = {mouse->MouseState(), static_cast<int16_t>(mouse->HookStruct().Data >> 16)};
        }
        msg.Result = Swallow ? 1 : 0;
    });
    if (!ProbeCreateWindow()) {
        return Fail("window");
    }
    try {
        keys->SetActive(true);
        mouse->SetActive(true);
    } catch (const EHookError& e) {
        std::printf("FAIL %s %s\n", e.what(), e.Reason().c_str());
        return 1;
    }
    ProbePump(300);
    Say("READY");

    // Phase 1: everything goes through to the window.
    const bool phase1 = PumpUntil(
        [] {
            return SawKey(0x1E, false, true) && SawKey(0x1C, true, true) && SawKey(0x4D, true, true) &&
                   SawKey(0x35, true, true) && SawMouse(WM_MOUSEWHEEL, 120) &&
                   SawMouse(WM_MOUSEWHEEL, -120) && SawMouse(WM_XBUTTONUP, XButton1);
        },
        30000);
    if (!phase1) {
        return Fail("phase 1: hooks did not see the expected events");
    }
    const TWindowCounts before = ProbeWindowCounts();
    if (before.Keys < 8 || before.Wheels < 2) {
        return Fail("phase 1: input let through did not reach the window");
    }
    Swallow = true;
    KeyCount = 0;
    MouseCount = 0;
    Say("SWALLOW");

    // Phase 2: the hooks swallow; the window must receive nothing more.
    const bool phase2 =
        PumpUntil([] { return SawKey(0x30, false, true) && SawMouse(WM_MOUSEWHEEL, 120); }, 30000);
    if (!phase2) {
        return Fail("phase 2: hooks did not see the expected events");
    }
    const TWindowCounts after = ProbeWindowCounts();
    if (after.Keys != before.Keys || after.Wheels != before.Wheels) {
        return Fail("phase 2: swallowed input reached the window");
    }
    keys->SetActive(false);
    mouse->SetActive(false);
    Say("DONE");
    return 0;
}
