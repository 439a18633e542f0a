#pragma once
// What one dongle's link carries, learned from what the platform shows, and the pace the session
// hands writes to the platform at.
//
// Why it is needed: on BlueZ a write without response is confirmed as soon as bluetoothd has
// queued it, and nothing says the connection interval or how much bluetoothd still holds. Written
// as fast as they are confirmed, reports pile up in bluetoothd and keys wait behind seconds of
// motion. The one honest signal is a write with response: bluetoothd sends it after the writes
// without response queued before it and the kernel's channel is first in, first out, so its answer
// comes once everything made before it has reached the dongle.
//
// The model:
//  - The stack delivers Rate writes a second. Between answers the writes made are counted into a
//    modelled backlog that drains at that rate; an answer empties it (all made before it are there).
//  - An answer whose round trip is well beyond what the model predicted means the link carried
//    less than the model thought: the rate becomes what was measured to be delivered while the link
//    was busy. An answer on time after writes were held back by the pace lets the rate grow.
//  - An answer to a write made right after an answer with nothing queued before it measures about
//    one connection event. The interval is a floor: the least of the recent such round trips
//    (IntervalMemory). A longer one says the link or the stack was busy, not that the link got
//    slower; once the short ones have aged out, the longer ones are the link. A write made at a
//    random moment waits less than an event: those count only while no such round trip is recent.
//  - What one answer says can be wrong: a busy peer answers late, the app's own Bluetooth thread
//    may sit on a completion (TAnswer::Delayed). An answer later than AnswerBound (but the first, or
//    the second such in a row: then it is the link), a failed one, or one the app's own thread
//    held up is no sample.
//  - What the stack holds stays at about one connection event's worth (Rate x Interval). Motion
//    takes only part of the rate and of that room, so a key made now finds room in the next event.
//  - Where keys go only with response, each write holds the link for an event and the next waits
//    for its answer: a motion write made between two keys is one event the next key waits for, and
//    typing alone can use every event. There motion waits until no key or button change has been
//    made for KeysQuietEvents event spacings; it is merged meanwhile, so nothing of it is lost.
//  - While writes without response flow, a write with response is asked for now and then
//    (ProbeDue): it re-measures the link and bounds how far the model can drift.
//
// Every method takes the time it is called at, so tests drive it with a clock of their own. Not
// thread-safe: the session calls it under its own lock.

#include <chrono>
#include <cstdint>

class TLinkEstimator {
  public:
    using TClock = std::chrono::steady_clock;
    using TTime = TClock::time_point;
    using TDuration = TClock::duration;

    // The shortest connection interval BLE allows, one write per event: the start guess.
    static constexpr std::chrono::microseconds ShortestInterval{7500};
    // How often a write with response is asked for while writes without response flow: a key's,
    // or a motion write's when no key came for longer.
    static constexpr std::chrono::milliseconds ProbeEvery{250};
    static constexpr std::chrono::milliseconds MotionProbeEvery{1000};
    // How often the event spacing is measured again under load: the write right after an answer
    // goes with response too, with nothing queued before it.
    static constexpr std::chrono::milliseconds CleanEvery{1000};
    // An answer that has not come after this long is taken as lost (its completion went astray):
    // measuring goes on with the next write with response.
    static constexpr std::chrono::milliseconds ProbeLost{4000};
    // How long the interval remembers a short round trip.
    static constexpr std::chrono::milliseconds IntervalMemory{2000};
    // The bounds of AnswerBound: a request's answer is awaited at least and at most this long
    // before what may pass it stops waiting for it.
    static constexpr std::chrono::milliseconds AnswerBoundMin{100};
    static constexpr std::chrono::milliseconds AnswerBoundMax{400};
    // Where keys go only with response: event spacings without a key or button change before
    // motion is written again (typing at ten keys a second leaves gaps shorter than that on slow
    // links).
    static constexpr int KeysQuietEvents = 3;

    TLinkEstimator() = default;
    // A fixed pace, kept for comparison: one write without response per interval (writes with
    // response go when answered), never learning, never asking for a write with response.
    static TLinkEstimator Fixed(std::chrono::microseconds interval);

