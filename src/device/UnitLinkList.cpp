#include "device/UnitLinkList.h"

#include <algorithm>

namespace {

int64_t Clamp(int64_t value, int64_t limit) {
    return std::clamp(value, -limit, limit);
}

// Recent figures weigh most; one slow write does not make the link look slow.
void Smooth(double& average, double sample) {
    average = average == 0 ? sample : average + (sample - average) / 8;
}

double MicrosecondsSince(std::chrono::steady_clock::time_point since,
                         std::chrono::steady_clock::time_point now) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now - since).count());
}

// The shortest connection interval BLE allows: no link writes faster than this.
constexpr double ShortestIntervalUs = 7500;

}  // namespace

void TSendScheduler::PushKeyboard(const THidReport& report) {
    if (report.empty())
        return;
    std::lock_guard lock(FLock);
    TEntry entry;
    entry.Kind = TSendKind::Keyboard;
    entry.Keyboard = report;
    entry.Queued = TClock::now();
    AppendLocked(entry);
    FLastKeyboard = report;
    FHasKeyboard = true;
}

void TSendScheduler::PushMouse(const TMouseSnapshot& mouse, bool forceState) {
    std::lock_guard lock(FLock);
    const auto now = TClock::now();
    if (mouse.X != 0 || mouse.Y != 0 || mouse.Wheel != 0) {
        if (!HasMotion(FMotion))
            FMotion.Queued = now;
        FMotion.X += mouse.X;
        FMotion.Y += mouse.Y;
        FMotion.Wheel += mouse.Wheel;
    }
    if (mouse.Buttons == FButtons && !forceState)
        return;
    // The motion so far goes out with the old buttons, in front of the change.
    FlushMotionLocked();
    TEntry entry;
    entry.Kind = TSendKind::Mouse;
    entry.Buttons = mouse.Buttons;
    entry.Queued = now;
    AppendLocked(entry);
    FButtons = mouse.Buttons;
}

void TSendScheduler::FlushMotionLocked() {
    if (!HasMotion(FMotion))
        return;
    TEntry entry = FMotion;
    entry.Kind = TSendKind::Mouse;
    entry.Buttons = FButtons;
    FMotion = TEntry{};
    AppendLocked(entry);
}

void TSendScheduler::AppendLocked(const TEntry& entry) {
    if (FCount == Capacity)
        CollapseLocked();
    At(FCount) = entry;
    ++FCount;
}

void TSendScheduler::CollapseLocked() {
    // The queue turns into: all queued motion (with the buttons of the first mouse entry, so it
    // goes where it went before any click of the queue), the newest keyboard state and the newest
    // button state, the last two in the order they last came. Intermediate states are lost (a
    // quick tap may vanish), a final state never is: nothing stays held that was released.
    TEntry motion;
    motion.Kind = TSendKind::Mouse;
    std::optional<TEntry> keyboard;
    std::optional<TEntry> buttons;
    int keyboardAt = -1;
    int buttonsAt = -1;
    bool firstMouse = true;
    for (int i = 0; i < FCount; ++i) {
        const TEntry& e = At(i);
        if (e.Kind == TSendKind::Keyboard) {
            keyboard = e;
            keyboardAt = i;
            continue;
        }
        if (firstMouse) {
            motion.Buttons = e.Buttons;
            motion.Queued = e.Queued;
            firstMouse = false;
        }
        motion.X += e.X;
        motion.Y += e.Y;
        motion.Wheel += e.Wheel;
        buttons = e;
        buttons->X = buttons->Y = buttons->Wheel = 0;
        buttonsAt = i;
    }
    const int before = FCount;
    FHead = 0;
    FCount = 0;
    auto put = [this](const TEntry& e) { FRing[static_cast<size_t>(FCount++)] = e; };
    if (HasMotion(motion))
        put(motion);
    if (keyboard && buttons && buttonsAt < keyboardAt)
        put(*buttons);
    if (keyboard)
        put(*keyboard);
    if (buttons && !(keyboard && buttonsAt < keyboardAt))
        put(*buttons);
    FMerged += static_cast<uint32_t>(before - FCount);
}

