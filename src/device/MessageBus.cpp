#include "device/MessageBus.h"

#include <algorithm>
#include <exception>

TMessageManager& TMessageManager::DefaultManager() {
    static TMessageManager manager;
    return manager;
}

int TMessageManager::SubscribeType(std::type_index type, std::function<void(const TMessageBase&)> fn) {
    auto entry = std::make_shared<TEntry>();
    entry->fn = std::move(fn);
    std::lock_guard lock(FLock);
    entry->id = ++FNextId;
    FListeners[type].push_back(std::move(entry));
    return FNextId;
}

void TMessageManager::UnsubscribeType(std::type_index type, int id) {
    std::shared_ptr<TEntry> entry;
    {
        std::lock_guard lock(FLock);
        auto it = FListeners.find(type);
        if (it == FListeners.end())
            return;
        auto& list = it->second;
        auto pos = std::find_if(list.begin(), list.end(), [id](const auto& e) { return e->id == id; });
        if (pos == list.end())
            return;
        entry = *pos;
        list.erase(pos);
        if (list.empty())
            FListeners.erase(it);
    }
    // Sends that took their snapshot before the removal skip the entry from now on; wait for the
    // calls already inside it on other threads.
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(entry->lock);
    entry->removed = true;
    entry->idle.wait(lock, [&] {
        return std::all_of(entry->callers.begin(), entry->callers.end(), [&](auto t) { return t == self; });
    });
}

void TMessageManager::SendMessage(const void* /*sender*/, std::unique_ptr<TMessageBase> message) {
    if (!message)
        return;
    const TMessageBase& m = *message;
    std::vector<std::shared_ptr<TEntry>> snapshot;
    {
        std::lock_guard lock(FLock);
        auto it = FListeners.find(typeid(m));
        if (it != FListeners.end())
            snapshot = it->second;
    }
    std::exception_ptr firstError;
    const auto self = std::this_thread::get_id();
    for (const auto& entry : snapshot) {
        {
            std::lock_guard lock(entry->lock);
            if (entry->removed)
                continue;
            entry->callers.push_back(self);
        }
        try {
            entry->fn(m);
        } catch (...) {
            if (!firstError)
                firstError = std::current_exception();
        }
        {
            std::lock_guard lock(entry->lock);
            entry->callers.erase(std::find(entry->callers.begin(), entry->callers.end(), self));
        }
        entry->idle.notify_all();
    }
    message.reset();
    if (firstError)
        std::rethrow_exception(firstError);
}