    // A write was handed to the platform (motion: it carries only motion, no transition).
    void Made(bool withResponse, bool motion, TTime now);
    // How a write with response ended.
    enum class TAnswer : uint8_t {
        Ok,       // answered: everything made before it is at the dongle
        Failed,   // failed or timed out: the stack is done with it, but its round trip says nothing
        Delayed,  // answered, but the app's own Bluetooth thread held the completion up (a call
                  // that blocked it): the round trip measures that thread, not the link
    };
    // The write with response in the platform's hands was answered (either way the stack is done
    // with everything before it).
    void Answered(TTime now, TAnswer how = TAnswer::Ok);
    // How long the write with response out may go unanswered before the writes that may pass it
    // stop waiting for it: a few of its predicted round trips, within AnswerBoundMin..Max. Its
    // answer, when it comes later, is no sample.
    TDuration AnswerBound() const;
    // When the write with response out is overdue (max: none is out).
    TTime AnswerOverdueAt() const;
    // The link went down or came up again: nothing is held any more.
    void Reset(TTime now);

    // Whether the next write (a key or button transition, or motion) should be made with response
    // to measure the link.
    bool ProbeDue(bool transition, TTime now) const;
    // The earliest time the next write may be handed to the platform: a key or button transition,
    // or motion (which leaves room for keys).
    TTime NextWriteAt(bool transition, TTime now) const;
    // Whether keys can go only with response (the keyboard's characteristic takes no write
    // without response). Then every write takes a connection event of its own, one at a time, and
    // typing alone can fill the link: motion waits while keys come (see NextWriteAt).
    void SetKeysWithResponse(bool on) { FKeysWithResponse = on; }
    // Pacing held a write back; the next on-time answer may let the rate grow.
    void Held() { FHeldBack = true; }
    // When everything handed over so far is estimated to have reached the dongle.
    TTime DeliveredBy(TTime now) const;

    struct TFigures {
        double WritesPerSecond = 0;  // what the link is estimated to deliver
        TDuration Interval{};        // estimated connection event spacing (a round trip when idle)
        TDuration KeyLatency{};      // estimated time for a key made now to reach the dongle
        bool Measured = false;       // at least one answer has come
        // Motion alone, merged into one write per event, takes more than the link leaves it.
        bool CannotKeepUp = false;
    };
    TFigures Figures(TTime now) const;

  private:
    double BacklogAt(TTime now) const;
    // Writes an event carries, as learned (at least one).
    double PerEvent() const;
    // The time the modelled backlog takes to drain to target writes.
    TTime DrainedTo(double target, TTime now) const;

    bool FFixed = false;
    double FRate = 1e6 / static_cast<double>(ShortestInterval.count());  // writes per second
    TDuration FInterval = ShortestInterval;
    bool FMeasured = false;

    double FBacklog = 0;  // modelled writes in the stack at FBacklogAt
    TTime FBacklogAt{};
    TTime FLastCommand{};
    TTime FLastMotionAt{};
    TTime FLastTransitionAt{};
    bool FTransitionMade = false;
    bool FKeysWithResponse = false;
    bool FHeldBack = false;

    bool FProbeInFlight = false;
    TTime FProbeMadeAt{};
    double FProbeBacklog = 0;  // modelled backlog when the probe was made, the probe included
    int FMadeSinceAnswer = 0;  // writes made since the last answer (a probe included)
    int FMadeAfterProbe = 0;   // ... of them, made after the probe out (they went past it)
    TTime FBusySince{};        // when the first of them was made
    TTime FLastAnswer{};
    bool FAnswered = false;
    TDuration FLastRoundTrip{};
    // Round trips of writes with response made right after an answer with nothing before them in
    // the stack; the interval is the least of those within IntervalMemory.
    struct TSample {
        TDuration RoundTrip{};
        TTime At{};
    };
    static constexpr int SampleCount = 16;
    TSample FSamples[SampleCount]{};
    int FSampleCount = 0;
    int FSampleNext = 0;
    bool FProbeAfterAnswer = false;  // the probe out was made right after an answer
    int FRandomSamples = 0;          // clean round trips of writes made at random moments
    bool FLastOverdue = false;       // the last answer came after AnswerBound
    TTime FLastClean{};
    bool FCleanDue = false;  // the next write measures the event spacing again
};
