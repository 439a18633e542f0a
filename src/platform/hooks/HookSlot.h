#pragma once
// The desktop-wide keyboard and mouse hooks of a capture backend that reads the devices itself
// (X11, evdev): one slot each, which slot an install or a handle names, and the notification of the
// handler, which may switch its own hook off (or over) while it runs.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/hooks/HookPlatform.h"

struct THookSlot {
    THookEntryPoint Entry;
    unsigned Generation = 0;  // changes on every install/remove, so a dispatch sees a switch

    void Take(THookEntryPoint entry) {
        Entry = std::move(entry);
        ++Generation;
    }
    void Release() {
        Entry = {};
        ++Generation;
    }
    // Hands the record to the handler. Its answer (nonzero: swallow the event), or nullopt when the
    // notification switched the hook off (or over), so that the answer belongs to no hook.
    template <class TRecord>
    std::optional<intptr_t> Notify(uint32_t kind, TRecord& record) {
        const unsigned generation = Generation;
        const intptr_t result = Entry(0, kind, reinterpret_cast<uintptr_t>(&record));
        if (generation != Generation || !Entry) {
            return std::nullopt;
        }
        return result;
    }
};

// A capture backend's hook calls that only pass on: a hook takes its events (grab) or watches them,
// and there is no next hook to call, since a taken event cannot be delivered any more and a watched
// one already has been.
class TCaptureHookPlatform : public THookPlatform {
  public:
    THookHandle InstallHook(int32_t kind, THookEntryPoint entry, int32_t threadId) override {
        return Install(kind, std::move(entry), threadId, true);
    }
    THookHandle InstallWatchingHook(int32_t kind, THookEntryPoint entry, int32_t threadId) override {
        return Install(kind, std::move(entry), threadId, false);
    }
    intptr_t CallNextHook(THookHandle, int32_t, uint32_t, uintptr_t) override { return 0; }

  protected:
    // take: the events are taken from everyone else while the handler swallows them.
    virtual THookHandle Install(int32_t kind, THookEntryPoint entry, int32_t threadId, bool take) = 0;
};

// The slot an install of `kind` asks for; nullptr with the user-facing reason in `failure` when
// the hook cannot be installed (only one desktop-wide keyboard and one mouse hook exist).
template <class TSlot>
TSlot* SlotToInstall(TSlot& keyboard, TSlot& mouse, int32_t kind, const THookEntryPoint& entry,
                     int32_t threadId, std::string& failure) {
    TSlot* slot = kind == HookKindKeyboardLowLevel ? &keyboard
                  : kind == HookKindMouseLowLevel  ? &mouse
                                                   : nullptr;
    if (slot == nullptr || !entry || threadId != 0) {
        failure = "Only desktop-wide keyboard and mouse hooks are available.";
        return nullptr;
    }
    if (slot->Entry) {
        failure = "The hook is already installed.";
        return nullptr;
    }
    return slot;
}

// Releases the installed slot a handle names and returns it, so the backend can undo what the hook
// needed (a grab); nullptr for any other handle (removed already, or not ours).
template <class TSlot>
TSlot* ReleaseInstalledSlot(TSlot& keyboard, TSlot& mouse, THookHandle hook) {
    TSlot* slot = hook == &keyboard ? &keyboard : hook == &mouse ? &mouse : nullptr;
    if (slot == nullptr || !slot->Entry) {
        return nullptr;
    }
    slot->Release();
    return slot;
}
