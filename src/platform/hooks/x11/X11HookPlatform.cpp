// Low-level hooks on an X server.
//
// X has no hook chain that sees an event before the focused client and may drop it. What comes
// closest, and what this backend does:
//  - Swallowing is a grab, not a per-event decision. While a hook's events are swallowed its device
//    is grabbed (keyboard: XGrabKeyboard on the root; pointer: XGrabPointer confined to a mapped 1x1
//    override-redirect InputOnly window at the pointer, so it cannot move). The grab follows the
//    notification's result: an event let through (result 0) ends the grab and the backend only
//    observes (XInput2 raw events) until a notification swallows again, which takes the grab anew.
//    So a change of decision applies from the next event on: the event whose result changed the
//    state has already gone the other way. Windows decides each event by itself. A watching hook
//    (InstallWatchingHook) starts without the grab, so its first event is not taken either.
//  - Handing an event on (CallNextHook) does nothing: an observed event has already reached its
//    client, and a grabbed one cannot be delivered any more. It returns 0.
//  - Lock keys still toggle the server's state during a keyboard grab; Caps, Num and Scroll Lock are
//    saved when the grab starts and put back when it ends.
//  - Key presses and releases come from XInput2 raw events in both states. Auto-repeat exists only
//    in core events, which only the grab brings: with XkbSetDetectableAutoRepeat they are extra
//    presses, like Windows. While only observing, the hook sees no auto-repeat.
//  - Motion comes from XI_RawMotion of the slave devices (the grabbing client gets no raw events for
//    the master it grabbed). A move reports Pt = P + d: P, the pointer position when the grab was
//    taken, plus this event's own displacement d, just as a swallowed move does on Windows. While
//    observing, Pt follows the pointer by summing displacements; that sum drifts from the real
//    position (motion not read yet when the grab is taken, a warp by another client, the server's
//    sub-pixel remainders), so a grab holds the pointer where the server says it is, and motion is
//    measured from the held position of each move (HeldPointerPosition), never from the sum.
//  - Scan codes come from the evdev keycode (Linux KEY_* = keycode - 8) through the table shared with
//    the evdev backend (LinuxKeyCodes.h) to the set-1 codes Windows reports; VkCode is the US-layout
//    virtual key, VK_NUMPAD* for keypad digits whatever the NumLock state. Event time is the server's
//    millisecond time.
//  - A keyboard or pointer grab held by someone else (an open menu, the screen locker) is retried
//    for half a second on install, then the install fails with a reason the user can act on. A
//    grab that fails when swallowing resumes leaves the device observed; the next swallowed event
//    tries again.
//
// Everything runs on the thread that created the backend (the UI thread): its own Display
// connection is read there through a QSocketNotifier.

#include "platform/hooks/x11/X11HookPlatform.h"

#include "platform/hooks/HookSlot.h"
#include "platform/hooks/LinuxKeyCodes.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

// X11 headers last: they define Bool, Status, None and friends as macros.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace {

int IgnoreXError(Display*, XErrorEvent* e) {
    std::clog << "input capture: X error " << int(e->error_code) << " on request " << int(e->request_code)
              << '\n';
    return 0;
}

// A menu or a screen locker may hold a device for a moment; with wait, give it half a second.
template <typename TGrab>
int TryGrab(TGrab grab, bool wait) {
    int status = grab();
    for (int attempt = 1; wait && status == AlreadyGrabbed && attempt < 10; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        status = grab();
    }
    return status;
}

std::string GrabFailure(const std::string& device, int status) {
    std::clog << "input capture: " << device << " grab failed, status " << status << '\n';
    return status == AlreadyGrabbed ? "Another program (an open menu or the screen locker) holds the " +
                                          device + ". Close it and try again."
                                    : "The X server refused to hand over the " + device + " (grab status " +
                                          std::to_string(status) + ").";
}

int32_t OsThreadId() {
    return static_cast<int32_t>(::syscall(SYS_gettid));
}

