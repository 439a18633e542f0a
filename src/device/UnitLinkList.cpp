#include "device/UnitLinkList.h"

#include <algorithm>
#include <limits>

#include "device/LinkEstimator.h"

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

// No link writes faster than one write per shortest connection interval.
constexpr double ShortestIntervalUs = static_cast<double>(TLinkEstimator::ShortestInterval.count());

// The collapse leaves at most this many entries (a quarter free), so that it runs once per many
// pushes rather than on every one.
constexpr int CollapseTarget = TSendScheduler::Capacity * 3 / 4;

}  // namespace

void TSendScheduler::PushKeyboard(const THidReport& report) {
    if (report.empty())
        return;
    std::lock_guard lock(FLock);
    TEntry entry;
    entry.Kind = TSendKind::Keyboard;
    entry.Transition = true;
    entry.Keyboard = report;
    entry.Queued = TClock::now();
    AppendLocked(entry);
    FLastKeyboard = report;
    FHasKeyboard = true;
    FKeyboardChangedAt = ++FPushes;
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
    const auto transitions = [this](int count) {
        return static_cast<int>(std::count_if(FScratch.begin(), FScratch.begin() + count,
                                              [](const TEntry& e) { return e.Transition; }));
    };
    for (int i = 0; i < FCount; ++i)
        FScratch[static_cast<size_t>(i)] = At(i);
    const int before = transitions(FCount);
    // Each step costs the target more of what the user did than the one before: the next runs
    // only where the one before left too little room.
    // Where keeping every button change's keyboard state leaves too little room (modifiers and
    // clicks alternating hundreds of times on a stalled link), the steps run again on the queue as
    // it was, keeping only the newest keyboard state, and only then does step 4 run.
    int n = FCount;
    for (const bool keepAtButtons : {true, false}) {
        if (!keepAtButtons) {
            if (n <= CollapseTarget)
                break;
            ++FLastResorts;
            for (int i = 0; i < FCount; ++i)
                FScratch[static_cast<size_t>(i)] = At(i);
            n = FCount;
        }
        n = DropKeyboardStates(n, keepAtButtons);
        if (n > CollapseTarget)
            n = DropButtonStates(n, false);
        if (n > CollapseTarget)
            n = DropButtonStates(n, true);
        if (n > CollapseTarget && !keepAtButtons)
            n = KeepLastButtonStates(n);
    }
    FMerged += static_cast<uint32_t>(std::max(0, before - transitions(n)));
    FHead = 0;
    FCount = n;
    std::copy_n(FScratch.begin(), n, FRing.begin());
}

namespace {

// Appends e to out[0, n), adding its motion to the entry before it where both are motion with the
// same buttons (what the target sees is the same, in one entry fewer).
template <typename TEntryT>
void AppendMerging(TEntryT* out, int& n, const TEntryT& e) {
    const bool motion = e.Kind == TSendKind::Mouse && !e.Transition;
    if (motion && n > 0) {
        TEntryT& last = out[n - 1];
        if (last.Kind == TSendKind::Mouse && !last.Transition && last.Buttons == e.Buttons) {
            last.X += e.X;
            last.Y += e.Y;
            last.Wheel += e.Wheel;
            return;
        }
    }
    out[n++] = e;
}

}  // namespace

// Step 1 (keepAtButtons): of the keyboard states between two button states only the last stays,
// in its place, so every button change still finds the keyboard state it was made with. The last
// resort (not keepAtButtons): only the newest keyboard state stays.
int TSendScheduler::DropKeyboardStates(int count, bool keepAtButtons) {
    // Whether keyboard state i is the last before the next button state (or the end).
    std::array<bool, std::tuple_size_v<TScratch>> last{};
    bool seen = false;
    for (int i = count - 1; i >= 0; --i) {
        const TEntry& e = FScratch[static_cast<size_t>(i)];
        if (IsButtons(e) && keepAtButtons)
            seen = false;
        if (e.Kind == TSendKind::Keyboard) {
            last[static_cast<size_t>(i)] = !seen;
            seen = true;
        }
    }
    int n = 0;
    for (int i = 0; i < count; ++i) {
        const TEntry& e = FScratch[static_cast<size_t>(i)];
        if (e.Kind == TSendKind::Keyboard && !last[static_cast<size_t>(i)])
            continue;
        AppendMerging(FScratchOut.data(), n, e);
    }
    std::copy_n(FScratchOut.begin(), n, FScratch.begin());
    return n;
}

