// Low-level hooks on evdev devices.
//
// The kernel has no hook chain either; what this backend does, and where it cannot match Windows:
//  - Swallowing is EVIOCGRAB on each keyboard (or mouse) device: while a device is grabbed its events
//    reach only us, not the compositor, the X server or the console. As on X11 the grab follows the
//    notifications' results, so a change of decision applies from the next event on; an event let
//    through has already reached the session, and handing one on (CallNextHook) does nothing.
//  - A device is grabbed only while none of its keys or buttons is held and no event of it waits to
//    be read. The session saw the press of a key held at that moment, so it must see its release
//    too, or the key would stay held there (the key that switched capture on is the usual one); an
//    unread event may be such a press. Until then the device is only observed, and the next report
//    tries again. The other way round needs nothing: a key pressed while grabbed and released after
//    the grab ended gives the session a release without a press, which it ignores, and the kernel's
//    auto-repeat of it (value 2) is ignored by every reader that keeps its own key state.
//  - The held keys are known from the device's own events, never by asking the kernel (EVIOCGKEY)
//    while events may wait: since Linux 3.12 that ioctl drops the reader's unread key events
//    (evdev_handle_get_val -> __evdev_flush_queue), so a release read back that way reaches the
//    hooks late, out of order with the keys after it, or not at all. The kernel's key state is
//    read only when a device is opened and after lost events, where dropping the unread ones is
//    what resynchronising means.
//  - A grab takes a whole device: one that is both keyboard and mouse is grabbed while either of its
//    hooks swallows, so its other half is swallowed too (and lost, if that half has no hook).
//  - Every reader sees the events whether or not we grab, so keys and buttons are never lost or
//    doubled when the grab changes. Auto-repeat is the kernel's: value 2 is one more press.
//  - Motion is relative only: the pointer's position is the compositor's, and a grabbed device moves
//    nothing. A move reports Pt = Anchor + its motion; HeldPointerPosition says Anchor.
//  - Wheels: one event per notch. High-resolution wheels (REL_WHEEL_HI_RES, 1/120 notch) are summed to
//    notches; the remainder is dropped when the direction turns, as the kernel does for REL_WHEEL.
//  - Lost events (SYN_DROPPED, a reader too slow for a burst): the rest of that report is skipped,
//    then the held keys and buttons are read back (EVIOCGKEY) and the hooks get the releases (and
//    presses) they missed, so no key stays believed held.
//  - Lock keys pressed while grabbed change nothing in the session, but the lights may change all
//    the same: the console's keyboard handler sets its own lights on every device whose grab ends,
//    and any reader may write them meanwhile. The lights saved when the grab was taken are written
//    back right after it ends, after the console's.

#include "platform/hooks/evdev/EvdevCapture.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool IsButton(unsigned code) {
    return code >= BTN_MISC && code < KEY_OK;
}

uint32_t Millis(const input_event& e) {
    return static_cast<uint32_t>(static_cast<uint64_t>(e.input_event_sec) * 1000u +
                                 static_cast<uint64_t>(e.input_event_usec) / 1000u);
}

uint32_t WheelData(int notches) {
    return static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(notches * WheelDelta))) << 16;
}

// A device name as the user may read it: printable, bounded.
std::string Printable(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (out.size() >= 80) {
            out += "...";
            break;
        }
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    }
    return out;
}

}  // namespace

const char* const TEvdevCapture::PermissionReason =
    "The keyboard and mouse cannot be captured: this user may not read the input devices in /dev/input. "
    "Add the user to the \"input\" group with this command, then log out and log in again:\n\n"
    "sudo usermod -aG input $USER";
const char* const TEvdevCapture::NoKeyboardReason =
    "No keyboard was found among the input devices in /dev/input, so there is nothing to capture.";