class TX11HookPlatform final : public TCaptureHookPlatform {
  public:
    TX11HookPlatform(Display* display, std::string name, int xiOpcode);
    ~TX11HookPlatform() override;

    void RemoveHook(THookHandle hook) override;
    void GetKeyboardState(TKeyboardState& state) override { state = FKeys.State(); }
    // Grabbed: where the grab holds the pointer (moves report it plus their motion). Observing: the
    // position followed from the motion, before the move being handed on.
    bool HeldPointerPosition(THookPoint& pt) override {
        pt = FMouse.Grabbed ? FHeld : FPointer;
        return true;
    }
    int32_t CurrentThreadId() override { return OsThreadId(); }
    std::string Name() const override { return FName; }
    std::string FailureReason() const override { return FFailure; }

  private:
    struct TSlot : THookSlot {
        bool Grabbed = false;
    };
    struct TDeviceInfo {
        bool Known = false;
        bool XTest = false;
    };

    THookHandle Install(int32_t kind, THookEntryPoint entry, int32_t threadId, bool grab) override;
    // wait: give a grab held by someone else a moment to end (on install; never in the middle of
    // input, where the next swallowed event simply tries again).
    bool GrabKeyboard(bool wait);
    void UngrabKeyboard();
    bool GrabPointer(bool wait);
    void UngrabPointer();
    void SelectRawEvents();
    THookPoint QueryPointer();
    void SaveLocks();
    void RestoreLocks();
    void ReadLocksIntoKeyState();

    bool Drain();  // true when it handled an event
    void HandleEvent(XEvent& event);
    void HandleKey(unsigned keycode, bool press, uint32_t time, bool injected);
    void HandleRawButton(const XIRawEvent& raw, bool press);
    void HandleRawMotion(const XIRawEvent& raw);
    void DispatchMouse(uint32_t kind, THookPoint pt, uint32_t data, uint32_t time, bool injected);
    const TDeviceInfo& Device(int deviceId);

    Display* FDisplay;
    const std::string FName;
    const int FXiOpcode;
    Window FRoot;
    Window FConfine = 0;
    int FScreenWidth, FScreenHeight;
    std::unique_ptr<QObject> FContext;
    std::unique_ptr<QSocketNotifier> FNotifier;
    bool FDraining = false;
    bool FLastRawKeyInjected = false;
    std::array<uint32_t, 256> FLastRawPress{};  // server time of each key's last raw press
    std::string FFailure;

    TSlot FKeyboard;
    TSlot FMouse;
    TLinuxKeyboardState FKeys;
    THookPoint FHeld{};     // pointer position held by the grab
    THookPoint FPointer{};  // pointer position followed while observing
    unsigned FNumLockMask = 0;
    unsigned FSavedLockedMods = 0;
    bool FSavedScrollLock = false;
    bool FHasScrollIndicator = false;
    Atom FScrollLockAtom = 0;
    std::array<TDeviceInfo, 256> FDevices{};
};

TX11HookPlatform::TX11HookPlatform(Display* display, std::string name, int xiOpcode)
    : FDisplay(display),
      FName(std::move(name)),
      FXiOpcode(xiOpcode),
      FRoot(DefaultRootWindow(display)),
      FScreenWidth(DisplayWidth(display, DefaultScreen(display))),
      FScreenHeight(DisplayHeight(display, DefaultScreen(display))),
      FContext(std::make_unique<QObject>()) {
    int supported = False;
    XkbSetDetectableAutoRepeat(FDisplay, True, &supported);
    FNumLockMask = XkbKeysymToModifiers(FDisplay, XK_Num_Lock);
    FScrollLockAtom = XInternAtom(FDisplay, "Scroll Lock", False);
    int index = 0;
    FHasScrollIndicator = XkbGetNamedIndicator(FDisplay, FScrollLockAtom, &index, nullptr, nullptr, nullptr);

    // Round trips (grabs, queries) can leave events queued inside Xlib while the socket is quiet, so
    // the queue is drained on every wake-up and before the event loop sleeps, not only on input.
    FNotifier = std::make_unique<QSocketNotifier>(ConnectionNumber(FDisplay), QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, FContext.get(), [this] { Drain(); });
    if (auto* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread())) {
        // Work that a notification run here leaves behind must not wait for the next wake-up.
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, FContext.get(),
                         [this, dispatcher] {
                             if (Drain()) {
                                 dispatcher->wakeUp();
                             }
                         });
    }
}