void TSendScheduler::FindNextButtonStates(int count) {
    int nextAt = -1;
    bool movedSince = false;
    bool keyboardSince = false;
    for (int i = count - 1; i >= 0; --i) {
        const TEntry& e = FScratch[static_cast<size_t>(i)];
        movedSince = movedSince || (IsMotion(e) && HasMotion(e));
        keyboardSince = keyboardSince || e.Kind == TSendKind::Keyboard;
        if (!IsButtons(e))
            continue;
        FNext[static_cast<size_t>(i)] = {keyboardSince ? -1 : nextAt, movedSince};
        nextAt = i;
        movedSince = false;
        keyboardSince = false;
    }
}

// Steps 2 and 3: button states whose dropping loses no release and moves no change past a key.
// Motion made while a dropped state was held goes with the state before it: only the same
// buttons (step 2), or fewer (step 3: a drag may become a move).
int TSendScheduler::DropButtonStates(int count, bool fewerButtonsForMotion) {
    FindNextButtonStates(count);
    // kept: the state the target holds at this place of the new queue; heldThrough: the buttons of
    // kept held in every state dropped since it.
    uint8_t kept = FHeadButtons;
    uint8_t heldThrough = kept;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        TEntry e = FScratch[static_cast<size_t>(i)];
        if (IsButtons(e)) {
            const TNextState next = FNext[static_cast<size_t>(i)];
            if (next.At >= 0) {
                const uint8_t state = e.Buttons;
                const uint8_t following = FScratch[static_cast<size_t>(next.At)].Buttons;
                const bool motionKeeps =
                    !next.Moved || state == kept || (fewerButtonsForMotion && (kept & ~state) == 0);
                // A button held before and after that this state lets go: its release would be lost.
                const bool losesRelease = (kept & following & ~(heldThrough & state)) != 0;
                if (motionKeeps && !losesRelease) {
                    heldThrough &= state;
                    continue;
                }
            }
            kept = e.Buttons;
            heldThrough = kept;
        } else if (IsMotion(e)) {
            e.Buttons = kept;
        }
        AppendMerging(FScratchOut.data(), n, e);
    }
    std::copy_n(FScratchOut.begin(), n, FScratch.begin());
    return n;
}

// Step 4: of the button states between two keyboard states only the last stays; motion goes with
// buttons the target holds at its place and the user held when making it.
int TSendScheduler::KeepLastButtonStates(int count) {
    FindNextButtonStates(count);
    uint8_t held = FHeadButtons;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        TEntry e = FScratch[static_cast<size_t>(i)];
        if (IsButtons(e)) {
            if (FNext[static_cast<size_t>(i)].At >= 0)
                continue;
            held = e.Buttons;
        } else if (IsMotion(e)) {
            if ((held & ~e.Buttons) != 0) {
                // Made without a button the target holds here: the user had let it go by then.
                // Each let-go leaves fewer buttons held, so between two kept states there are at
                // most as many as buttons.
                TEntry letGo;
                letGo.Kind = TSendKind::Mouse;
                letGo.Transition = true;
                letGo.Buttons = held & e.Buttons;
                letGo.Queued = e.Queued;
                AppendMerging(FScratchOut.data(), n, letGo);
                held = letGo.Buttons;
            }
            e.Buttons = held;
        }
        AppendMerging(FScratchOut.data(), n, e);
    }
    std::copy_n(FScratchOut.begin(), n, FScratch.begin());
    return n;
}

