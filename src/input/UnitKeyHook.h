#pragma once
// System-wide low-level keyboard and mouse hooks as objects. While a hook is Active the platform
// hands it every keyboard (or mouse) event of the desktop before any application sees it; the hook
// keeps a copy of the event, lets its pre-execute notification look at it and swallows the event
// when the notification sets HookMsg.Result non-zero. Otherwise the event goes on down the chain
// unchanged, the post-execute notification runs, and the hook's copies are zeroed.
//
// Standard library only; the OS side is a THookPlatform (platform/hooks/HookPlatform.h). The hooks
// are used from one thread, the one that switches them on (the window's thread): the platform calls
// them back there, and they take no locks. Nothing here allocates per event.
//
// Do not include <windows.h> in a translation unit that includes this header: the WM_* and LLKHF_*
// names below are the platform's own, which windows.h defines as macros.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/hooks/HookPlatform.h"

// Platform hook kinds.
inline constexpr int32_t WH_KEYBOARD_LL = HookKindKeyboardLowLevel;  // 13
inline constexpr int32_t WH_MOUSE_LL = HookKindMouseLowLevel;        // 14

// Keyboard event kinds.
inline constexpr uint32_t WM_KEYDOWN = HookEventKind::KeyDown;
inline constexpr uint32_t WM_KEYUP = HookEventKind::KeyUp;
inline constexpr uint32_t WM_SYSKEYDOWN = HookEventKind::SysKeyDown;
inline constexpr uint32_t WM_SYSKEYUP = HookEventKind::SysKeyUp;
// Mouse event kinds (the mouse hook's MouseState).
inline constexpr uint32_t WM_MOUSEMOVE = HookEventKind::MouseMove;
inline constexpr uint32_t WM_LBUTTONDOWN = HookEventKind::LButtonDown;
inline constexpr uint32_t WM_LBUTTONUP = HookEventKind::LButtonUp;
inline constexpr uint32_t WM_RBUTTONDOWN = HookEventKind::RButtonDown;
inline constexpr uint32_t WM_RBUTTONUP = HookEventKind::RButtonUp;
inline constexpr uint32_t WM_MBUTTONDOWN = HookEventKind::MButtonDown;
inline constexpr uint32_t WM_MBUTTONUP = HookEventKind::MButtonUp;
inline constexpr uint32_t WM_MOUSEWHEEL = HookEventKind::MouseWheel;
inline constexpr uint32_t WM_XBUTTONDOWN = HookEventKind::XButtonDown;
inline constexpr uint32_t WM_XBUTTONUP = HookEventKind::XButtonUp;
inline constexpr uint32_t WM_MOUSEHWHEEL = HookEventKind::MouseHWheel;
// Bits of KBDLLHOOKSTRUCT::flags.
inline constexpr uint32_t LLKHF_EXTENDED = HookKeyFlag::Extended;
inline constexpr uint32_t LLKHF_INJECTED = HookKeyFlag::Injected;
inline constexpr uint32_t LLKHF_ALTDOWN = HookKeyFlag::AltDown;
inline constexpr uint32_t LLKHF_UP = HookKeyFlag::Up;

// The keyboard event record: VkCode, ScanCode, flags, time, dwExtraInfo.
using KBDLLHOOKSTRUCT = THookKeyboardRecord;

// A key-name record. The keyboard hook zeroes it after each handed-on event; nothing fills it.
struct TKeyNames {
    int32_t ScanCode = 0;
    char32_t KeyChar = 0;
    std::string KeyExtName;
    int32_t UsageId = 0;
};

// The event message a notification receives. Msg: the event kind; WParam: the address of the event
// record; LParam: nothing; Result: 0 on entry, non-zero from the notification swallows the event.
// (Named apart from the message bus's TMessage<T>; inside the hook classes it is THook::TMessage.)
struct THookMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

class THook;

// A notification: the hook that received the event and its writable message.
using THookNotify = std::function<void(THook& Hook, THookMessage& HookMsg)>;

// Raised when switching a hook on fails. what() is "<class name> CREATION FAILED!"; Reason() is the
// platform's explanation in the user's terms (may be empty).
class EHookError : public std::runtime_error {
  public:
    EHookError(const std::string& message, std::string reason)
        : std::runtime_error(message), FReason(std::move(reason)) {}
    const std::string& Reason() const { return FReason; }

  private:
    std::string FReason;
};

class TCustomHook {
  public:
    using TMessage = THookMessage;

    // platform: the OS side; null takes DefaultHookPlatform().
    explicit TCustomHook(std::shared_ptr<THookPlatform> platform = nullptr);
    virtual ~TCustomHook();
    TCustomHook(const TCustomHook&) = delete;
    TCustomHook& operator=(const TCustomHook&) = delete;

    // The class name used in the creation error.
    virtual const char* ClassName() const = 0;

  protected:
    // Platform hook kind.
    virtual int32_t GetHookKind() const = 0;
    virtual void DoPreExecute(TMessage& HookMsg, bool& Handled);
    virtual void DoPostExecute(TMessage& HookMsg);

    bool GetActive() const { return FActive; }
    // Installs or removes the hook; raises EHookError when installing fails.
    void SetActive(bool Value);

