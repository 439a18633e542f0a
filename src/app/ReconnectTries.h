#pragma once
// The dongles being brought back after a drop the user did not ask for: the schedule of
// TReconnectPolicy together with the device each try connects. The window feeds it what happens (a
// drop, a try that ended, the user letting a dongle go, a timer tick with the time) and starts the
// connections it hands out; it knows nothing of controls.
//
// Devices are borrowed from the Bluetooth manager, which keeps one object per address for the whole
// run, so holding them between events is safe. One thread (the window's); the time is passed in.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/ReconnectPolicy.h"

class TBluetoothLEDevice;

class TReconnectTries {
  public:
    using TTime = TReconnectPolicy::TTime;
    using TDelay = TReconnectPolicy::TDelay;

    // The dongle dropped: its first try falls due the policy's first delay after Now. One already
    // waiting keeps its place.
    void Dropped(TBluetoothLEDevice& Device, TTime Now);
    // Hands each dongle whose try is due at Now to Start, one after the other, marking it as being
    // tried. Start connects it and returns true, or returns false when it cannot be connected now
    // (its last link is still closing, or every slot is taken, which an earlier start may have
    // caused): that try counts as failed and the dongle waits for its next turn.
    void StartDue(TTime Now, const std::function<bool(TBluetoothLEDevice&)>& Start);
    // A try ended: Back, the dongle is connected again and leaves the schedule; otherwise the next
    // try waits longer. False when the address was not waiting (a connection the user started).
    bool TryEnded(const std::string& Address, bool Back, TTime Now);
    // The radio is back: every waiting dongle is due at Now (TReconnectPolicy::RadioBack).
    void RadioBack(TTime Now) { FPolicy.RadioBack(Now); }
    // The user lets the dongle go: no further tries. False when it was not waiting.
    bool Stop(const std::string& Address);
    // How long until the earliest try not yet taken falls due (zero when overdue); none when
    // nothing waits.
    std::optional<TDelay> NextWait(TTime Now) const;

    // The device of a waiting dongle; null for one not waiting.
    TBluetoothLEDevice* Device(const std::string& Address) const;
    bool Scheduled(const std::string& Address) const { return FPolicy.Scheduled(Address); }
    bool Trying(const std::string& Address) const { return FPolicy.Trying(Address); }
    TDelay Delay(const std::string& Address) const { return FPolicy.Delay(Address); }
    std::vector<std::string> Addresses() const { return FPolicy.Addresses(); }
    bool Empty() const { return FPolicy.Empty(); }

  private:
    TReconnectPolicy FPolicy;
    std::map<std::string, TBluetoothLEDevice*> FDevices;
};
