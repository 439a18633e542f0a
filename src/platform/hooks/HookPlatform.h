#pragma once
// What a low-level input hook needs from the operating system, in the hooks' own terms: install a
// hook of a kind with an entry point, remove it, hand an event on to the rest of the chain, read the
// keyboard state. Backends: win32/ (the OS hooks themselves), x11/ (grabs and XInput2 on an X
// server), fake/ (tests). CreateHookPlatform() picks one at run time.
//
// Contract every backend keeps:
//  - The entry point is called on the thread that installed the hook, once per event, with a code
//    (not examined by the hooks), the event kind (a message number below) and the address of the
//    event record (THookKeyboardRecord or THookMouseRecord, Windows layout). The record is valid
//    only during the call.
//  - The entry point's result decides the event: non-zero swallows it (no application sees it and,
//    for a move, the pointer stays where it was); zero lets it through, and then the entry point has
//    already called CallNextHook and returns that value.
//  - InstallHook returns null when the hook cannot be installed; FailureReason() then says why, in
//    words a user understands.
//
// The names here stay clear of <windows.h>, so a backend may include both.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Platform hook kinds the hooks install.
enum THookKind : int32_t {
    HookKindKeyboardLowLevel = 13,
    HookKindMouseLowLevel = 14,
};

// Event kinds (the platform's message numbers) as the entry point receives them.
namespace HookEventKind {
inline constexpr uint32_t KeyDown = 0x0100;
inline constexpr uint32_t KeyUp = 0x0101;
inline constexpr uint32_t SysKeyDown = 0x0104;
inline constexpr uint32_t SysKeyUp = 0x0105;
inline constexpr uint32_t MouseMove = 0x0200;
inline constexpr uint32_t LButtonDown = 0x0201;
inline constexpr uint32_t LButtonUp = 0x0202;
inline constexpr uint32_t RButtonDown = 0x0204;
inline constexpr uint32_t RButtonUp = 0x0205;
inline constexpr uint32_t MButtonDown = 0x0207;
inline constexpr uint32_t MButtonUp = 0x0208;
inline constexpr uint32_t MouseWheel = 0x020A;
inline constexpr uint32_t XButtonDown = 0x020B;
inline constexpr uint32_t XButtonUp = 0x020C;
inline constexpr uint32_t MouseHWheel = 0x020E;
}  // namespace HookEventKind

// Bits of THookKeyboardRecord::flags.
namespace HookKeyFlag {
inline constexpr uint32_t Extended = 0x01;  // E0-prefixed key
inline constexpr uint32_t Injected = 0x10;
inline constexpr uint32_t AltDown = 0x20;
inline constexpr uint32_t Up = 0x80;  // the key is being released
}  // namespace HookKeyFlag

// Bits of THookMouseRecord::flags.
namespace HookMouseFlag {
inline constexpr uint32_t Injected = 0x01;
}  // namespace HookMouseFlag

// Wheel movement of one notch; the high word of THookMouseRecord::Data carries it signed.
inline constexpr int16_t WheelDelta = 120;
// High word of Data for XButtonDown/XButtonUp.
inline constexpr uint16_t XButton1 = 0x0001;
inline constexpr uint16_t XButton2 = 0x0002;

// The keyboard event record, laid out as the Windows low-level keyboard hook passes it.
struct THookKeyboardRecord {
    uint32_t VkCode;    // virtual-key code
    uint32_t ScanCode;  // set-1 scan code, without the E0 prefix (that is the Extended flag)
    uint32_t flags;     // HookKeyFlag bits
    uint32_t time;      // milliseconds, 32-bit, wraps: compare by signed difference
    uintptr_t dwExtraInfo;
};

struct THookPoint {
    int32_t X;
    int32_t Y;
    friend bool operator==(const THookPoint&, const THookPoint&) = default;
};

// The mouse event record, laid out as the Windows low-level mouse hook passes it.
struct THookMouseRecord {
    THookPoint Pt;   // pointer position this event reports, screen coordinates
    uint32_t Data;   // wheel: signed movement in the high word; X buttons: which one in the high word
    uint32_t flags;  // HookMouseFlag bits
    uint32_t time;   // milliseconds, as THookKeyboardRecord::time
    uintptr_t dwExtraInfo;
};

// The Windows backend passes the OS's records through unchanged; these pin the layout it relies on.
static_assert(sizeof(THookKeyboardRecord) == 16 + sizeof(uintptr_t));
static_assert(offsetof(THookMouseRecord, dwExtraInfo) == (sizeof(uintptr_t) == 8 ? 24 : 20));

