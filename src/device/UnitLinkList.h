#pragma once
// The send scheduler of one session: what goes to the dongle next, and what waits. The link is the
// bottleneck (a BLE link carries one report per connection interval or a few, a mouse makes a
// thousand events a second), so the whole send policy lives here, in one place:
//
//  - Writes in the platform's hands: as many as the pacing allows (one by default: Qt's BlueZ
//    backend keeps one WriteValue in flight per device), and never two transitions. Next() hands
//    one out with a ticket, Completed(ticket) or Abandon(ticket) ends it. A completion whose ticket
//    is not in the platform's hands (a failure the platform reports after the write was already
//    completed) ends nothing: it never frees the place of another write.
//  - Key and button transitions are an ordered queue. A keyboard report carries the whole keyboard
//    state, a button change the whole button state; they are written in the order they came and
//    never merged away while there is room. The next transition is handed out only once the one
//    before it completed, so their order holds whatever order the stack gives writes of different
//    characteristics or kinds (BlueZ lets queued writes without response overtake a request).
//  - Relative motion and wheel accumulate and go out as one report when the queue is empty, so
//    keys and clicks never wait behind motion that is not yet in the platform's hands. Motion that
//    came before a button change is put in front of it, with the buttons held while it was made
//    (a click lands where the pointer was moved to). Sums beyond what one report carries go out as
//    several reports; nothing is clamped away.
//  - A key pushed while a motion write is in the platform's hands: with one write allowed there,
//    it waits for that one write's completion, never for more motion (it goes before any motion
//    at the next hand-out). A pacing that allows more writes there lets a transition go at once
//    while only motion is in flight; a mouse report never goes while a button transition is in
//    flight (a mouse report carries the buttons: it would stand in for a failed press).
//  - Memory is bounded: the queue holds at most Capacity entries. When it is full it collapses:
//    first every keyboard transition but the newest is dropped (the target passes through fewer
//    keyboard states, in order, ending in the newest); if that leaves less than a quarter free,
//    button transitions are dropped too, except the newest and those the motion needs: motion goes
//    with buttons that the target holds at its place and that were held when it was made (a drag
//    may become a plain move, a move never becomes a drag). The newest keyboard state and the
//    newest button state keep the order in which the user made them; no press or release is ever
//    made up, and all motion is kept.
//  - A failed write of a transition is written again in its own place: at the front of the
//    queue, since everything queued came after it and no later transition has been handed out.
//    A failed motion write, or a failure that names no write in the platform's hands, may have
//    been any earlier report: the newest keyboard state and the newest button state (those not
//    waiting anyway) go again at the front, in the order they last changed; repeating a state the
//    target should already have changes nothing. Motion is not written again (it may have
//    arrived). At most MaxResends writes again in a row; a success resets the count.
//
// Pacing is a seam: a TSendPacing given to the scheduler says how many writes may be in the
// platform's hands and when motion may go next, and is told of every hand-out and completion (the
// figures a link estimator learns from). It gives the clock too, so tests run on their own time.
// Transitions are never held back by pacing, only by the count in the platform's hands.
//
// Threads: producers (the input path) and the consumer (the session's send worker and the write
// completions) may be on different threads; every method takes the scheduler's lock. The pacing
// is called under that lock and must not call the scheduler.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

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

// What the link allows. The default: one write in the platform's hands, motion whenever the link
// is free (the backend's completions pace it), the steady clock.
class TSendPacing {
  public:
    using TClock = std::chrono::steady_clock;
    virtual ~TSendPacing() = default;
    virtual TClock::time_point Now() const { return TClock::now(); }
    // Writes the platform may hold at once (the scheduler keeps it within 1..MaxInHands).
    virtual int WritesInHands() const { return 1; }
    // Motion waits until this time (ignored when past); transitions never wait for it.
    virtual TClock::time_point MotionAllowedAt() const { return {}; }
    virtual void HandedOut(const TScheduledReport& /*report*/, TClock::time_point /*now*/) {}
    // ok: the platform reported success. handedAt: when Next() handed it out.
    virtual void Completed(const TScheduledReport& /*report*/, bool /*ok*/, TClock::time_point /*handedAt*/,
                           TClock::time_point /*now*/) {}
};

class TSendScheduler {
  public:
    using TClock = std::chrono::steady_clock;
    static constexpr int Capacity = 255;  // entries waiting (transitions and motion in front of one)
    static constexpr int MaxInHands = 8;
    static constexpr int MaxResends = 2;

