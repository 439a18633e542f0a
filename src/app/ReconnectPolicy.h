#pragma once
// When to try again to reach dongles that dropped without the user asking: the first try a second
// after the drop, then each wait twice the last, up to half a minute, for as long as it takes. A
// dongle leaves the schedule when it is back or when the user lets it go (disconnects it).
//
// Standard library only, with the time passed in: the window drives it from a timer, tests from a
// clock of their own. One thread (the window's).

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

class TReconnectPolicy {
  public:
    using TClock = std::chrono::steady_clock;
    using TTime = TClock::time_point;
    using TDelay = std::chrono::milliseconds;

    static constexpr TDelay FirstDelay{1000};
    static constexpr TDelay LongestDelay{30000};

    // The dongle at this address dropped: its first try falls due FirstDelay after now. A dongle
    // already on the schedule keeps its place.
    void Dropped(const std::string& Address, TTime Now);
    // It is back, or the user disconnected it: no further tries.
    void Forget(const std::string& Address);

    // The addresses whose try is due at Now, in address order; each is marked as being tried and
    // is not due again until its try ends (AttemptFailed).
    std::vector<std::string> TakeDue(TTime Now);
    // A try ended without the dongle being back: the next one waits twice as long (at most
    // LongestDelay) from Now.
    void AttemptFailed(const std::string& Address, TTime Now);
    // The radio is back (switched on, plugged in, the stack restarted): what failed for want of it
    // is due at Now, and its waits start again from FirstDelay. A try under way keeps going.
    void RadioBack(TTime Now);

    bool Scheduled(const std::string& Address) const { return FEntries.count(Address) != 0; }
    bool Trying(const std::string& Address) const;
    // The wait before the address's next try (the one after a failure of the current one).
    TDelay Delay(const std::string& Address) const;
    // When the earliest try not yet taken falls due; none when nothing waits.
    std::optional<TTime> NextDue() const;
    std::vector<std::string> Addresses() const;
    bool Empty() const { return FEntries.empty(); }

  private:
    struct TEntry {
        TTime Due{};
        TDelay Delay = FirstDelay;
        bool Trying = false;
    };
    std::map<std::string, TEntry> FEntries;
};
