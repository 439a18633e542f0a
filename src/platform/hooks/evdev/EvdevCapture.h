#pragma once
// Low-level hooks on the kernel's input devices (evdev): what happens to the events of each opened
// keyboard and mouse, independent of how devices are found and read. The product's backend
// (EvdevHookPlatform) opens /dev/input/event* and reads them through the Qt event loop; tests drive
// this class with devices of their own.
//
// Standard library and the kernel's input header only. Used on one thread, the one that installs
// the hooks.

#include <linux/input.h>

#include <array>
#include <climits>
#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "platform/hooks/HookPlatform.h"
#include "platform/hooks/HookSlot.h"
#include "platform/hooks/LinuxKeyCodes.h"

// A kernel capability bitmap as EVIOCGBIT and EVIOCGKEY fill it (an array of longs).
template <size_t Bits>
struct TEvdevBits {
    static constexpr size_t LongBits = sizeof(unsigned long) * CHAR_BIT;
    std::array<unsigned long, (Bits + LongBits - 1) / LongBits> Words{};

    bool Test(size_t bit) const {
        return bit < Bits && ((Words[bit / LongBits] >> (bit % LongBits)) & 1UL) != 0;
    }
    void Set(size_t bit, bool on) {
        if (bit < Bits) {
            const unsigned long mask = 1UL << (bit % LongBits);
            Words[bit / LongBits] = on ? (Words[bit / LongBits] | mask) : (Words[bit / LongBits] & ~mask);
        }
    }
    bool Any() const {
        for (unsigned long w : Words) {
            if (w != 0) {
                return true;
            }
        }
        return false;
    }
};
using TEvdevKeyBits = TEvdevBits<KEY_CNT>;

// What a device is to the hooks, from its capabilities.
struct TEvdevCaps {
    bool Keyboard = false;     // types text: the letter and digit keys
    bool Pointer = false;      // a mouse: relative X and Y with a left button
    bool HiResWheel = false;   // reports REL_WHEEL_HI_RES (then REL_WHEEL only repeats it)
    bool HiResHWheel = false;  // reports REL_HWHEEL_HI_RES
};

// Classifies a device from its EVIOCGBIT bitmaps. Power buttons, lid switches, media-key and
// touchpad nodes are neither keyboard nor pointer.
TEvdevCaps ClassifyEvdevDevice(const TEvdevBits<EV_CNT>& events, const TEvdevKeyBits& keys,
                               const TEvdevBits<REL_CNT>& rel);

// One opened input device, as the capture acts on it.
class TEvdevDevice {
  public:
    virtual ~TEvdevDevice() = default;
    // Reads up to `max` pending events; 0 when none is pending, -1 when the device is gone.
    virtual long Read(input_event* events, size_t max) = 0;
    // EVIOCGRAB: 0 or the errno value of the failure.
    virtual int SetGrab(bool on) = 0;
    // EVIOCGKEY: the keys and buttons held now. False when the device cannot tell. Like the kernel's
    // ioctl, it drops this reader's unread key events (their effect is in the answer).
    virtual bool ReadKeys(TEvdevKeyBits& keys) = 0;
    // Whether an event waits to be read.
    virtual bool Pending() = 0;
    // The lock lights (bit n = LED_* n), read and written; false when it has none or cannot tell.
    virtual bool ReadLeds(unsigned& leds) = 0;
    virtual void WriteLeds(unsigned leds) = 0;
};

class TEvdevCapture : public TCaptureHookPlatform {
  public:
    // The user-facing reasons, kept here so that the window and tests say the same thing.
    static const char* const PermissionReason;
    static const char* const NoKeyboardReason;

    TEvdevCapture();
    ~TEvdevCapture() override;

    void RemoveHook(THookHandle hook) override;
    void GetKeyboardState(TKeyboardState& state) override { state = FKeys.State(); }
    int32_t CurrentThreadId() override;
    // The pointer is not ours to know; moves report a fixed point plus their motion.
    bool HeldPointerPosition(THookPoint& pt) override {
        pt = Anchor;
        return true;
    }
    std::string Name() const override { return "evdev"; }
    std::string FailureReason() const override { return FFailure; }
    std::string CaptureUnavailableReason() const override { return FUnavailable; }

