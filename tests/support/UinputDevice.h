#pragma once
// A virtual input device made through /dev/uinput, for tests that run on a real kernel (the kernel
// rig's guest): it stands for the user's keyboard or mouse, so whatever reads /dev/input (the
// program, a compositor) meets a device like any other. Linux only; needs write access to
// /dev/uinput.

#include <cstdint>
#include <string>

class TUinputDevice {
  public:
    enum class TKind { Keyboard, Mouse };

    // A keyboard has every key of codes 1-255, the three lock lights and MSC_SCAN; a mouse has
    // five buttons, relative motion and both wheels (high-resolution too). Check Ok().
    TUinputDevice(TKind kind, const char* name);
    ~TUinputDevice();
    TUinputDevice(const TUinputDevice&) = delete;
    TUinputDevice& operator=(const TUinputDevice&) = delete;

    // Made, and its event node (found through sysfs: there is no udev in the guest) can be opened.
    bool Ok() const { return FFd >= 0 && !FNode.empty(); }
    // /dev/input/eventN
    const std::string& Node() const { return FNode; }
    // Writes that the kernel did not take (a test fails when there are any).
    int WriteFailures() const { return FWriteFailures; }

    void Emit(uint16_t type, uint16_t code, int32_t value);
    void Sync();
    // One key or button event (value 1 press, 0 release, 2 repeat) and its report.
    void Key(uint16_t code, int32_t value);
    void Tap(uint16_t code);

  private:
    int FFd = -1;
    std::string FNode;
    int FWriteFailures = 0;
};