bool TSendScheduler::HasKeyboardQueuedLocked() const {
    for (int i = 0; i < FCount; ++i) {
        if (At(i).Kind == TSendKind::Keyboard)
            return true;
    }
    return false;
}

TMouseSnapshot TSendScheduler::TakeChunk(TEntry& entry) {
    TMouseSnapshot chunk;
    chunk.Buttons = entry.Buttons;
    chunk.X = static_cast<int32_t>(Clamp(entry.X, MouseMoveLimit));
    chunk.Y = static_cast<int32_t>(Clamp(entry.Y, MouseMoveLimit));
    chunk.Wheel = static_cast<int32_t>(Clamp(entry.Wheel, MouseWheelLimit));
    entry.X -= chunk.X;
    entry.Y -= chunk.Y;
    entry.Wheel -= chunk.Wheel;
    return chunk;
}

std::optional<TScheduledReport> TSendScheduler::Next() {
    std::lock_guard lock(FLock);
    if (FInFlight)
        return std::nullopt;
    TScheduledReport report;
    TClock::time_point queued;
    if (FCount > 0) {
        TEntry& head = At(0);
        queued = head.Queued;
        report.Kind = head.Kind;
        bool done = true;
        if (head.Kind == TSendKind::Keyboard) {
            report.Keyboard = head.Keyboard;
        } else {
            report.Mouse = TakeChunk(head);
            done = !HasMotion(head);
        }
        if (done) {
            FHead = (FHead + 1) % Capacity;
            --FCount;
        }
    } else if (HasMotion(FMotion)) {
        queued = FMotion.Queued;
        FMotion.Buttons = FButtons;
        report.Kind = TSendKind::Mouse;
        report.Mouse = TakeChunk(FMotion);
    } else {
        return std::nullopt;
    }
    const auto now = TClock::now();
    FInFlight = true;
    FHandedAt = now;
    Smooth(FQueueWaitUs, MicrosecondsSince(queued, now));
    return report;
}

void TSendScheduler::Completed(bool ok) {
    std::lock_guard lock(FLock);
    if (FInFlight) {
        FInFlight = false;
        Smooth(FRoundTripUs, MicrosecondsSince(FHandedAt, TClock::now()));
    }
    if (ok) {
        FFailuresInARow = 0;
        return;
    }
    // Nothing newer to correct it: the newest keyboard state goes again.
    if (FFailuresInARow++ < MaxKeyboardResends && FHasKeyboard && !HasKeyboardQueuedLocked()) {
        TEntry entry;
        entry.Kind = TSendKind::Keyboard;
        entry.Keyboard = FLastKeyboard;
        entry.Queued = TClock::now();
        AppendLocked(entry);
    }
}

void TSendScheduler::Abandon() {
    std::lock_guard lock(FLock);
    FInFlight = false;
}

bool TSendScheduler::InFlight() const {
    std::lock_guard lock(FLock);
    return FInFlight;
}

int TSendScheduler::PendingTransitions() const {
    std::lock_guard lock(FLock);
    return FCount + (FInFlight ? 1 : 0);
}

bool TSendScheduler::Idle() const {
    std::lock_guard lock(FLock);
    return FCount == 0 && !FInFlight && !HasMotion(FMotion);
}

uint32_t TSendScheduler::MergedTransitions() const {
    std::lock_guard lock(FLock);
    return FMerged;
}

TSendScheduler::TStats TSendScheduler::Stats() const {
    std::lock_guard lock(FLock);
    TStats stats;
    stats.WriteRoundTripUs = static_cast<uint32_t>(FRoundTripUs);
    stats.QueueWaitUs = static_cast<uint32_t>(FQueueWaitUs);
    // Behind: reports wait longer than the link takes to write them. With one write in flight a
    // report waits at most one write's time, so waiting two means a backlog; the oldest waiting
    // transition counts too, since a link that stalls updates no average.
    const double write = std::max(FRoundTripUs, ShortestIntervalUs);
    const bool waitingLong = FCount > 0 && MicrosecondsSince(At(0).Queued, TClock::now()) > 2 * write;
    stats.FallingBehind = FQueueWaitUs > 2 * write || waitingLong;
    return stats;
}