    // Device life, from whoever finds the devices. AddDevice takes a keyboard or pointer (caps say
    // which), grabs it if the hooks swallow, and returns its id; RemoveDevice forgets it (it is gone).
    int AddDevice(std::string name, TEvdevCaps caps, std::unique_ptr<TEvdevDevice> device);
    void RemoveDevice(int id);
    bool HasDevice(int id) const { return FDevices.count(id) != 0; }
    size_t DeviceCount() const { return FDevices.size(); }
    bool Grabbed(int id) const;
    // Reads the device's pending events and hands them to the hooks.
    void Pump(int id);
    // Hands one event of the device to the hooks (what Pump does with each event it reads).
    void Feed(int id, const input_event& event);

    static constexpr THookPoint Anchor{0x4000, 0x4000};

  protected:
    struct TScan {
        bool Listed = true;  // the device folder could be read
        int Denied = 0;      // device nodes this user may not open
    };
    // Opens every keyboard and pointer present (AddDevice each) and starts following hot-plug.
    virtual TScan StartDevices() = 0;
    // Stops following hot-plug; the devices are dropped afterwards.
    virtual void StopDevices() = 0;
    // Why capture cannot work here, found before any install (empty: nothing known against it).
    void SetUnavailable(std::string reason) { FUnavailable = std::move(reason); }

  private:
    struct TSlot : THookSlot {
        bool Swallow = false;  // the last notification's decision
    };
    struct TDeviceState {
        std::string Name;
        TEvdevCaps Caps;
        std::unique_ptr<TEvdevDevice> Io;
        bool Grabbed = false;
        bool Refused = false;  // someone else holds it; tried again when a decision changes
        bool LedsSaved = false;
        unsigned SavedLeds = 0;
        TEvdevKeyBits Down;     // keys and buttons held, as this device's events told
        bool Dropping = false;  // events were lost: skip to the next report, then resynchronise
        int Dx = 0, Dy = 0, Wheel = 0, HWheel = 0;
        int HiResWheel = 0, HiResHWheel = 0;  // in 1/120 of a notch, the part not yet a notch
        uint32_t Time = 0;
        std::array<input_event, 64> Buffer{};  // read, not yet handed on
        long Count = 0;
        long Next = 0;
    };

    bool ServesKeyboard(const TDeviceState& d) const {
        return d.Caps.Keyboard && static_cast<bool>(FKeyboard.Entry);
    }
    bool ServesPointer(const TDeviceState& d) const {
        return d.Caps.Pointer && static_cast<bool>(FMouse.Entry);
    }
    THookHandle Install(int32_t kind, THookEntryPoint entry, int32_t threadId, bool swallow) override;
    bool WantsGrab(const TDeviceState& d) const {
        return (ServesKeyboard(d) && FKeyboard.Swallow) || (ServesPointer(d) && FMouse.Swallow);
    }
    // Takes or lets go of the grab the hooks want; 0 or the errno of a grab that failed.
    int UpdateGrab(TDeviceState& d);
    void Ungrab(TDeviceState& d);
    void UpdateAllGrabs();
    void DropAll();
    void ReadLocks();

    // After a report: takes a device that waited for its keys to be up, once they are.
    void TakeWhenDue(int id);
    // An event of the device other than a report's end is read but not handed on yet, or waits in
    // the kernel.
    static bool EventsWaiting(const TDeviceState& d);
    void FlushFrame(int id);
    void Resync(int id);
    // A key or button of a device with these capabilities, to the hook that takes it.
    void Dispatch(const TEvdevCaps& caps, unsigned code, bool press, uint32_t time);
    void DispatchKey(unsigned code, bool press, uint32_t time);
    void DispatchButton(unsigned code, bool press, uint32_t time);
    void DispatchMouse(uint32_t kind, THookPoint pt, uint32_t data, uint32_t time);
    TDeviceState* Find(int id);

    TSlot FKeyboard;
    TSlot FMouse;
    TLinuxKeyboardState FKeys;
    std::map<int, TDeviceState> FDevices;
    int FNextId = 1;
    bool FStarted = false;
    TScan FScan;
    std::string FFailure;
    std::string FUnavailable;
};