TX11HookPlatform::~TX11HookPlatform() {
    FNotifier.reset();
    FContext.reset();
    if (FKeyboard.Grabbed) {
        UngrabKeyboard();
    }
    if (FMouse.Grabbed) {
        UngrabPointer();
    }
    if (FConfine != 0) {
        XDestroyWindow(FDisplay, FConfine);
    }
    XCloseDisplay(FDisplay);
}

THookHandle TX11HookPlatform::Install(int32_t kind, THookEntryPoint entry, int32_t threadId, bool grab) {
    FFailure.clear();
    TSlot* slot = SlotToInstall(FKeyboard, FMouse, kind, entry, threadId, FFailure);
    if (slot == nullptr) {
        return nullptr;
    }
    // Capture starts swallowing: that is what the hooks are switched on for, and the first
    // notification corrects it if not. A watching hook starts without the grab, so nothing is taken
    // before a notification asks for it (and a menu holding the device does not stop it).
    if (grab) {
        const bool grabbed = slot == &FKeyboard ? GrabKeyboard(true) : GrabPointer(true);
        if (!grabbed) {
            return nullptr;
        }
    } else if (slot == &FKeyboard) {
        SaveLocks();
    } else {
        FPointer = QueryPointer();
    }
    slot->Take(entry);
    if (slot == &FKeyboard) {
        ReadLocksIntoKeyState();
    }
    SelectRawEvents();
    Drain();
    return slot;
}

void TX11HookPlatform::RemoveHook(THookHandle hook) {
    TSlot* slot = ReleaseInstalledSlot(FKeyboard, FMouse, hook);
    if (slot == nullptr) {
        return;
    }
    if (slot == &FKeyboard && FKeyboard.Grabbed) {
        UngrabKeyboard();
    } else if (slot == &FMouse && FMouse.Grabbed) {
        UngrabPointer();
    }
    SelectRawEvents();
    XFlush(FDisplay);
}

bool TX11HookPlatform::GrabKeyboard(bool wait) {
    SaveLocks();
    const int status = TryGrab(
        [this] { return XGrabKeyboard(FDisplay, FRoot, False, GrabModeAsync, GrabModeAsync, CurrentTime); },
        wait);
    if (status != GrabSuccess) {
        FFailure = GrabFailure("keyboard", status);
        return false;
    }
    FKeyboard.Grabbed = true;
    return true;
}

void TX11HookPlatform::UngrabKeyboard() {
    XUngrabKeyboard(FDisplay, CurrentTime);
    FKeyboard.Grabbed = false;
    RestoreLocks();
    // Wait until the server has let go, so input that follows reaches the other clients.
    XSync(FDisplay, False);
}

bool TX11HookPlatform::GrabPointer(bool wait) {
    FHeld = QueryPointer();
    if (FConfine == 0) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        FConfine = XCreateWindow(FDisplay, FRoot, FHeld.X, FHeld.Y, 1, 1, 0, 0, InputOnly, CopyFromParent,
                                 CWOverrideRedirect, &attributes);
    } else {
        XMoveWindow(FDisplay, FConfine, FHeld.X, FHeld.Y);
    }
    XMapRaised(FDisplay, FConfine);
    const int status = TryGrab(
        [this] {
            return XGrabPointer(FDisplay, FRoot, False, ButtonPressMask | ButtonReleaseMask, GrabModeAsync,
                                GrabModeAsync, FConfine, 0, CurrentTime);
        },
        wait);
    if (status != GrabSuccess) {
        XUnmapWindow(FDisplay, FConfine);
        XFlush(FDisplay);
        FFailure = GrabFailure("mouse", status);
        return false;
    }
    FMouse.Grabbed = true;
    FPointer = FHeld;
    return true;
}

