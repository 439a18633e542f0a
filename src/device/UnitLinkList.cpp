#include "device/UnitLinkList.h"

#include <algorithm>

int TReportQueue::Append(const TReportInfo& report) {
    // Copy outside the lock: the producer is the input-hook path and the critical section stays short.
    const TReportInfo copy = report;
    std::lock_guard lock(SignalLock);
    if (copy.reportSize < 0 || copy.reportSize > TReportInfo::MaxReportSize) return CountLocked();
    const int32_t next = QueueIn + 1 >= SlotCount ? 0 : QueueIn + 1;
    if (next == QueueOut) return CountLocked();  // full: dropped silently
    TReportInfo& slot = QueueReport[QueueIn];
    slot.BleDevice = copy.BleDevice;
    slot.Characteristic = copy.Characteristic;
    slot.reportSize = copy.reportSize;
    slot.reportData.fill(0);
    std::copy_n(copy.reportData.begin(), copy.reportSize, slot.reportData.begin());
    QueueIn = next;
    // Counted under the lock: reading the indices after releasing it would race with the consumer.
    return CountLocked();
}

PReportInfo TReportQueue::Pop() {
    std::lock_guard lock(SignalLock);
    if (QueueOut == QueueIn) return nullptr;
    PReportInfo result = &QueueReport[QueueOut];
    QueueOut = QueueOut + 1 >= SlotCount ? 0 : QueueOut + 1;
    return result;
}

int TReportQueue::Count() const {
    std::lock_guard lock(SignalLock);
    return CountLocked();
}