    explicit TSendScheduler(std::shared_ptr<TSendPacing> pacing = nullptr);
    TSendScheduler(const TSendScheduler&) = delete;
    TSendScheduler& operator=(const TSendScheduler&) = delete;

    // Replaces the pacing (nullptr: the default). Writes in the platform's hands stay there.
    void SetPacing(std::shared_ptr<TSendPacing> pacing);

    // ---- producers
    // A keyboard transition: the whole keyboard state as built for the dongle. An empty report is
    // ignored.
    void PushKeyboard(const THidReport& report);
    // Mouse input: its motion joins the accumulator; a changed button state becomes a transition
    // behind the motion so far. forceState makes it a transition even when the buttons are the
    // same (an all-released report that must be written whatever the scheduler believes).
    void PushMouse(const TMouseSnapshot& mouse, bool forceState = false);

    // ---- consumer
    // The report to write now, or nothing (the platform holds all it may, the next transition
    // waits for the one in flight, motion waits for the pacing, or nothing waits). The report
    // handed out is in the platform's hands until Completed or Abandon with its ticket.
    std::optional<TScheduledReport> Next();
    // The write with this ticket completed (ok: it succeeded). A ticket not in the platform's hands
    // (0, or one already ended) is a late report: its failure counts as a failure of some earlier
    // write (see the policy above), its success means nothing.
    void Completed(uint64_t ticket, bool ok);
    // The report with this ticket was not written (nowhere to write it).
    void Abandon(uint64_t ticket);
    // When only the pacing holds motion back: the time to ask Next() again.
    std::optional<TClock::time_point> MotionWaitsUntil() const;

    // ---- state
    bool InFlight() const;
    // Entries waiting, plus the writes in the platform's hands.
    int PendingTransitions() const;
    // Nothing waits (motion included) and nothing is in the platform's hands.
    bool Idle() const;
    // Transitions merged away because the queue was full, since the start.
    uint32_t MergedTransitions() const;

    struct TStats {
        uint32_t WriteRoundTripUs = 0;  // smoothed: handed out -> completed
        uint32_t QueueWaitUs = 0;       // smoothed: queued (or first motion) -> handed out
        bool FallingBehind = false;
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
    struct TFlight {
        TScheduledReport Report;
        TEntry Entry;  // a transition's entry, to put back when its write fails
        TClock::time_point HandedAt;
        uint8_t HeadButtonsBefore = 0;
    };

    TClock::time_point NowLocked() const { return FPacing ? FPacing->Now() : TClock::now(); }
    int WindowLocked() const;
    void AppendLocked(const TEntry& entry);
    void PushFrontLocked(const TEntry& entry);
    void CollapseLocked();
    int CollapseButtonsLocked(const TEntry* in, int count, TEntry* out, bool keepForMotion);
    void FlushMotionLocked();
    void RepairLocked(TClock::time_point now);
    bool QueuedLocked(TSendKind kind, bool inHandsToo) const;
    TEntry& At(int i) { return FRing[static_cast<size_t>((FHead + i) % Capacity)]; }
    const TEntry& At(int i) const { return FRing[static_cast<size_t>((FHead + i) % Capacity)]; }
    // A report's worth of the entry's motion, taken out of it.
    static TMouseSnapshot TakeChunk(TEntry& entry);
    static bool HasMotion(const TEntry& e) { return e.X != 0 || e.Y != 0 || e.Wheel != 0; }

    mutable std::mutex FLock;
    std::shared_ptr<TSendPacing> FPacing;
    std::array<TEntry, Capacity> FRing{};
    // The collapse builds the new queue here (a few more than Capacity: it may add a state).
    std::array<TEntry, Capacity + 16> FScratch{};
    std::array<TEntry, Capacity + 16> FScratch2{};
    int FHead = 0;
    int FCount = 0;

    // Motion not yet queued, made with the newest button state.
    TEntry FMotion;
    uint8_t FButtons = 0;
    // What the target holds once every mouse report handed out has arrived.
    uint8_t FHeadButtons = 0;

    std::array<TFlight, MaxInHands> FFlights{};
    int FFlightCount = 0;
    uint64_t FLastTicket = 0;

    // The newest states pushed and the order they last changed in (for a repair).
    THidReport FLastKeyboard;
    bool FHasKeyboard = false;
    bool FHasButtons = false;
    uint64_t FKeyboardChangedAt = 0;
    uint64_t FButtonsChangedAt = 0;
    uint64_t FPushes = 0;

    int FFailuresInARow = 0;
    uint32_t FMerged = 0;

    double FRoundTripUs = 0;
    double FQueueWaitUs = 0;
};