TEvdevCaps ClassifyEvdevDevice(const TEvdevBits<EV_CNT>& events, const TEvdevKeyBits& keys,
                               const TEvdevBits<REL_CNT>& rel) {
    TEvdevCaps caps;
    if (events.Test(EV_KEY)) {
        // As udev calls a device a keyboard: Esc, the digits and the first letter rows (codes 1-31).
        caps.Keyboard = true;
        for (unsigned code = KEY_ESC; code <= KEY_S; ++code) {
            caps.Keyboard = caps.Keyboard && keys.Test(code);
        }
    }
    if (events.Test(EV_REL) && rel.Test(REL_X) && rel.Test(REL_Y) && events.Test(EV_KEY) &&
        keys.Test(BTN_LEFT)) {
        caps.Pointer = true;
        caps.HiResWheel = rel.Test(REL_WHEEL_HI_RES);
        caps.HiResHWheel = rel.Test(REL_HWHEEL_HI_RES);
    }
    return caps;
}

TEvdevCapture::TEvdevCapture() {
    FKeys.Reset(false, false, false);
}

TEvdevCapture::~TEvdevCapture() {
    // The subclass has stopped its part already; let go of every device still held.
    for (auto& [id, d] : FDevices) {
        if (d.Grabbed) {
            Ungrab(d);
        }
    }
}

int32_t TEvdevCapture::CurrentThreadId() {
    return static_cast<int32_t>(::syscall(SYS_gettid));
}

THookHandle TEvdevCapture::Install(int32_t kind, THookEntryPoint entry, int32_t threadId, bool swallow) {
    TSlot* slot = SlotToInstall(FKeyboard, FMouse, kind, entry, threadId, FFailure);
    if (slot == nullptr) {
        return nullptr;
    }
    // Capture starts swallowing, as on the other platforms, unless the hook only watches; the first
    // notification corrects it.
    slot->Take(entry);
    slot->Swallow = swallow;
    if (!FStarted) {
        FStarted = true;
        FScan = StartDevices();
    }
    if (slot == &FKeyboard) {
        ReadLocks();
    }

    std::string failure;
    size_t served = 0;
    for (auto& [id, d] : FDevices) {
        const bool serves = slot == &FKeyboard ? ServesKeyboard(d) : ServesPointer(d);
        if (!serves) {
            continue;
        }
        ++served;
        const int error = UpdateGrab(d);
        if (error != 0 && failure.empty()) {
            const char* what = slot == &FKeyboard ? "keyboard" : "mouse";
            failure = error == EBUSY
                          ? "Another program has taken the " + std::string(what) + " \"" + Printable(d.Name) +
                                "\" for itself. Close that program and try again."
                          : "The " + std::string(what) + " \"" + Printable(d.Name) +
                                "\" cannot be taken over: " + std::strerror(error) + ".";
        }
    }
    if (served == 0 && failure.empty()) {
        if (!FScan.Listed) {
            failure =
                "The input devices in /dev/input cannot be listed, so the keyboard and mouse cannot be "
                "captured.";
        } else if (FScan.Denied > 0) {
            failure = PermissionReason;
        } else if (slot == &FKeyboard) {
            failure = NoKeyboardReason;
        }
        // No mouse is no failure: one plugged in later is taken, and a touchpad is left to the session.
    }
    if (!failure.empty()) {
        std::clog << "input capture: evdev: " << failure << '\n';
        slot->Release();
        UpdateAllGrabs();
        if (!FKeyboard.Entry && !FMouse.Entry) {
            DropAll();
        }
        FFailure = failure;
        return nullptr;
    }
    FFailure.clear();
    return slot;
}

void TEvdevCapture::RemoveHook(THookHandle hook) {
    TSlot* slot = ReleaseInstalledSlot(FKeyboard, FMouse, hook);
    if (slot == nullptr) {
        return;
    }
    if (!FKeyboard.Entry && !FMouse.Entry) {
        DropAll();  // nothing reads the keyboard while nothing captures
    } else {
        UpdateAllGrabs();
    }
}

int TEvdevCapture::AddDevice(std::string name, TEvdevCaps caps, std::unique_ptr<TEvdevDevice> device) {
    const int id = FNextId++;
    TDeviceState& d = FDevices[id];
    d.Name = std::move(name);
    d.Caps = caps;
    d.Io = std::move(device);
    // Nothing of this reader has been handed on yet: what the kernel holds now is where it starts.
    d.Io->ReadKeys(d.Down);
    std::clog << "input capture: evdev: " << (caps.Keyboard ? "keyboard" : "")
              << (caps.Keyboard && caps.Pointer ? "+" : "") << (caps.Pointer ? "mouse" : "") << " \""
              << Printable(d.Name) << "\"\n";
    if (const int error = UpdateGrab(d); error != 0) {
        std::clog << "input capture: evdev: \"" << Printable(d.Name)
                  << "\" cannot be grabbed: " << std::strerror(error) << '\n';
    }
    return id;
}