    THookPlatform& Platform() const { return *FPlatform; }

    bool FActive = false;
    THookHandle FHook = nullptr;
    THookEntryPoint FHookProc;
    int32_t FThreadID = 0;
    bool FStartsSwallowing = true;
    THookNotify FOnPreExecute;
    THookNotify FOnPostExecute;

  private:
    static intptr_t EntryPoint(void* self, int32_t code, uint32_t kind, uintptr_t record);
    intptr_t ProcessEvent(int32_t code, uint32_t kind, uintptr_t record);

    std::shared_ptr<THookPlatform> FPlatform;
};

class THook : public TCustomHook {
  public:
    using TCustomHook::TCustomHook;

    bool Active() const { return GetActive(); }
    void SetActive(bool Value) { TCustomHook::SetActive(Value); }

    const THookNotify& OnPreExecute() const { return FOnPreExecute; }
    void SetOnPreExecute(THookNotify Value) { FOnPreExecute = std::move(Value); }
    const THookNotify& OnPostExecute() const { return FOnPostExecute; }
    void SetOnPostExecute(THookNotify Value) { FOnPostExecute = std::move(Value); }

    int32_t ThreadID() const { return FThreadID; }
    void SetThreadID(int32_t Value) { FThreadID = Value; }

    // Whether the hook's notifications swallow from its first event on (the default: capture is
    // what hooks are switched on for). False for a hook that mostly lets events through: the
    // platform then only watches until a notification swallows (THookPlatform::InstallWatchingHook).
    // Read when the hook is switched on.
    bool StartsSwallowing() const { return FStartsSwallowing; }
    void SetStartsSwallowing(bool Value) { FStartsSwallowing = Value; }
};

class TLowLevelKeyboardHook : public THook {
  public:
    using THook::THook;

    const char* ClassName() const override { return "TLowLevelKeyboardHook"; }

    const KBDLLHOOKSTRUCT& HookStruct() const { return FHookStruct; }
    const TKeyboardState& KeyboardStates() const { return FKeyboardState; }
    const TKeyNames& KeyName() const { return FKeyNames; }

  protected:
    int32_t GetHookKind() const override { return WH_KEYBOARD_LL; }
    void DoPreExecute(TMessage& HookMsg, bool& Handled) override;
    void DoPostExecute(TMessage& HookMsg) override;

  private:
    KBDLLHOOKSTRUCT FHookStruct{};
    TKeyboardState FKeyboardState{};
    TKeyNames FKeyNames;
};

class TLowLevelMouseHook : public THook {
  public:
    // The mouse event record: Pt, Data, flags, time, dwExtraInfo.
    using MSLLHOOKSTRUCT = THookMouseRecord;

    using THook::THook;

    const char* ClassName() const override { return "TLowLevelMouseHook"; }

    const MSLLHOOKSTRUCT& HookStruct() const { return FHookStruct; }
    // The kind of the current event (WM_MOUSEMOVE, WM_LBUTTONDOWN, ...).
    uint32_t MouseState() const { return FMouseState; }

  protected:
    int32_t GetHookKind() const override { return WH_MOUSE_LL; }
    void DoPreExecute(TMessage& HookMsg, bool& Handled) override;
    void DoPostExecute(TMessage& HookMsg) override;

  private:
    MSLLHOOKSTRUCT FHookStruct{};
    uint32_t FMouseState = 0;
};

// An owner of components: destroys what it owns, newest first, when it is destroyed itself. The
// window holds one (or derives from it) and hands it to THookContainer<T>::Construct, so the hooks
// live exactly as long as the window.
class TComponent {
  public:
    explicit TComponent(TComponent* AOwner = nullptr) : FOwner(AOwner) {}
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    std::size_t ComponentCount() const { return FComponents.size(); }
    // Takes ownership of a fully built component.
    void InsertComponent(std::unique_ptr<TComponent> AComponent);

  private:
    TComponent* FOwner;
    std::vector<std::unique_ptr<TComponent>> FComponents;
};

// Creates and owns one hook of class T; the hook is destroyed (and so removed) with the container.
template <typename T>
class THookContainer : public TComponent {
  public:
    // A container owned by AOwner. With a null owner the caller owns (and deletes) it.
    static THookContainer* Create(TComponent* AOwner, std::shared_ptr<THookPlatform> platform = nullptr) {
        std::unique_ptr<THookContainer> container(new THookContainer(AOwner, std::move(platform)));
        THookContainer* result = container.get();
        if (AOwner != nullptr) {
            AOwner->InsertComponent(std::move(container));
        } else {
            container.release();
        }
        return result;
    }
    // Creates a container owned by AOwner and returns only its hook.
    static T* Construct(TComponent* AOwner, std::shared_ptr<THookPlatform> platform = nullptr) {
        return Create(AOwner, std::move(platform))->FHook.get();
    }

    T* Hook() const { return FHook.get(); }

  private:
    THookContainer(TComponent* AOwner, std::shared_ptr<THookPlatform> platform)
        : TComponent(AOwner), FHook(std::make_unique<T>(std::move(platform))) {}

    std::unique_ptr<T> FHook;
};
