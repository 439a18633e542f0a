#pragma once
// Typing a text into dongles: each character as its keys pressed and then released (a dead key
// first where the target's layout needs one; Shift and AltGr in the press where the character
// needs them), fed to each dongle no faster than its link takes reports, so a long text never
// piles up below the session and can be cancelled at any point.
//
// Runs on the window's thread: the typing pump (TypingPump.h) calls Pump on each of its ticks while
// Running(). Each dongle keeps its own place in the text, since links differ in speed, and has its
// own layout and pace. Whatever ends the typing (the end of the text, Cancel), every dongle's last
// report is the all-released one.
//
// The keys of a character depend on the target's Caps Lock and Num Lock. The typer takes them from
// the dongle's light report before the first character (waiting up to LightsWait for one where the
// dongle has not reported them yet, or a lock key was pressed since its last report), and from then
// on keeps them itself, turning them as the lock keys it sends do: a light report still on its way
// must not decide a character.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/UnitCorvastelDevice.h"
#include "hid/KeySequence.h"
#include "hid/TextKeys.h"

// What one dongle is to type.
struct TTypingTarget {
    TCorvastelDevice* Session = nullptr;
    std::shared_ptr<const TLayoutKeys> Layout;
    // The characters its layout types, in text order (PlanTyping).
    std::u32string Characters;
    // Least time between two reports (a key held that long, and keys that far apart), for targets
    // that miss keys coming fast; 0: as fast as the link takes them.
    std::chrono::milliseconds Pace{0};
    // How the characters the layout lacks are entered by their code (Off: they were left out).
    TUnicodeEntry Entry = TUnicodeEntry::Off;
    // A key sequence's keys and waits, each where a KeyStepMark stands in Characters
    // (PlanKeySequence); empty for a plain text.
    std::vector<TSequenceStep> Steps = {};
};

class TTextTyper {
  public:
    using TClock = std::chrono::steady_clock;
    // Reports a dongle may have waiting (the one being written included) before the next is fed:
    // two keep the link busy without making a cancel wait for a backlog.
    static constexpr int MaxQueued = 2;
    // Reports fed to one dongle per Pump at most, so a fast link cannot hold the window's thread.
    static constexpr int MaxPerPump = 64;
    // How long a dongle's lock lights are waited for before its first character: a dongle reports
    // them within a link's round trip of a lock key, or never.
    static constexpr std::chrono::milliseconds LightsWait{300};

    explicit TTextTyper(std::vector<TTypingTarget> Targets,
                        std::function<TClock::time_point()> Now = TClock::now);

    // Feeds each dongle what its link (and its pace) can take now.
    void Pump();
    // Stops feeding and releases every key on every dongle.
    void Cancel();
    // The session is going away: no more reports for it.
    void Forget(const TCorvastelDevice* Session);

    bool Running() const { return FRunning; }
    bool Cancelled() const { return FCancelled; }
    // Characters of the longest plan (targets of different layouts may skip different ones).
    std::size_t Total() const;
    // Characters every remaining dongle has been fed (press and release queued).
    std::size_t Typed() const;
    int Targets() const { return static_cast<int>(FTargets.size()); }
    // The sessions whose lock lights were not reported in time: typed with the lights last known.
    std::vector<const TCorvastelDevice*> LightsUnknown() const;
    // Characters left out on a session because its Caps Lock was not as when the text was planned
    // and they cannot be typed as it is.
    std::vector<std::pair<const TCorvastelDevice*, std::size_t>> Skipped() const;

  private:
    struct TTarget {
        TTypingTarget Plan;
        std::size_t Done = 0;             // characters fed completely
        std::size_t Step = 0;             // report within the current character
        std::vector<TKeyStroke> Reports;  // the current character's reports, chosen at its first one
        TClock::time_point LastFed{};
        // The target's lock lights as this typer knows them; unset until the first character.
        std::optional<uint8_t> Locks;
        std::optional<TClock::time_point> WaitingSince;
        bool LightsUnknown = false;
        std::size_t Skipped = 0;
        // A hold or wait of a key step runs until Due.
        bool Timing = false;
        TClock::time_point Due{};
    };
    // Whether the target's lock lights are known (or no longer waited for); starts the wait.
    bool LightsReady(TTarget& Target);
    void Feed(TTarget& Target);
    // Feeds the key step at Target's place what is due of it; false when it must wait.
    bool FeedKeyStep(TTarget& Target);
    void Finish();

    std::vector<TTarget> FTargets;
    std::size_t FTotal = 0;
    std::function<TClock::time_point()> FNow;
    bool FRunning = true;
    bool FCancelled = false;
};