void TEvdevCapture::RemoveDevice(int id) {
    auto it = FDevices.find(id);
    if (it == FDevices.end()) {
        return;
    }
    std::clog << "input capture: evdev: \"" << Printable(it->second.Name) << "\" is gone\n";
    // Whatever it held is released now; the hooks must not believe it held.
    const TEvdevKeyBits down = it->second.Down;
    const TEvdevCaps caps = it->second.Caps;
    const uint32_t time = it->second.Time;
    FDevices.erase(it);
    for (unsigned code = 0; code < KEY_CNT; ++code) {
        if (down.Test(code)) {
            Dispatch(caps, code, false, time);
        }
    }
}

bool TEvdevCapture::Grabbed(int id) const {
    auto it = FDevices.find(id);
    return it != FDevices.end() && it->second.Grabbed;
}

TEvdevCapture::TDeviceState* TEvdevCapture::Find(int id) {
    auto it = FDevices.find(id);
    return it != FDevices.end() ? &it->second : nullptr;
}

int TEvdevCapture::UpdateGrab(TDeviceState& d) {
    const bool want = WantsGrab(d);
    if (want && !d.Grabbed) {
        if (d.Down.Any()) {
            std::clog << "input capture: evdev: \"" << Printable(d.Name)
                      << "\" is taken once its keys are up\n";
            return 0;
        }
        if (EventsWaiting(d)) {
            return 0;  // read them first: the report that ends them tries again
        }
        if (const int error = d.Io->SetGrab(true); error != 0) {
            std::clog << "input capture: evdev: \"" << Printable(d.Name)
                      << "\" cannot be taken: " << std::strerror(error) << '\n';
            d.Refused = true;
            return error;
        }
        d.Refused = false;
        // An event that came while the grab was being taken may be a press the session saw: its
        // release must reach the session too. Let go; the report that ends it tries again.
        if (EventsWaiting(d)) {
            d.Io->SetGrab(false);
            return 0;
        }
        std::clog << "input capture: evdev: took \"" << Printable(d.Name) << "\"\n";
        d.Grabbed = true;
        unsigned leds = 0;
        d.LedsSaved = d.Io->ReadLeds(leds);
        d.SavedLeds = leds;
    } else if (!want && d.Grabbed) {
        Ungrab(d);
    }
    return 0;
}

bool TEvdevCapture::EventsWaiting(const TDeviceState& d) {
    for (long i = d.Next; i < d.Count; ++i) {
        if (d.Buffer[static_cast<size_t>(i)].type != EV_SYN) {
            return true;
        }
    }
    return d.Io->Pending();
}

void TEvdevCapture::Ungrab(TDeviceState& d) {
    std::clog << "input capture: evdev: let go of \"" << Printable(d.Name) << "\"\n";
    d.Io->SetGrab(false);
    d.Grabbed = false;
    if (d.LedsSaved) {
        d.Io->WriteLeds(d.SavedLeds);
        d.LedsSaved = false;
    }
}

void TEvdevCapture::UpdateAllGrabs() {
    for (auto& [id, d] : FDevices) {
        UpdateGrab(d);
    }
}

void TEvdevCapture::DropAll() {
    StopDevices();
    for (auto& [id, d] : FDevices) {
        if (d.Grabbed) {
            Ungrab(d);
        }
    }
    FDevices.clear();
    FStarted = false;
}

void TEvdevCapture::ReadLocks() {
    for (auto& [id, d] : FDevices) {
        unsigned leds = 0;
        if (d.Caps.Keyboard && d.Io->ReadLeds(leds)) {
            FKeys.Reset((leds >> LED_CAPSL) & 1U, (leds >> LED_NUML) & 1U, (leds >> LED_SCROLLL) & 1U);
            return;
        }
    }
    FKeys.Reset(false, false, false);
}

