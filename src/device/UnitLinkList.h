#pragma once
// The send scheduler of one session: what goes to the dongle next, and what waits. The link is the
// bottleneck (a BLE link carries one report per connection interval or a few, a mouse makes a
// thousand events a second), so the whole send policy lives here, in one place:
//
//  - At most one report is in the platform's hands. Next() hands one out, Completed() ends it.
//  - Key and button transitions are an ordered queue. A keyboard report carries the whole keyboard
//    state, a button change the whole button state; they are written in the order they came and
//    never merged away while there is room.
//  - Relative motion and wheel accumulate while a write is in flight and go out as one report
//    when the link is free and no transition waits, so a key never waits behind motion. Motion that
//    came before a button change is put in front of it (a click lands where the pointer was moved
//    to). Sums beyond what one report carries go out as several reports; nothing is clamped away.
//  - Memory is bounded: the queue holds at most Capacity transitions. When it is full, the queued
//    transitions collapse into the newest keyboard state and the newest button state (motion summed
//    in front), so the target still ends in the newest state and no release is lost.
//  - A write that fails with no keyboard transition behind it sends the newest keyboard state again
//    (a lost key release would leave the key held and repeating on the target), at most
//    MaxKeyboardResends times in a row.
//
// Threads: producers (the input path) and the consumer (the session's send worker and the write
// completions) may be on different threads; every method takes the scheduler's lock.

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "hid/UnitCorvHid.h"

enum class TSendKind : uint8_t { Keyboard, Mouse };

// One report the scheduler hands out: a keyboard report's bytes, or a mouse report's content
// (buttons and motion within the limits of one report) for the session to frame.
struct TScheduledReport {
    TSendKind Kind = TSendKind::Keyboard;
    THidReport Keyboard;
    TMouseSnapshot Mouse;
};

class TSendScheduler {
  public:
    using TClock = std::chrono::steady_clock;
    static constexpr int Capacity = 255;  // transitions waiting
    static constexpr int MaxKeyboardResends = 2;

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
    // The report to write now, or nothing (a write is in flight, or nothing waits). The report
    // handed out is in flight until Completed or Abandon.
    std::optional<TScheduledReport> Next();
    // The write in flight completed (ok: it succeeded). A completion with nothing in flight (a
    // failure the platform reports late) only counts for the keyboard resend.
    void Completed(bool ok);
    // The report handed out was not written (nowhere to write it).
    void Abandon();

    // ---- state
    bool InFlight() const;
    // Transitions waiting, plus the one in flight.
    int PendingTransitions() const;
    // Nothing waits (motion included) and nothing is in flight.
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
        THidReport Keyboard;
        uint8_t Buttons = 0;  // mouse: the buttons every report of this entry carries
        int64_t X = 0;        // mouse: motion still to go out with those buttons
        int64_t Y = 0;
        int64_t Wheel = 0;
        TClock::time_point Queued;
    };

    void AppendLocked(const TEntry& entry);
    void CollapseLocked();
    void FlushMotionLocked();
    bool HasKeyboardQueuedLocked() const;
    TEntry& At(int i) { return FRing[static_cast<size_t>((FHead + i) % Capacity)]; }
    const TEntry& At(int i) const { return FRing[static_cast<size_t>((FHead + i) % Capacity)]; }
    // A report's worth of the entry's motion, taken out of it.
    static TMouseSnapshot TakeChunk(TEntry& entry);
    static bool HasMotion(const TEntry& e) { return e.X != 0 || e.Y != 0 || e.Wheel != 0; }

    mutable std::mutex FLock;
    std::array<TEntry, Capacity> FRing{};
    int FHead = 0;
    int FCount = 0;

    // Motion not yet handed out, with the newest button state (what the target has once the
    // transitions queued are written).
    TEntry FMotion;
    uint8_t FButtons = 0;

    bool FInFlight = false;
    TClock::time_point FHandedAt;

    THidReport FLastKeyboard;
    bool FHasKeyboard = false;
    int FFailuresInARow = 0;
    uint32_t FMerged = 0;

    double FRoundTripUs = 0;
    double FQueueWaitUs = 0;
};