bool TSendScheduler::TransitionWaitingLocked(TSendKind kind) const {
    for (int i = 0; i < FCount; ++i) {
        if (At(i).Kind == kind && At(i).Transition)
            return true;
    }
    return FTicket != 0 && FInHands.Kind == kind && FInHands.Transition;
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
    if (FTicket != 0)
        return std::nullopt;
    TScheduledReport report;
    TClock::time_point queued;
    if (FCount > 0) {
        TEntry& head = At(0);
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
            FInHandsEntry = head;
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
    report.Ticket = ++FLastTicket;
    FTicket = report.Ticket;
    FInHands = report;
    FHandedAt = now;
    FHeadButtonsBefore = FHeadButtons;
    if (report.Kind == TSendKind::Mouse)
        FHeadButtons = report.Mouse.Buttons;
    Smooth(FQueueWaitUs, MicrosecondsSince(queued, now));
    return report;
}

void TSendScheduler::Completed(uint64_t ticket, bool ok) {
    std::lock_guard lock(FLock);
    const auto now = TClock::now();
    if (ticket == 0 || ticket != FTicket) {
        // A late report: the write it names ended already, and the place in the platform's hands
        // belongs to another write now (or to none).
        if (!ok) {
            ++FFailuresInARow;
            RepairLocked(now);
        }
        return;
    }
    FTicket = 0;
    FCompletedAt = now;
    Smooth(FRoundTripUs, MicrosecondsSince(FHandedAt, now));
    if (ok) {
        FFailuresInARow = 0;
        return;
    }
    // Not written: the target holds what it held before.
    if (FInHands.Kind == TSendKind::Mouse)
        FHeadButtons = FHeadButtonsBefore;
    // Never given up while the link is up: the newest states are what the target must end in. The
    // session backs off once failures come in a row (FailuresInARow).
    ++FFailuresInARow;
    if (!FInHands.Transition) {
        RepairLocked(now);
        return;
    }
    // Its own place: nothing queued came before it, and nothing after it was handed out.
    TEntry entry = FInHandsEntry;
    entry.Queued = now;
    PushFrontLocked(entry);
}

void TSendScheduler::RepairLocked(TClock::time_point now) {
    // The newest states not waiting anyway were handed out before everything queued: the front
    // is their place. The one the user changed last goes last.
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
    const bool addKeyboard = FHasKeyboard && !TransitionWaitingLocked(TSendKind::Keyboard);
    const bool addButtons = FHasButtons && !TransitionWaitingLocked(TSendKind::Mouse);
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
    if (ticket == 0 || ticket != FTicket)
        return;
    FTicket = 0;
    if (FInHands.Kind == TSendKind::Mouse)
        FHeadButtons = FHeadButtonsBefore;
}

int TSendScheduler::FailuresInARow() const {
    std::lock_guard lock(FLock);
    return FFailuresInARow;
}

bool TSendScheduler::InFlight() const {
    std::lock_guard lock(FLock);
    return FTicket != 0;
}

int TSendScheduler::PendingTransitions() const {
    std::lock_guard lock(FLock);
    return FCount + (FTicket != 0 ? 1 : 0);
}

bool TSendScheduler::Idle() const {
    std::lock_guard lock(FLock);
    return FCount == 0 && FTicket == 0 && !HasMotion(FMotion);
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
    if (FCount == 0 && FTicket == 0 && !HasMotion(FMotion)) {
        stats.IdleUs = static_cast<uint32_t>(std::min<double>(MicrosecondsSince(FCompletedAt, TClock::now()),
                                                              std::numeric_limits<uint32_t>::max()));
    }
    return stats;
}

uint32_t TSendScheduler::LastResortCollapses() const {
    std::lock_guard lock(FLock);
    return FLastResorts;
}