void TEvdevCapture::Pump(int id) {
    // Events are taken one at a time from the device's own buffer: a notification that runs a nested
    // event loop (a message box) pumps the same device, and it must go on from here, in order.
    for (;;) {
        TDeviceState* d = Find(id);
        if (d == nullptr) {
            return;
        }
        if (d->Next >= d->Count) {
            const long count = d->Io->Read(d->Buffer.data(), d->Buffer.size());
            if (count <= 0) {
                if (count < 0) {
                    RemoveDevice(id);
                }
                return;
            }
            d->Count = count;
            d->Next = 0;
        }
        const input_event event = d->Buffer[static_cast<size_t>(d->Next++)];
        Feed(id, event);
    }
}

void TEvdevCapture::Feed(int id, const input_event& event) {
    TDeviceState* d = Find(id);
    if (d == nullptr) {
        return;
    }
    d->Time = Millis(event);
    if (d->Dropping) {
        if (event.type == EV_SYN && event.code == SYN_REPORT) {
            d->Dropping = false;
            Resync(id);
            // The resynchronisation may have found the last held key up: take the device now, as
            // after any report, or the next key would reach the session too.
            TakeWhenDue(id);
        }
        return;
    }
    switch (event.type) {
        case EV_SYN:
            if (event.code == SYN_DROPPED) {
                std::clog << "input capture: evdev: \"" << Printable(d->Name)
                          << "\" lost events; its keys are read back\n";
                d->Dropping = true;
                d->Dx = d->Dy = d->Wheel = d->HWheel = 0;
            } else if (event.code == SYN_REPORT) {
                FlushFrame(id);
                TakeWhenDue(id);
            }
            break;
        case EV_KEY: {
            const unsigned code = event.code;
            if (event.value == 2) {
                if (!IsButton(code) && d->Down.Test(code)) {
                    Dispatch(d->Caps, code, true, d->Time);
                }
                break;
            }
            const bool press = event.value != 0;
            if (d->Down.Test(code) == press) {
                break;  // nothing changed (a release after a resynchronisation already sent it)
            }
            d->Down.Set(code, press);
            Dispatch(d->Caps, code, press, d->Time);
            break;
        }
        case EV_REL: {
            const auto fold = [](int& remainder, int value) {
                if ((remainder > 0 && value < 0) || (remainder < 0 && value > 0)) {
                    remainder = 0;
                }
                remainder += value;
            };
            switch (event.code) {
                case REL_X:
                    d->Dx += event.value;
                    break;
                case REL_Y:
                    d->Dy += event.value;
                    break;
                case REL_WHEEL:
                    if (!d->Caps.HiResWheel)
                        d->Wheel += event.value;
                    break;
                case REL_HWHEEL:
                    if (!d->Caps.HiResHWheel)
                        d->HWheel += event.value;
                    break;
                case REL_WHEEL_HI_RES:
                    if (d->Caps.HiResWheel)
                        fold(d->HiResWheel, event.value);
                    break;
                case REL_HWHEEL_HI_RES:
                    if (d->Caps.HiResHWheel)
                        fold(d->HiResHWheel, event.value);
                    break;
                default:
                    break;
            }
            break;
        }
        default:
            break;
    }
}

void TEvdevCapture::TakeWhenDue(int id) {
    TDeviceState* d = Find(id);
    if (d == nullptr || d->Grabbed || d->Refused || !WantsGrab(*d) || d->Down.Any()) {
        return;
    }
    UpdateGrab(*d);
}

