#pragma once
// Typing a text into dongles: each character as its key pressed and then released (Shift in the
// press where the character needs it), fed to each dongle no faster than its link takes reports,
// so a long text never piles up below the session and can be cancelled at any point.
//
// Runs on the window's thread: the window calls Pump from a timer while Running(). Each dongle keeps
// its own place in the text, since links differ in speed. Whatever ends the typing (the end of the
// text, Cancel), every dongle's last report is the all-released one.

#include <cstddef>
#include <vector>

#include "device/UnitCorvastelDevice.h"
#include "hid/TextKeys.h"

class TTextTyper {
  public:
    // Reports a dongle may have waiting (the one being written included) before the next is fed:
    // two keep the link busy without making a cancel wait for a backlog.
    static constexpr int MaxQueued = 2;
    // Reports fed to one dongle per Pump at most, so a fast link cannot hold the window's thread.
    static constexpr int MaxPerPump = 64;

    TTextTyper(std::vector<TTextKey> Keys, std::vector<TCorvastelDevice*> Sessions);

    // Feeds each dongle what its link can take now.
    void Pump();
    // Stops feeding and releases every key on every dongle.
    void Cancel();
    // The session is going away: no more reports for it.
    void Forget(const TCorvastelDevice* Session);

    bool Running() const { return FRunning; }
    bool Cancelled() const { return FCancelled; }
    std::size_t Total() const { return FKeys.size(); }
    // Characters every remaining dongle has been fed (press and release queued).
    std::size_t Typed() const;
    int Targets() const { return static_cast<int>(FTargets.size()); }

  private:
    struct TTarget {
        TCorvastelDevice* Session;
        std::size_t Step = 0;  // 2 per character: press, release
    };
    void Feed(TTarget& Target);
    void Finish();

    std::vector<TTextKey> FKeys;
    std::vector<TTarget> FTargets;
    bool FRunning = true;
    bool FCancelled = false;
};
