#include "input/UnitKeyHook.h"

#include "platform/GeneralError.h"

#include <cstring>
#include <utility>

TCustomHook::TCustomHook(std::shared_ptr<THookPlatform> platform)
    : FPlatform(platform ? std::move(platform) : DefaultHookPlatform()) {
    // The platform calls a plain function; the object travels as its context.
    FHookProc = THookEntryPoint{&TCustomHook::EntryPoint, this};
    FHook = nullptr;
    FActive = false;
    FThreadID = FPlatform->CurrentThreadId();
}

TCustomHook::~TCustomHook() {
    SetActive(false);
    FHookProc = THookEntryPoint{};
}

void TCustomHook::SetActive(bool Value) {
    if (Value == FActive) {
        return;
    }
    FActive = Value;
    if (Value) {
        const int32_t kind = GetHookKind();
        // Low-level hooks exist only desktop-wide; a thread filter would make the install fail.
        if (kind == WH_KEYBOARD_LL || kind == WH_MOUSE_LL) {
            FThreadID = 0;
        }
        FHook = FStartsSwallowing ? FPlatform->InstallHook(kind, FHookProc, FThreadID)
                                  : FPlatform->InstallWatchingHook(kind, FHookProc, FThreadID);
        if (FHook == nullptr) {
            FActive = false;
            throw EHookError(std::string(ClassName()) + " CREATION FAILED!", FPlatform->FailureReason());
        }
    } else {
        if (FHook != nullptr) {
            FPlatform->RemoveHook(FHook);
        }
        FHook = nullptr;
    }
}

intptr_t TCustomHook::EntryPoint(void* self, int32_t code, uint32_t kind, uintptr_t record) {
    auto* hook = static_cast<TCustomHook*>(self);
    try {
        return hook->ProcessEvent(code, kind, record);
    } catch (...) {
        // An exception must not unwind through the OS's hook dispatch. A failing handler is shown to
        // the user and its event goes on, so a broken handler cannot eat the desktop's input.
        ReportCurrentException();
        return hook->FPlatform->CallNextHook(hook->FHook, code, kind, record);
    }
}

intptr_t TCustomHook::ProcessEvent(int32_t code, uint32_t kind, uintptr_t record) {
    TMessage HookMsg;
    HookMsg.Msg = kind;
    HookMsg.WParam = record;
    HookMsg.Result = 0;
    bool Handled = false;
    DoPreExecute(HookMsg, Handled);
    if (Handled) {
        return HookMsg.Result;
    }
    HookMsg.Result = FPlatform->CallNextHook(FHook, code, kind, record);
    DoPostExecute(HookMsg);
    return HookMsg.Result;
}

void TCustomHook::DoPreExecute(TMessage& HookMsg, bool& Handled) {
    if (FOnPreExecute) {
        FOnPreExecute(static_cast<THook&>(*this), HookMsg);
    }
    Handled = HookMsg.Result != 0;
}

void TCustomHook::DoPostExecute(TMessage& HookMsg) {
    if (FOnPostExecute) {
        FOnPostExecute(static_cast<THook&>(*this), HookMsg);
    }
}

void TLowLevelKeyboardHook::DoPreExecute(TMessage& HookMsg, bool& Handled) {
    std::memcpy(&FHookStruct, reinterpret_cast<const void*>(HookMsg.WParam), sizeof FHookStruct);
    TKeyboardState state;
    Platform().GetKeyboardState(state);
    FKeyboardState = state;
    THook::DoPreExecute(HookMsg, Handled);
}

void TLowLevelKeyboardHook::DoPostExecute(TMessage& HookMsg) {
    THook::DoPostExecute(HookMsg);
    FHookStruct = {};
    FKeyboardState = {};
    // Clearing keeps the string's buffer, so this allocates nothing.
    FKeyNames.ScanCode = 0;
    FKeyNames.KeyChar = 0;
    FKeyNames.KeyExtName.clear();
    FKeyNames.UsageId = 0;
}

void TLowLevelMouseHook::DoPreExecute(TMessage& HookMsg, bool& Handled) {
    std::memcpy(&FHookStruct, reinterpret_cast<const void*>(HookMsg.WParam), sizeof FHookStruct);
    FMouseState = HookMsg.Msg;
    THook::DoPreExecute(HookMsg, Handled);
}

void TLowLevelMouseHook::DoPostExecute(TMessage& HookMsg) {
    THook::DoPostExecute(HookMsg);
    FHookStruct = {};
}

TComponent::~TComponent() {
    while (!FComponents.empty()) {
        FComponents.pop_back();
    }
}

void TComponent::InsertComponent(std::unique_ptr<TComponent> AComponent) {
    FComponents.push_back(std::move(AComponent));
}
