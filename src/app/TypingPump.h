#pragma once
// A text being typed into dongles, from its start to how it ended: the window starts it with the
// planned targets, ticks it from a timer with the time of its typing clock, tells it when a target's
// session leaves the table, and cancels it. What it reports (how far it came, that it ended and why,
// which dongles did not get the whole text) the window turns into the progress dialog and a notice.
//
// No widget and no timer of its own, so each of these paths can be driven step by step with an
// injected time. Runs on the window's thread; at most one text at a time.

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/TextTyping.h"

// How a typing ended.
struct TTypingEnd {
    enum class TWhy {
        Finished,   // every remaining target got the whole text
        Cancelled,  // the user stopped it; every key was released on every target
        AllGone,    // every target went away before the end of the text
    };
    TWhy Why = TWhy::Finished;
    std::size_t Typed = 0;  // characters every remaining target got
    std::size_t Total = 0;
    // Dongles (by address) that did not get the whole text because they went away: first those gone
    // before the start, then those gone while it was typed, in the order they were chosen.
    std::vector<std::string> Gone;
    // Dongles (by address) whose lock lights were not reported in time: their text was typed as if
    // the lights were as last known.
    std::vector<std::string> LightsUnknown;
    // Dongles (by address) that left characters out, with how many: the target's Caps Lock was not
    // as when the text was planned, and they cannot be typed as it is.
    std::vector<std::pair<std::string, std::size_t>> Skipped;
};

// The reverse tables of the layouts typed on, each built once per run (building one reads the
// machine's keyboard data). A layout that cannot be built is not remembered: it is tried again.
class TLayoutKeysCache {
  public:
    // The table of the layout with this name; null and *Error when it cannot be used. The default
    // layout never fails: a machine without keyboard data types on the built-in US table.
    std::shared_ptr<const TLayoutKeys> Of(const std::string& Name, std::string* Error) {
        return Of(Name, TTargetSystem::Linux, Error);
    }
    // The table of the layout as a target running System makes it.
    std::shared_ptr<const TLayoutKeys> Of(const std::string& Name, TTargetSystem System, std::string* Error);

  private:
    std::map<std::pair<std::string, TTargetSystem>, std::shared_ptr<const TLayoutKeys>> FKeys;
};

class TTypingPump {
  public:
    using TClock = TTextTyper::TClock;

    TTypingPump() = default;
    // The typer under way reads this pump's time: the pump stays where it was made.
    TTypingPump(const TTypingPump&) = delete;
    TTypingPump& operator=(const TTypingPump&) = delete;

    // A text is under way, or its end was not reported yet (the next Tick reports it).
    bool Running() const { return FTyper != nullptr; }
    // Starts typing Targets' plans. GoneBefore: dongles chosen that went away before the start (they
    // are named when it ends). Nothing happens while a text is typed already (false).
    bool Start(std::vector<TTypingTarget> Targets, std::vector<std::string> GoneBefore,
               TClock::time_point Now);
    // Feeds every target what its link and pace take at Now; the end once it came (only once).
    std::optional<TTypingEnd> Tick(TClock::time_point Now);
    // Stops with every key released on every remaining target; the end (none when nothing ran).
    std::optional<TTypingEnd> Cancel();
    // The session is leaving the table: nothing more is sent to it, and it is named at the end.
    // The end itself comes with the next Tick.
    void TargetGone(const TCorvastelDevice* Session);

    std::size_t Typed() const { return FTyper != nullptr ? FTyper->Typed() : 0; }
    std::size_t Total() const { return FTyper != nullptr ? FTyper->Total() : 0; }

  private:
    TTypingEnd End();

    struct TChosen {
        const TCorvastelDevice* Session;
        std::string Address;
        bool Gone = false;
    };
    std::unique_ptr<TTextTyper> FTyper;
    std::vector<TChosen> FChosen;
    std::vector<std::string> FGoneBefore;
    TClock::time_point FNow{};
};
