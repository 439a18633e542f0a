#pragma once
// The send scheduler of one session: what goes to the dongle next, and what waits. The link is the
// bottleneck (a BLE link carries one report per connection interval or a few, a mouse makes a
// thousand events a second), so the whole send policy lives here, in one place:
//
//  - One write in the platform's hands. Next() hands it out with a ticket; Completed(ticket) or
//    Abandon(ticket) ends it. A completion whose ticket is not the one in the platform's hands (a
//    failure the platform reports after the write had already completed) ends nothing: it never
//    frees the place of another write. The session paces the hand-outs (device/LinkEstimator.h);
//    the scheduler only says what goes next.
//  - Key and button transitions are an ordered queue. A keyboard report carries the whole keyboard
//    state, a button change the whole button state; they are written in the order they came and
//    never merged away while there is room.
//  - Relative motion and wheel accumulate and go out as one report when the queue is empty, so
//    keys and clicks never wait behind motion that is not yet in the platform's hands. Motion that
//    came before a button change is put in front of it, with the buttons held while it was made
//    (a click lands where the pointer was moved to, a move never becomes a drag). Sums beyond what
//    one report carries go out as several reports; nothing is clamped away.
//  - Memory is bounded: the queue holds at most Capacity entries. When it is full it collapses,
//    in steps, each only where the one before left less than a quarter free:
//      1. Of the keyboard states between two button states only the last stays, where it was. The
//         target passes through fewer keyboard states, in order (a quick tap may vanish), ends in
//         the newest, and every button change still comes with the keyboard state held when it
//         was made (a Ctrl+click stays one, even where Ctrl is pushed again after the click).
//      2. A button state is dropped where no motion was made while it was held (or it equals the
//         state the target holds there), no keyboard state lies between it and the next button
//         state (its change would move past a key), and dropping it loses no release (a button the
//         target holds before and after the dropped states was held throughout them). Motion keeps
//         its buttons exactly.
//      3. As 2, and also a state that only adds buttons to the one before it although motion was
//         made in it: that motion goes with the fewer buttons (a drag may become a move).
//      Where that leaves too little room (modifiers and clicks alternating hundreds of times on a
//      stalled link), the steps run again on the queue as it was, step 1 keeping only the newest
//      keyboard state (a click may then come with another keyboard state than it was made with),
//      and then:
//      4. Only for a user rolling between buttons while moving, hundreds of times on a stalled link:
//         of the button states between two keyboard states only the last stays, and motion goes
//         with the buttons the target holds at its place; a button held there that the motion was
//         made without is let go in front of it (the user had let it go by then), so the target
//         may see the buttons of a roll all up for a moment.
//    Whatever the step, the newest keyboard state and the newest button state are written in the
//    order the user made them, all motion is kept, a move never becomes a drag, and nothing is
//    pressed that the user did not press.
//  - A failed write of a transition (keyboard or buttons) is written again in its own place: at
//    the front of the queue, since everything queued came after it and nothing after it has been
//    handed out. A failed motion write, or a failure reported late (its ticket no longer in the
//    platform's hands), may stand for any earlier report: the newest keyboard state and the newest
//    button state that are neither queued nor in the platform's hands go again at the front, in the
//    order the user last changed them (repeating a state the target has changes nothing). A late
//    failure is known only once a later write is in the platform's hands, so its states go behind
//    that one. Motion is never written again (it may have arrived). Nothing is given up while the
//    link is up, however many writes fail in a row: when the scheduler goes idle, the target holds
//    what the user holds (as far as the scheduler knows what arrived). Beyond MaxResends failures
//    in a row the session backs off before writing again; a success resets the count.
//
// Threads: producers (the input path) and the consumer (the session's send worker and the write
// completions) may be on different threads; every method takes the scheduler's lock.

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <tuple>

#include "hid/UnitCorvHid.h"

enum class TSendKind : uint8_t { Keyboard, Mouse };

// One report the scheduler hands out: a keyboard report's bytes, or a mouse report's content
// (buttons and motion within the limits of one report) for the session to frame.
struct TScheduledReport {
    TSendKind Kind = TSendKind::Keyboard;
    bool Transition = false;  // a key or button change (else motion only)
    uint64_t Ticket = 0;      // names this write in Completed and Abandon; never 0
    THidReport Keyboard;
    TMouseSnapshot Mouse;
};

class TSendScheduler {
  public:
    using TClock = std::chrono::steady_clock;
    static constexpr int Capacity = 255;  // entries waiting (transitions, and motion in front of one)
    // Failed writes written again at once; more in a row wait for the session's back-off.
    static constexpr int MaxResends = 2;

    TSendScheduler() = default;
    TSendScheduler(const TSendScheduler&) = delete;
    TSendScheduler& operator=(const TSendScheduler&) = delete;

    // ---- producers
    // A keyboard transition: the whole keyboard state as built for the dongle. An empty report is
    // ignored.
    void PushKeyboard(const THidReport& report);
    // Mouse input: its motion joins the accumulator; a changed button state becomes a transition
    // behind the motion so far. forceState makes it a transition even when the buttons are the
    // same (an all-released report that must be written whatever the scheduler believes).
    void PushMouse(const TMouseSnapshot& mouse, bool forceState = false);