void TX11HookPlatform::UngrabPointer() {
    XUngrabPointer(FDisplay, CurrentTime);
    XUnmapWindow(FDisplay, FConfine);
    FMouse.Grabbed = false;
    FPointer = FHeld;
    XSync(FDisplay, False);
}

void TX11HookPlatform::SelectRawEvents() {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (FKeyboard.Entry) {
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
    }
    if (FMouse.Entry) {
        XISetMask(bits, XI_RawButtonPress);
        XISetMask(bits, XI_RawButtonRelease);
        XISetMask(bits, XI_RawMotion);
    }
    XIEventMask mask{XIAllDevices, static_cast<int>(sizeof bits), bits};
    XISelectEvents(FDisplay, FRoot, &mask, 1);
    // Wait until the server has the selection: input another client sends once the hook is on must
    // not slip through before it (unflushed, the request could reach the server after that input).
    XSync(FDisplay, False);
}

THookPoint TX11HookPlatform::QueryPointer() {
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned buttons = 0;
    XQueryPointer(FDisplay, FRoot, &root, &child, &rootX, &rootY, &winX, &winY, &buttons);
    return {rootX, rootY};
}

void TX11HookPlatform::SaveLocks() {
    XkbStateRec state{};
    XkbGetState(FDisplay, XkbUseCoreKbd, &state);
    FSavedLockedMods = state.locked_mods & (LockMask | FNumLockMask);
    int on = False;
    FSavedScrollLock = FHasScrollIndicator &&
                       XkbGetNamedIndicator(FDisplay, FScrollLockAtom, nullptr, &on, nullptr, nullptr) && on;
}

void TX11HookPlatform::RestoreLocks() {
    XkbLockModifiers(FDisplay, XkbUseCoreKbd, LockMask | FNumLockMask, FSavedLockedMods);
    if (FHasScrollIndicator) {
        XkbSetNamedIndicator(FDisplay, FScrollLockAtom, True, FSavedScrollLock ? True : False, False,
                             nullptr);
    }
}

void TX11HookPlatform::ReadLocksIntoKeyState() {
    XkbStateRec state{};
    XkbGetState(FDisplay, XkbUseCoreKbd, &state);
    FKeys.Reset((state.locked_mods & LockMask) != 0,
                FNumLockMask != 0 && (state.locked_mods & FNumLockMask) != 0, FSavedScrollLock);
}

const TX11HookPlatform::TDeviceInfo& TX11HookPlatform::Device(int deviceId) {
    TDeviceInfo& info = FDevices[static_cast<size_t>(deviceId) & 0xFF];
    if (!info.Known) {
        info.Known = true;
        int count = 0;
        if (XIDeviceInfo* devices = XIQueryDevice(FDisplay, deviceId, &count)) {
            info.XTest =
                count > 0 && devices[0].name != nullptr && std::strstr(devices[0].name, "XTEST") != nullptr;
            XIFreeDeviceInfo(devices);
        }
    }
    return info;
}

bool TX11HookPlatform::Drain() {
    if (FDraining) {
        return false;  // a notification switched a hook; the outer loop goes on reading
    }
    FDraining = true;
    bool any = false;
    XEvent event;
    while (XPending(FDisplay) > 0) {
        XNextEvent(FDisplay, &event);
        HandleEvent(event);
        any = true;
    }
    FDraining = false;
    return any;
}

