#include "app/ReconnectPolicy.h"

#include <algorithm>

void TReconnectPolicy::Dropped(const std::string& Address, TTime Now) {
    FEntries.try_emplace(Address, TEntry{Now + FirstDelay, FirstDelay, false});
}

void TReconnectPolicy::Forget(const std::string& Address) {
    FEntries.erase(Address);
}

std::vector<std::string> TReconnectPolicy::TakeDue(TTime Now) {
    std::vector<std::string> due;
    for (auto& [address, entry] : FEntries) {
        if (!entry.Trying && entry.Due <= Now) {
            entry.Trying = true;
            due.push_back(address);
        }
    }
    return due;
}

void TReconnectPolicy::AttemptFailed(const std::string& Address, TTime Now) {
    const auto it = FEntries.find(Address);
    if (it == FEntries.end() || !it->second.Trying) {
        return;
    }
    TEntry& entry = it->second;
    entry.Delay = std::min(entry.Delay * 2, LongestDelay);
    entry.Due = Now + entry.Delay;
    entry.Trying = false;
}

void TReconnectPolicy::RadioBack(TTime Now) {
    for (auto& [address, entry] : FEntries) {
        entry.Delay = FirstDelay;
        if (!entry.Trying) {
            entry.Due = Now;
        }
    }
}

bool TReconnectPolicy::Trying(const std::string& Address) const {
    const auto it = FEntries.find(Address);
    return it != FEntries.end() && it->second.Trying;
}

TReconnectPolicy::TDelay TReconnectPolicy::Delay(const std::string& Address) const {
    const auto it = FEntries.find(Address);
    return it == FEntries.end() ? TDelay{0} : it->second.Delay;
}

std::optional<TReconnectPolicy::TTime> TReconnectPolicy::NextDue() const {
    std::optional<TTime> next;
    for (const auto& [address, entry] : FEntries) {
        if (!entry.Trying && (!next || entry.Due < *next)) {
            next = entry.Due;
        }
    }
    return next;
}

std::vector<std::string> TReconnectPolicy::Addresses() const {
    std::vector<std::string> out;
    for (const auto& [address, entry] : FEntries) {
        out.push_back(address);
    }
    return out;
}
