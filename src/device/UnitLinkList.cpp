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

// The collapse leaves at least this many entries free, so that it runs once per many pushes.
constexpr int CollapseTarget = TSendScheduler::Capacity * 3 / 4;

bool Within(uint8_t inner, uint8_t outer) {
    return (inner & ~outer) == 0;
}

}  // namespace

TSendScheduler::TSendScheduler(std::shared_ptr<TSendPacing> pacing) : FPacing(std::move(pacing)) {}

void TSendScheduler::SetPacing(std::shared_ptr<TSendPacing> pacing) {
    std::lock_guard lock(FLock);
    FPacing = std::move(pacing);
}

int TSendScheduler::WindowLocked() const {
    return FPacing ? std::clamp(FPacing->WritesInHands(), 1, MaxInHands) : 1;
}

void TSendScheduler::PushKeyboard(const THidReport& report) {
    if (report.empty())
        return;
    std::lock_guard lock(FLock);
    TEntry entry;
    entry.Kind = TSendKind::Keyboard;
    entry.Transition = true;
    entry.Keyboard = report;
    entry.Queued = NowLocked();
    AppendLocked(entry);
    FLastKeyboard = report;
    FHasKeyboard = true;
    FKeyboardChangedAt = ++FPushes;
}

void TSendScheduler::PushMouse(const TMouseSnapshot& mouse, bool forceState) {
    std::lock_guard lock(FLock);
    const bool change = mouse.Buttons != FButtons || forceState;
    const bool moved = mouse.X != 0 || mouse.Y != 0 || mouse.Wheel != 0;
    if (!moved && !change)
        return;
    const auto now = NowLocked();
    if (moved) {
        if (!HasMotion(FMotion))
            FMotion.Queued = now;
        FMotion.X += mouse.X;
        FMotion.Y += mouse.Y;
        FMotion.Wheel += mouse.Wheel;
    }
    if (!change)
        return;
    // The motion so far goes out with the old buttons, in front of the change.
    FlushMotionLocked();
    TEntry entry;
    entry.Kind = TSendKind::Mouse;
    entry.Transition = true;
    entry.Buttons = mouse.Buttons;
    entry.Queued = now;
    AppendLocked(entry);
    FButtons = mouse.Buttons;
    FHasButtons = true;
    FButtonsChangedAt = ++FPushes;
}