void TX11HookPlatform::HandleEvent(XEvent& event) {
    if (event.type == KeyPress || event.type == KeyRelease) {
        // Keys come from the raw events, which arrive whether or not we hold the grab, so no event
        // is lost or doubled when the grab changes while events are queued. The grab's core events
        // add only what raw events lack, auto-repeat: a press with a time of its own (the core copy
        // of a real press carries the raw event's time).
        const unsigned keycode = event.xkey.keycode & 0xFF;
        if (event.type == KeyPress && FKeyboard.Entry &&
            static_cast<uint32_t>(event.xkey.time) != FLastRawPress[keycode]) {
            HandleKey(keycode, true, static_cast<uint32_t>(event.xkey.time), FLastRawKeyInjected);
        }
        return;
    }
    if (event.type != GenericEvent || event.xcookie.extension != FXiOpcode) {
        return;
    }
    XGenericEventCookie* cookie = &event.xcookie;
    if (!XGetEventData(FDisplay, cookie)) {
        return;
    }
    const auto& raw = *static_cast<const XIRawEvent*>(cookie->data);
    // Each physical event comes once from its slave device and once more from the master (unless we
    // grabbed that master); the slave's copy is the one that always arrives.
    if (raw.deviceid == raw.sourceid) {
        switch (cookie->evtype) {
            case XI_RawKeyPress:
            case XI_RawKeyRelease:
                if (FKeyboard.Entry) {
                    const unsigned keycode = static_cast<unsigned>(raw.detail) & 0xFF;
                    const bool press = cookie->evtype == XI_RawKeyPress;
                    FLastRawKeyInjected = Device(raw.deviceid).XTest;
                    if (press) {
                        FLastRawPress[keycode] = static_cast<uint32_t>(raw.time);
                    }
                    HandleKey(keycode, press, static_cast<uint32_t>(raw.time), FLastRawKeyInjected);
                }
                break;
            case XI_RawButtonPress:
            case XI_RawButtonRelease:
                HandleRawButton(raw, cookie->evtype == XI_RawButtonPress);
                break;
            case XI_RawMotion:
                HandleRawMotion(raw);
                break;
            default:
                break;
        }
    }
    XFreeEventData(FDisplay, cookie);
}

void TX11HookPlatform::HandleKey(unsigned keycode, bool press, uint32_t time, bool injected) {
    uint32_t kind = 0;
    THookKeyboardRecord record = FKeys.Apply(keycode >= 8 ? keycode - 8 : 0, press, time, injected, &kind);

    const std::optional<intptr_t> result = FKeyboard.Notify(kind, record);
    if (!result) {
        return;  // the notification switched the hook off (or over)
    }
    if (*result != 0 && !FKeyboard.Grabbed) {
        GrabKeyboard(false);
    } else if (*result == 0 && FKeyboard.Grabbed) {
        UngrabKeyboard();
    }
}

void TX11HookPlatform::HandleRawButton(const XIRawEvent& raw, bool press) {
    if (!FMouse.Entry) {
        return;
    }
    uint32_t kind = 0;
    uint32_t data = 0;
    const auto wheel = [](int delta) { return static_cast<uint32_t>(static_cast<uint16_t>(delta)) << 16; };
    switch (raw.detail) {
        case 1:
            kind = press ? HookEventKind::LButtonDown : HookEventKind::LButtonUp;
            break;
        case 2:
            kind = press ? HookEventKind::MButtonDown : HookEventKind::MButtonUp;
            break;
        case 3:
            kind = press ? HookEventKind::RButtonDown : HookEventKind::RButtonUp;
            break;
        // Wheel notches are button clicks on X; one notch is one press (the release carries nothing).
        case 4:
            kind = press ? HookEventKind::MouseWheel : 0;
            data = wheel(WheelDelta);
            break;
        case 5:
            kind = press ? HookEventKind::MouseWheel : 0;
            data = wheel(-WheelDelta);
            break;
        case 6:
            kind = press ? HookEventKind::MouseHWheel : 0;
            data = wheel(-WheelDelta);
            break;
        case 7:
            kind = press ? HookEventKind::MouseHWheel : 0;
            data = wheel(WheelDelta);
            break;
        case 8:
            kind = press ? HookEventKind::XButtonDown : HookEventKind::XButtonUp;
            data = uint32_t{XButton1} << 16;
            break;
        case 9:
            kind = press ? HookEventKind::XButtonDown : HookEventKind::XButtonUp;
            data = uint32_t{XButton2} << 16;
            break;
        default:
            break;
    }
    if (kind == 0) {
        return;
    }
    DispatchMouse(kind, FMouse.Grabbed ? FHeld : FPointer, data, static_cast<uint32_t>(raw.time),
                  Device(raw.deviceid).XTest);
}