    // ---- consumer
    // The report to write now, or nothing (a write is in the platform's hands, or nothing waits).
    // The report handed out is in the platform's hands until Completed or Abandon with its ticket.
    std::optional<TScheduledReport> Next();
    // The write with this ticket completed (ok: it succeeded). A ticket not in the platform's hands
    // (0, or one already ended) is a late report: its failure counts as a failure of some earlier
    // write (see the policy above), its success means nothing.
    void Completed(uint64_t ticket, bool ok);
    // The report with this ticket was not written (nowhere to write it).
    void Abandon(uint64_t ticket);

    // ---- state
    bool InFlight() const;
    // Entries waiting, plus the write in the platform's hands.
    int PendingTransitions() const;
    // Nothing waits (motion included) and nothing is in the platform's hands.
    bool Idle() const;
    // Transitions merged away because the queue was full, since the start.
    uint32_t MergedTransitions() const;
    // Collapses that had to drop keyboard states a button change was made with, since the start.
    uint32_t LastResortCollapses() const;
    // Writes failed since the last success. The scheduler writes the newest states again however
    // many fail; beyond MaxResends in a row the session backs off before the next write.
    int FailuresInARow() const;

    struct TStats {
        uint32_t WriteRoundTripUs = 0;  // smoothed: handed out -> completed
        uint32_t QueueWaitUs = 0;       // smoothed: queued (or first motion) -> handed out
        bool FallingBehind = false;
        // How long nothing has waited or been in the platform's hands, since the last write
        // completed; 0 while something is on its way. The figures above are of the last activity
        // and say nothing about a link that is quiet now.
        uint32_t IdleUs = 0;
    };
    TStats Stats() const;

  private:
    struct TEntry {
        TSendKind Kind = TSendKind::Keyboard;
        bool Transition = false;  // a key or button change; a mouse entry without it is motion
        THidReport Keyboard;
        uint8_t Buttons = 0;  // mouse: the buttons every report of this entry carries
        int64_t X = 0;        // mouse: motion still to go out with those buttons
        int64_t Y = 0;
        int64_t Wheel = 0;
        TClock::time_point Queued;
    };
    // The collapse's working list: the queue as it is, then as each step leaves it. A step adds
    // at most one entry per button (the lets-go of step 3), hence the room beyond Capacity.
    using TScratch = std::array<TEntry, Capacity + 8>;

    void AppendLocked(const TEntry& entry);
    void PushFrontLocked(const TEntry& entry);
    void CollapseLocked();
    int DropKeyboardStates(int count, bool keepAtButtons);
    void FindNextButtonStates(int count);
    int DropButtonStates(int count, bool fewerButtonsForMotion);
    int KeepLastButtonStates(int count);
    void FlushMotionLocked();
    void RepairLocked(TClock::time_point now);
    bool TransitionWaitingLocked(TSendKind kind) const;
    TEntry& At(int i) { return FRing[static_cast<size_t>((FHead + i) % Capacity)]; }
    const TEntry& At(int i) const { return FRing[static_cast<size_t>((FHead + i) % Capacity)]; }
    // A report's worth of the entry's motion, taken out of it.
    static TMouseSnapshot TakeChunk(TEntry& entry);
    static bool HasMotion(const TEntry& e) { return e.X != 0 || e.Y != 0 || e.Wheel != 0; }
    static bool IsButtons(const TEntry& e) { return e.Kind == TSendKind::Mouse && e.Transition; }
    static bool IsMotion(const TEntry& e) { return e.Kind == TSendKind::Mouse && !e.Transition; }

    mutable std::mutex FLock;
    std::array<TEntry, Capacity> FRing{};
    TScratch FScratch{};
    TScratch FScratchOut{};
    // Per button state of FScratch: the next one's index (-1: none, or a keyboard state comes
    // first) and whether motion was made while it was held.
    struct TNextState {
        int At = -1;
        bool Moved = false;
    };
    std::array<TNextState, std::tuple_size_v<TScratch>> FNext{};
    int FHead = 0;
    int FCount = 0;

    // Motion not yet queued, made with the newest button state.
    TEntry FMotion;
    uint8_t FButtons = 0;
    // What the target holds once every mouse report handed out has arrived.
    uint8_t FHeadButtons = 0;

    // The write in the platform's hands (ticket 0: none), and what it was.
    uint64_t FTicket = 0;
    uint64_t FLastTicket = 0;
    TScheduledReport FInHands;
    TEntry FInHandsEntry;  // a transition's entry, to put back when its write fails
    uint8_t FHeadButtonsBefore = 0;
    TClock::time_point FHandedAt;
    TClock::time_point FCompletedAt;  // of the last write that left the platform's hands

    // The newest states pushed and the order they last changed in (for a repair).
    THidReport FLastKeyboard;
    bool FHasKeyboard = false;
    bool FHasButtons = false;
    uint64_t FKeyboardChangedAt = 0;
    uint64_t FButtonsChangedAt = 0;
    uint64_t FPushes = 0;

    int FFailuresInARow = 0;
    uint32_t FLastResorts = 0;
    uint32_t FMerged = 0;

    double FRoundTripUs = 0;
    double FQueueWaitUs = 0;
};