void TSendScheduler::FlushMotionLocked() {
    if (!HasMotion(FMotion))
        return;
    TEntry entry = FMotion;
    entry.Kind = TSendKind::Mouse;
    entry.Transition = false;
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

void TSendScheduler::PushFrontLocked(const TEntry& entry) {
    if (FCount == Capacity)
        CollapseLocked();
    FHead = (FHead + Capacity - 1) % Capacity;
    ++FCount;
    At(0) = entry;
}

void TSendScheduler::CollapseLocked() {
    // First the keyboard: only its newest state stays, where it was. Motion entries that end up
    // side by side with the same buttons become one.
    int last = -1;
    for (int i = 0; i < FCount; ++i) {
        if (At(i).Kind == TSendKind::Keyboard)
            last = i;
    }
    int n = 0;
    for (int i = 0; i < FCount; ++i) {
        const TEntry& e = At(i);
        if (e.Kind == TSendKind::Keyboard && i != last) {
            ++FMerged;
            continue;
        }
        if (e.Kind == TSendKind::Mouse && !e.Transition && n > 0) {
            TEntry& before = FScratch[static_cast<size_t>(n - 1)];
            if (before.Kind == TSendKind::Mouse && !before.Transition && before.Buttons == e.Buttons) {
                before.X += e.X;
                before.Y += e.Y;
                before.Wheel += e.Wheel;
                continue;
            }
        }
        FScratch[static_cast<size_t>(n++)] = e;
    }
    // Then the buttons, where the keyboard alone did not make room. Keeping the transitions the
    // motion needs is bounded by the states a user goes through; only a pathological run (rolling
    // between buttons while moving, hundreds of times on a stalled link) needs the second pass,
    // whose result is a handful of entries.
    const TEntry* result = FScratch.data();
    if (n > CollapseTarget) {
        const uint32_t merged = FMerged;
        const int kept = CollapseButtonsLocked(FScratch.data(), n, FScratch2.data(), true);
        if (kept >= 0 && kept <= CollapseTarget) {
            n = kept;
            result = FScratch2.data();
        } else {
            FMerged = merged;
            n = CollapseButtonsLocked(FScratch.data(), n, FScratch2.data(), false);
            result = FScratch2.data();
        }
    }
    FHead = 0;
    FCount = n;
    std::copy_n(result, n, FRing.begin());
}

// Writes the queue in[0, count) with fewer button transitions to out; returns the new count, or
// -1 when it would not fit. keepForMotion: keep the states the motion was made in; else only the
// newest state is kept, and motion goes with the buttons held throughout.
int TSendScheduler::CollapseButtonsLocked(const TEntry* in, int count, TEntry* out, bool keepForMotion) {
    int lastButtons = -1;
    for (int i = 0; i < count; ++i) {
        if (in[i].Kind == TSendKind::Mouse && in[i].Transition)
            lastButtons = i;
    }
    // held: the buttons the target holds at this place of the new queue. motionAt: the entry the
    // motion made since then goes into.
    uint8_t held = FHeadButtons;
    int motionAt = -1;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        if (n + 2 > static_cast<int>(FScratch2.size()))
            return -1;
        const TEntry& e = in[i];
        if (e.Kind == TSendKind::Keyboard) {
            out[n++] = e;
            continue;
        }
        if (e.Transition) {
            // Kept: the newest state, and (first pass) a state whose motion the buttons held so
            // far would turn into a drag the user did not make.
            bool keep = i == lastButtons;
            if (!keep && keepForMotion && !Within(held, e.Buttons)) {
                for (int j = i + 1; j < count; ++j) {
                    if (in[j].Kind != TSendKind::Mouse)
                        continue;
                    keep = !in[j].Transition && HasMotion(in[j]);
                    break;
                }
            }
            if (!keep) {
                ++FMerged;
                continue;
            }
            out[n++] = e;
            held = e.Buttons;
            motionAt = -1;
            continue;
        }
        if (!Within(held, e.Buttons)) {
            // Motion made without a button the target holds here: those buttons are let go in
            // front of it (the user had let them go by then; a later kept state presses again
            // what the user pressed again). At most once per button on the second pass.
            TEntry release;
            release.Kind = TSendKind::Mouse;
            release.Transition = true;
            release.Buttons = held & e.Buttons;
            release.Queued = e.Queued;
            out[n++] = release;
            held = release.Buttons;
            motionAt = -1;
        }
        if (motionAt >= 0) {
            out[motionAt].X += e.X;
            out[motionAt].Y += e.Y;
            out[motionAt].Wheel += e.Wheel;
            continue;
        }
        motionAt = n;
        out[n] = e;
        out[n].Buttons = held;
        ++n;
    }
    return n;
}

