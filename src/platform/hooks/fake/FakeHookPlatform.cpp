#include "platform/hooks/fake/FakeHookPlatform.h"

#include <stdexcept>

THookHandle TFakeHookPlatform::InstallHook(int32_t kind, THookEntryPoint entry, int32_t threadId) {
    if (FailInstalls || !UnavailableReason.empty() || !entry || FHooks.count(kind) != 0) {
        FFailureReason = UnavailableReason.empty() ? "the fake refuses this install" : UnavailableReason;
        Installs.push_back({kind, threadId, nullptr});
        return nullptr;
    }
    FFailureReason.clear();
    auto handle = reinterpret_cast<THookHandle>(FNextHandle++);
    FHooks[kind] = {handle, entry};
    Installs.push_back({kind, threadId, handle});
    return handle;
}

void TFakeHookPlatform::RemoveHook(THookHandle hook) {
    Removes.push_back(hook);
    for (auto it = FHooks.begin(); it != FHooks.end(); ++it) {
        if (it->second.Handle == hook) {
            FHooks.erase(it);
            return;
        }
    }
}

intptr_t TFakeHookPlatform::CallNextHook(THookHandle hook, int32_t code, uint32_t kind, uintptr_t record) {
    NextHookCalls.push_back({hook, code, kind, record});
    return NextHookResult;
}

intptr_t TFakeHookPlatform::Feed(int32_t hookKind, uint32_t eventKind, const THookKeyboardRecord& record,
                                 int32_t code) {
    return FeedRecord(hookKind, eventKind, reinterpret_cast<uintptr_t>(&record), code);
}

intptr_t TFakeHookPlatform::Feed(int32_t hookKind, uint32_t eventKind, const THookMouseRecord& record,
                                 int32_t code) {
    return FeedRecord(hookKind, eventKind, reinterpret_cast<uintptr_t>(&record), code);
}

intptr_t TFakeHookPlatform::FeedRecord(int32_t hookKind, uint32_t eventKind, uintptr_t record, int32_t code) {
    auto it = FHooks.find(hookKind);
    if (it == FHooks.end()) {
        throw std::logic_error("no hook of kind " + std::to_string(hookKind) + " is installed");
    }
    // A copy: the notification may switch its own hook off while it runs.
    const THookEntryPoint entry = it->second.Entry;
    return entry(code, eventKind, record);
}