// One state byte per virtual-key code: 0x80 held, 0x01 toggled on (lock keys).
using TKeyboardState = std::array<uint8_t, 256>;

// The object side of an installed hook: a plain function and the object it belongs to. Copying it
// allocates nothing; backends keep it by value.
struct THookEntryPoint {
    using TProc = intptr_t (*)(void* context, int32_t code, uint32_t kind, uintptr_t record);
    TProc Proc = nullptr;
    void* Context = nullptr;

    explicit operator bool() const { return Proc != nullptr; }
    intptr_t operator()(int32_t code, uint32_t kind, uintptr_t record) const {
        return Proc(Context, code, kind, record);
    }
};

// Handle of an installed hook; null means none.
using THookHandle = void*;

class THookPlatform {
  public:
    virtual ~THookPlatform() = default;

    // Installs a hook of `kind` for the whole desktop (threadId 0) or one thread. Null on failure.
    virtual THookHandle InstallHook(int32_t kind, THookEntryPoint entry, int32_t threadId) = 0;
    // As InstallHook, for a hook whose notifications let events through until one swallows (the
    // keyboard hook of mouse-only pass-through, which only watches for Ctrl+Shift and the exit
    // chord). Where swallowing is a state rather than each event's own decision (a grab), such a hook
    // starts by watching, so no event is taken before a notification asks for it. Backends that
    // decide each event by itself install as usual.
    virtual THookHandle InstallWatchingHook(int32_t kind, THookEntryPoint entry, int32_t threadId) {
        return InstallHook(kind, entry, threadId);
    }
    // Removes an installed hook. Unknown or null handles are ignored.
    virtual void RemoveHook(THookHandle hook) = 0;
    // Hands the event the entry point was called with to the rest of the chain; returns the value
    // the entry point must return.
    virtual intptr_t CallNextHook(THookHandle hook, int32_t code, uint32_t kind, uintptr_t record) = 0;
    // Fills one state byte per virtual-key code as of the event being processed.
    virtual void GetKeyboardState(TKeyboardState& state) = 0;
    // Identifier of the calling thread, as the hook's thread filter expects it.
    virtual int32_t CurrentThreadId() = 0;
    // The position a swallowed move reports without its own motion: where the pointer is held while
    // moves are swallowed (a move then reports this plus its displacement). False when the backend
    // cannot tell; callers then fall back to the first move's position.
    virtual bool HeldPointerPosition(THookPoint& /*pt*/) { return false; }

    // Short name for the log ("win32", "x11 :0", "fake", ...).
    virtual std::string Name() const = 0;
    // Why the last InstallHook returned null, in the user's terms; empty when it did not fail.
    virtual std::string FailureReason() const = 0;
    // Why this backend cannot capture at all in this session (and what the user can do about it),
    // known before anything is installed; empty when capture may work. The window says it at start,
    // so that nobody has to switch pass-through on to learn it cannot work here.
    virtual std::string CaptureUnavailableReason() const { return {}; }
};

// Picks the backend for this process and session and logs its choice (std::clog). Never null: where
// no capture is possible (a Wayland session, no X server, a build without a backend) it returns a
// backend whose installs fail with a FailureReason saying so.
std::unique_ptr<THookPlatform> CreateHookPlatform();

// The backend hooks use when none is given to them. Created by CreateHookPlatform() on first use
// (on the thread that creates the first hook, the UI thread), unless one was set before.
std::shared_ptr<THookPlatform> DefaultHookPlatform();
// Replaces the default (tests and the app's start-up); returns the previous one. Hooks that already
// exist keep the backend they were created with.
std::shared_ptr<THookPlatform> SetDefaultHookPlatform(std::shared_ptr<THookPlatform> platform);

// The display the program's window lives on, and that the hooks capture from, can go away for good
// (an X server that ends with the session or crashes). The toolkit and Xlib end the process at once
// when that happens, on the window's thread, while other threads still run. With a handler set, that
// moment calls handler instead, once, on the thread that noticed, with the reason in the user's words.
// No event loop runs any more and the display cannot be used; the handler must end the process
// itself (should it return, the process ends with status 1). Null stops watching. Where a display
// cannot go away, or the program does not show on an X server, it is never called.
using TDisplayLostHandler = void (*)(const char* reason);
void WatchDisplayLoss(TDisplayLostHandler handler);