void TX11HookPlatform::HandleRawMotion(const XIRawEvent& raw) {
    if (!FMouse.Entry) {
        return;
    }
    // Valuators 0 and 1 are x and y; values are packed for the bits set in the mask.
    double d[2] = {0, 0};
    const double* value = raw.valuators.values;
    for (int i = 0; i < raw.valuators.mask_len * 8; ++i) {
        if (XIMaskIsSet(raw.valuators.mask, i)) {
            if (i < 2) {
                d[i] = *value;
            }
            ++value;
        }
    }
    const int dx = static_cast<int>(d[0] < 0 ? d[0] - 0.5 : d[0] + 0.5);
    const int dy = static_cast<int>(d[1] < 0 ? d[1] - 0.5 : d[1] + 0.5);
    if (dx == 0 && dy == 0) {
        return;  // scroll valuators only: the wheel arrives as buttons 4 to 7
    }
    if (FMouse.Grabbed) {
        DispatchMouse(HookEventKind::MouseMove, {FHeld.X + dx, FHeld.Y + dy}, 0,
                      static_cast<uint32_t>(raw.time), Device(raw.deviceid).XTest);
        return;
    }
    // Observed: the pointer goes where this move takes it, and HeldPointerPosition still says where
    // it was during the notification, as a Windows hook sees a move before the cursor takes it. So
    // the move that ends a pause counts its own motion too.
    const THookPoint pt{std::clamp(FPointer.X + dx, 0, FScreenWidth - 1),
                        std::clamp(FPointer.Y + dy, 0, FScreenHeight - 1)};
    DispatchMouse(HookEventKind::MouseMove, pt, 0, static_cast<uint32_t>(raw.time),
                  Device(raw.deviceid).XTest);
    if (!FMouse.Grabbed) {
        FPointer = pt;  // (a grab taken by the notification starts from where the server has the pointer)
    }
}

void TX11HookPlatform::DispatchMouse(uint32_t kind, THookPoint pt, uint32_t data, uint32_t time,
                                     bool injected) {
    THookMouseRecord record{pt, data, injected ? HookMouseFlag::Injected : 0u, time, 0};
    const std::optional<intptr_t> result = FMouse.Notify(kind, record);
    if (!result) {
        return;
    }
    if (*result != 0 && !FMouse.Grabbed) {
        GrabPointer(false);
    } else if (*result == 0 && FMouse.Grabbed) {
        UngrabPointer();
    }
}

}  // namespace