void TEvdevCapture::FlushFrame(int id) {
    TDeviceState& d = *Find(id);
    const int dx = d.Dx, dy = d.Dy;
    int wheel = d.Wheel, hwheel = d.HWheel;
    d.Dx = d.Dy = d.Wheel = d.HWheel = 0;
    const auto notches = [](int& remainder) {
        const int whole = remainder / WheelDelta;
        remainder -= whole * WheelDelta;
        return whole;
    };
    wheel += notches(d.HiResWheel);
    hwheel += notches(d.HiResHWheel);
    if (!ServesPointer(d)) {
        return;
    }
    const uint32_t time = d.Time;
    // Each dispatch may switch the hook off; DispatchMouse checks.
    if (dx != 0 || dy != 0) {
        DispatchMouse(HookEventKind::MouseMove, {Anchor.X + dx, Anchor.Y + dy}, 0, time);
    }
    for (int i = 0; i < (wheel < 0 ? -wheel : wheel); ++i) {
        DispatchMouse(HookEventKind::MouseWheel, Anchor, WheelData(wheel < 0 ? -1 : 1), time);
    }
    for (int i = 0; i < (hwheel < 0 ? -hwheel : hwheel); ++i) {
        DispatchMouse(HookEventKind::MouseHWheel, Anchor, WheelData(hwheel < 0 ? -1 : 1), time);
    }
}

void TEvdevCapture::Resync(int id) {
    TDeviceState* d = Find(id);
    TEvdevKeyBits now;
    if (d == nullptr || !d->Io->ReadKeys(now)) {
        return;
    }
    d->Dx = d->Dy = d->Wheel = d->HWheel = d->HiResWheel = d->HiResHWheel = 0;
    // Releases first: a key must not look held longer than it is.
    for (int pass = 0; pass < 2; ++pass) {
        const bool press = pass == 1;
        for (unsigned code = 0; code < KEY_CNT; ++code) {
            d = Find(id);
            if (d == nullptr) {
                return;
            }
            if (d->Down.Test(code) == press || now.Test(code) != press) {
                continue;
            }
            d->Down.Set(code, press);
            Dispatch(d->Caps, code, press, d->Time);
        }
    }
}

void TEvdevCapture::Dispatch(const TEvdevCaps& caps, unsigned code, bool press, uint32_t time) {
    if (IsButton(code)) {
        if (caps.Pointer) {
            DispatchButton(code, press, time);
        }
    } else if (caps.Keyboard) {
        DispatchKey(code, press, time);
    }
}

void TEvdevCapture::DispatchKey(unsigned code, bool press, uint32_t time) {
    if (!FKeyboard.Entry || code > 0xFF) {
        return;
    }
    uint32_t kind = 0;
    THookKeyboardRecord record = FKeys.Apply(code, press, time, false, &kind);
    const std::optional<intptr_t> result = FKeyboard.Notify(kind, record);
    if (!result) {
        return;  // the notification switched the hook off (or over)
    }
    if ((*result != 0) != FKeyboard.Swallow) {
        FKeyboard.Swallow = *result != 0;
        UpdateAllGrabs();
    }
}

void TEvdevCapture::DispatchButton(unsigned code, bool press, uint32_t time) {
    uint32_t kind = 0;
    uint32_t data = 0;
    switch (code) {
        case BTN_LEFT:
            kind = press ? HookEventKind::LButtonDown : HookEventKind::LButtonUp;
            break;
        case BTN_RIGHT:
            kind = press ? HookEventKind::RButtonDown : HookEventKind::RButtonUp;
            break;
        case BTN_MIDDLE:
            kind = press ? HookEventKind::MButtonDown : HookEventKind::MButtonUp;
            break;
        case BTN_SIDE:
        case BTN_BACK:
            kind = press ? HookEventKind::XButtonDown : HookEventKind::XButtonUp;
            data = uint32_t{XButton1} << 16;
            break;
        case BTN_EXTRA:
        case BTN_FORWARD:
            kind = press ? HookEventKind::XButtonDown : HookEventKind::XButtonUp;
            data = uint32_t{XButton2} << 16;
            break;
        default:
            return;
    }
    DispatchMouse(kind, Anchor, data, time);
}

void TEvdevCapture::DispatchMouse(uint32_t kind, THookPoint pt, uint32_t data, uint32_t time) {
    if (!FMouse.Entry) {
        return;
    }
    THookMouseRecord record{pt, data, 0, time, 0};
    const std::optional<intptr_t> result = FMouse.Notify(kind, record);
    if (!result) {
        return;
    }
    if ((*result != 0) != FMouse.Swallow) {
        FMouse.Swallow = *result != 0;
        UpdateAllGrabs();
    }
}