bool TSendScheduler::QueuedLocked(TSendKind kind, bool inHandsToo) const {
    for (int i = 0; i < FCount; ++i) {
        if (At(i).Kind == kind && At(i).Transition)
            return true;
    }
    if (inHandsToo) {
        for (int i = 0; i < FFlightCount; ++i) {
            const TScheduledReport& r = FFlights[static_cast<size_t>(i)].Report;
            if (r.Kind == kind && r.Transition)
                return true;
        }
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
    if (FFlightCount >= WindowLocked())
        return std::nullopt;
    bool transitionInHands = false;
    bool buttonsInHands = false;
    for (int i = 0; i < FFlightCount; ++i) {
        const TScheduledReport& r = FFlights[static_cast<size_t>(i)].Report;
        transitionInHands = transitionInHands || r.Transition;
        buttonsInHands = buttonsInHands || (r.Transition && r.Kind == TSendKind::Mouse);
    }
    const auto now = NowLocked();
    TFlight flight;
    TScheduledReport& report = flight.Report;
    TClock::time_point queued;
    if (FCount > 0) {
        TEntry& head = At(0);
        if ((head.Transition && transitionInHands) || (head.Kind == TSendKind::Mouse && buttonsInHands))
            return std::nullopt;
        queued = head.Queued;
        report.Kind = head.Kind;
        report.Transition = head.Transition;
        bool done = true;
        if (head.Kind == TSendKind::Keyboard) {
            report.Keyboard = head.Keyboard;
        } else {
            report.Mouse = TakeChunk(head);
            done = !HasMotion(head);
        }
        if (head.Transition)
            flight.Entry = head;
        if (done) {
            FHead = (FHead + 1) % Capacity;
            --FCount;
        }
    } else if (HasMotion(FMotion)) {
        if (buttonsInHands || (FPacing && FPacing->MotionAllowedAt() > now))
            return std::nullopt;
        queued = FMotion.Queued;
        FMotion.Buttons = FButtons;
        report.Kind = TSendKind::Mouse;
        report.Mouse = TakeChunk(FMotion);
    } else {
        return std::nullopt;
    }
    report.Ticket = ++FLastTicket;
    flight.HandedAt = now;
    flight.HeadButtonsBefore = FHeadButtons;
    if (report.Kind == TSendKind::Mouse)
        FHeadButtons = report.Mouse.Buttons;
    FFlights[static_cast<size_t>(FFlightCount++)] = flight;
    Smooth(FQueueWaitUs, MicrosecondsSince(queued, now));
    if (FPacing)
        FPacing->HandedOut(report, now);
    return report;
}

void TSendScheduler::Completed(uint64_t ticket, bool ok) {
    std::lock_guard lock(FLock);
    const auto now = NowLocked();
    int found = -1;
    for (int i = 0; i < FFlightCount && ticket != 0; ++i) {
        if (FFlights[static_cast<size_t>(i)].Report.Ticket == ticket)
            found = i;
    }
    if (found < 0) {
        // A late report: the write it names ended already, and its place is another write's now.
        if (!ok && FFailuresInARow++ < MaxResends)
            RepairLocked(now);
        return;
    }
    const TFlight flight = FFlights[static_cast<size_t>(found)];
    std::copy(FFlights.begin() + found + 1, FFlights.begin() + FFlightCount, FFlights.begin() + found);
    --FFlightCount;
    Smooth(FRoundTripUs, MicrosecondsSince(flight.HandedAt, now));
    if (FPacing)
        FPacing->Completed(flight.Report, ok, flight.HandedAt, now);
    if (ok) {
        FFailuresInARow = 0;
        return;
    }
    if (FFailuresInARow++ >= MaxResends)
        return;
    if (!flight.Report.Transition) {
        RepairLocked(now);
        return;
    }
    // Its own place: nothing queued came before it, and no transition after it has been handed
    // out (one transition in the platform's hands at a time; no mouse report while a button one is).
    TEntry entry = flight.Entry;
    entry.Queued = now;
    if (entry.Kind == TSendKind::Mouse)
        FHeadButtons = flight.HeadButtonsBefore;
    PushFrontLocked(entry);
}

void TSendScheduler::RepairLocked(TClock::time_point now) {
    // The newest states not waiting anyway were handed out before everything queued: the front
    // is their place. The one that changed last goes last.
    TEntry keyboard;
    keyboard.Kind = TSendKind::Keyboard;
    keyboard.Transition = true;
    keyboard.Keyboard = FLastKeyboard;
    keyboard.Queued = now;
    TEntry buttons;
    buttons.Kind = TSendKind::Mouse;
    buttons.Transition = true;
    buttons.Buttons = FButtons;
    buttons.Queued = now;
    const bool addKeyboard = FHasKeyboard && !QueuedLocked(TSendKind::Keyboard, true);
    const bool addButtons = FHasButtons && !QueuedLocked(TSendKind::Mouse, true);
    const bool keyboardLast = FKeyboardChangedAt > FButtonsChangedAt;
    if (addKeyboard && keyboardLast)
        PushFrontLocked(keyboard);
    if (addButtons)
        PushFrontLocked(buttons);
    if (addKeyboard && !keyboardLast)
        PushFrontLocked(keyboard);
}

void TSendScheduler::Abandon(uint64_t ticket) {
    std::lock_guard lock(FLock);
    for (int i = 0; i < FFlightCount; ++i) {
        if (FFlights[static_cast<size_t>(i)].Report.Ticket != ticket)
            continue;
        std::copy(FFlights.begin() + i + 1, FFlights.begin() + FFlightCount, FFlights.begin() + i);
        --FFlightCount;
        return;
    }
}

std::optional<TSendScheduler::TClock::time_point> TSendScheduler::MotionWaitsUntil() const {
    std::lock_guard lock(FLock);
    if (!FPacing || FCount > 0 || !HasMotion(FMotion) || FFlightCount >= WindowLocked())
        return std::nullopt;
    const auto at = FPacing->MotionAllowedAt();
    if (at <= FPacing->Now())
        return std::nullopt;
    return at;
}

bool TSendScheduler::InFlight() const {
    std::lock_guard lock(FLock);
    return FFlightCount > 0;
}

int TSendScheduler::PendingTransitions() const {
    std::lock_guard lock(FLock);
    return FCount + FFlightCount;
}

bool TSendScheduler::Idle() const {
    std::lock_guard lock(FLock);
    return FCount == 0 && FFlightCount == 0 && !HasMotion(FMotion);
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
    const bool waitingLong = FCount > 0 && MicrosecondsSince(At(0).Queued, NowLocked()) > 2 * write;
    stats.FallingBehind = FQueueWaitUs > 2 * write || waitingLong;
    return stats;
}