std::unique_ptr<THookPlatform> CreateX11HookPlatform(const std::string& display, std::string* error) {
    const auto fail = [&](const std::string& why) -> std::unique_ptr<THookPlatform> {
        if (error != nullptr) {
            *error = why;
        }
        return nullptr;
    };
    if (QCoreApplication::instance() == nullptr) {
        return fail("Keyboard and mouse capture needs the application's event loop.");
    }
    // Xlib's default handler ends the process on any error; a refused request is not worth that.
    XSetErrorHandler(IgnoreXError);
    XInitThreads();  // our connection is used only on this thread, but Qt or tests may open others
    Display* dpy = XOpenDisplay(display.c_str());
    if (dpy == nullptr) {
        return fail("The X display " + display +
                    " cannot be reached, so the keyboard and mouse cannot be captured.");
    }
    int xiOpcode = 0, event = 0, err = 0, major = 2, minor = 2;
    int xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
    if (!XQueryExtension(dpy, "XInputExtension", &xiOpcode, &event, &err) ||
        XIQueryVersion(dpy, &major, &minor) != Success ||
        !XkbQueryExtension(dpy, nullptr, nullptr, nullptr, &xkbMajor, &xkbMinor)) {
        XCloseDisplay(dpy);
        return fail(
            "The X server lacks the XInput2 or XKB extension needed to capture the keyboard and mouse.");
    }
    // Scan codes are derived from evdev keycodes; say so if the server numbers keys another way.
    if (XkbDescPtr keyboard = XkbGetMap(dpy, 0, XkbUseCoreKbd)) {
        if (XkbGetNames(dpy, XkbKeyNamesMask, keyboard) == Success) {
            const auto nameOf = [&](int keycode) {
                const char* name = keyboard->names->keys[keycode].name;
                return keycode <= keyboard->max_key_code ? std::string(name, strnlen(name, XkbKeyNameLength))
                                                         : std::string();
            };
            if (nameOf(105) != "RCTL" || nameOf(133) != "LWIN") {
                std::clog
                    << "input capture: the X server's keycodes are not evdev ones; scan codes may be wrong\n";
            }
        }
        XkbFreeKeyboard(keyboard, 0, True);
    }
    return std::make_unique<TX11HookPlatform>(dpy, "x11 " + display, xiOpcode);
}

// ---- The X server going away ----------------------------------------------------------------------
//
// Two places notice, and both end the process on the window's thread while the Bluetooth thread
// still runs: Xlib's I/O error handler (for our own connection and the toolkit's Xlib one; the
// default calls exit(1)), and Qt's xcb platform, which checks its connection whenever the event
// loop wakes and then calls exit(1) itself. exit() runs static destructors under the feet of the
// other threads (QtDBus among them), and nothing has told the dongles to let go of the keys.
//
// So: our I/O error handler replaces Xlib's; Qt's connection is checked on every wake-up and before
// the loop sleeps, which runs ahead of the toolkit's own check; and should the toolkit still get to
// its exit(1) first, an exit handler registered after it catches that too.

namespace {

std::atomic<TDisplayLostHandler> DisplayLostHandler{nullptr};
xcb_connection_t* ToolkitConnection = nullptr;  // set once, on the UI thread

[[noreturn]] void DisplayGone(const char* reason) {
    static std::atomic_flag reported = ATOMIC_FLAG_INIT;
    if (reported.test_and_set()) {
        // Another thread is ending the process already.
        for (;;) {
            pause();
        }
    }
    if (TDisplayLostHandler handler = DisplayLostHandler.load()) {
        handler(reason);
    }
    std::_Exit(1);
}

constexpr char LostReason[] = "The connection to the X display was lost (the X server ended or crashed).";

int OnXIoError(Display*) {
    DisplayGone(LostReason);
}

bool ToolkitConnectionBroken() {
    return ToolkitConnection != nullptr && xcb_connection_has_error(ToolkitConnection) != 0;
}

void CheckToolkitConnection() {
    if (DisplayLostHandler.load() != nullptr && ToolkitConnectionBroken()) {
        DisplayGone(LostReason);
    }
}

}  // namespace

void WatchX11DisplayLoss(TDisplayLostHandler handler) {
    // The handler that was there before ours (the toolkit's) comes back when nobody watches.
    static XIOErrorHandler previous = nullptr;
    static bool installed = false;
    DisplayLostHandler = handler;
    if (handler == nullptr) {
        if (installed) {
            XSetIOErrorHandler(previous);
            installed = false;
        }
        return;
    }
    if (!installed) {
        previous = XSetIOErrorHandler(OnXIoError);
        installed = true;
    }
    static bool watching = false;
    if (watching) {
        return;
    }
    watching = true;
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        if (auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>()) {
            ToolkitConnection = x11->connection();
        }
    }
    if (auto* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread())) {
        QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, dispatcher, CheckToolkitConnection);
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher,
                         CheckToolkitConnection);
    }
    std::atexit(CheckToolkitConnection);
}
