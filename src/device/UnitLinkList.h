#pragma once
// The report queue: a fixed ring of pending input reports between the threads that produce reports
// and the workers that write them to the dongle one at a time. It keeps arrival order, never grows
// and drops new reports when full.

#include <array>
#include <cstdint>
#include <mutex>

class TBluetoothLEDevice;
class TBluetoothGattCharacteristic;

// One pending report, copied by value into the queue.
struct TReportInfo {
    static constexpr int MaxReportSize = 21;

    TBluetoothLEDevice* BleDevice = nullptr;                 // borrowed; recorded, not used to write
    TBluetoothGattCharacteristic* Characteristic = nullptr;  // borrowed; null when there is none
    std::array<uint8_t, MaxReportSize> reportData{};
    int32_t reportSize = 0;                                  // valid bytes at the start of reportData
};
using PReportInfo = TReportInfo*;

class TReportQueue {
public:
    static constexpr int SlotCount = 256;
    // One slot always stays free, so that a popped slot is not overwritten before the next Pop.
    static constexpr int Capacity = SlotCount - 1;

    TReportQueue() = default;
    TReportQueue(const TReportQueue&) = delete;
    TReportQueue& operator=(const TReportQueue&) = delete;

    // Stores a copy of report as the newest entry, its bytes past reportSize zeroed. Returns the
    // number of reports held after the call (0..255). A full queue drops the report; a reportSize
    // outside 0..21 is refused. Both leave the queue unchanged.
    int Append(const TReportInfo& report);

    // Removes the oldest entry and returns its slot, or null when empty. The slot stays unchanged
    // until the next Pop, so a single consumer may read it after the call.
    PReportInfo Pop();

    int Count() const;

private:
    int CountLocked() const { return (QueueIn - QueueOut + SlotCount) % SlotCount; }

    std::array<TReportInfo, SlotCount> QueueReport{};
    int32_t QueueIn = 0;   // the slot the next Append fills
    int32_t QueueOut = 0;  // the slot the next Pop takes
    mutable std::mutex SignalLock;
};
