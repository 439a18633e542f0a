#pragma once
// Where input goes when several dongles are connected, and the keys that change it.
//
// The route is either every active dongle (the default: typing the same into many machines) or one
// dongle, the way a KVM switch serves one machine at a time. During pass-through it is switched
// from the keyboard with the convention of hardware KVM switches, chosen because it takes away no
// key combination a target may need: a leader key tapped twice within half a second, then within a
// second a digit. 1 to 9 pick the dongle with that number (TRouteNumbers), 0 picks all of them.
// The leader is Scroll Lock unless the user chose another: most laptop keyboards have no Scroll
// Lock, and a hardware switch on the same desk may listen for it too. The two leader taps reach the
// targets as any key does (Scroll Lock's toggles cancel out there; a lone modifier tap does
// nothing); the digit that completes the sequence, with its repeats and its release, reaches none.
// A digit that names no dongle is declined by the window and stays an ordinary key.
//
// Standard library only; runs on the window's thread inside the hook callbacks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int32_t UsageScrollLock = 71;
inline constexpr int32_t UsagePause = 72;

// The key tapped twice before the digit.
enum class TRouteLeader : uint8_t { ScrollLock, RightCtrl, RightAlt, Pause, RightShift };
inline constexpr TRouteLeader DefaultRouteLeader = TRouteLeader::ScrollLock;
// Every choice, in the order the settings offer them.
inline constexpr std::array<TRouteLeader, 5> RouteLeaders{TRouteLeader::ScrollLock, TRouteLeader::RightCtrl,
                                                          TRouteLeader::RightAlt, TRouteLeader::Pause,
                                                          TRouteLeader::RightShift};
// The leader's key usage.
int32_t RouteLeaderUsage(TRouteLeader Leader);
// Right Ctrl, Right Alt and Right Shift: with the leader held, a digit is a chord (Ctrl+2 picks a
// browser tab, AltGr+2 types a character), not the end of the sequence.
bool RouteLeaderIsModifier(TRouteLeader Leader);
// How the settings file names it ("ScrollLock"), and the leader a name stands for (none for a name
// that is no leader).
std::string_view RouteLeaderKey(TRouteLeader Leader);
std::optional<TRouteLeader> RouteLeaderFromKey(std::string_view Key);
// The key in words, as its cap reads ("Right Ctrl").
std::string_view RouteLeaderName(TRouteLeader Leader);

// Leader presses closer than this (ms) arm the sequence; the digit must follow the second press
// within RouteDigitMs.
inline constexpr int32_t RoutePairMs = 500;
inline constexpr int32_t RouteDigitMs = 1000;

// The digit (0 to 9) a key stands for in the route keys, or -1: the digits above the letters and
// those of the numeric keypad.
int RouteDigitOf(int32_t usage);

// Watches the key events for the route keys. Event times are the platform's 32-bit millisecond
// clock, which wraps: they are compared by signed difference.
class TRouteKeys {
  public:
    enum class TVerdict : uint8_t {
        Ordinary,   // not part of the route keys: handle as any key
        Completes,  // the digit that completes the sequence (Digit() tells which): reaches no target
        Swallowed,  // an auto-repeat or the release of that digit: reaches no target
    };

    // Which key leads the sequence; a sequence in progress ends.
    void SetLeader(TRouteLeader Leader);
    TRouteLeader Leader() const { return FLeader; }

    // repeat: a press of a key that is held already (auto-repeat). Held keys repeat on some
    // platforms (Shift on Windows), so a repeat of a key held through the sequence does not end it.
    TVerdict Feed(int32_t usage, bool release, uint32_t time, bool repeat = false);
    int Digit() const { return FDigit; }
    // The completing digit named no dongle: it is an ordinary key after all, and so are its repeats
    // and its release.
    void Decline();
    // Something other than a key came between (a mouse button, the wheel): a sequence in progress
    // ends, as Ctrl+click, Ctrl+click must not arm a Right Ctrl leader.
    void Interrupt();
    // Forgets everything but the leader (the hooks went off, so releases may have been missed). A
    // completing digit still held then comes up as the release of a key that is not held, which
    // sends nothing.
    void Reset();

  private:
    TRouteLeader FLeader = DefaultRouteLeader;
    int32_t FLeaderUsage = UsageScrollLock;
    bool FModifier = false;    // the leader is a modifier (see RouteLeaderIsModifier)
    bool FLeaderHeld = false;  // a leader press whose release has not come: later presses repeat it
    bool FHavePress = false;   // FLastPress is the last leader press, nothing else pressed since
    uint32_t FLastPress = 0;
    bool FArmed = false;  // two presses close enough: a digit may follow until FArmedAt + 1 s
    uint32_t FArmedAt = 0;
    int32_t FDigitHeld = 0;  // usage of the completing digit until its release
    int FDigit = -1;
};

// The digits the route keys pick targets by. A target keeps its number from the moment it connects
// until it is let go (the user disconnects it, or it is no longer being brought back): a number
// that shifted when another target dropped would send what the user types (a password, say) to a
// machine the user did not pick. Numbers are given smallest free first, in the order the targets
// connect; a tenth target gets none until one is free.
class TRouteNumbers {
  public:
    static constexpr int Count = 9;

    // Brings the numbers up to date. Connected: the targets that take input, in list order; Away:
    // those being brought back. A holder in neither lets its number go; then each connected target
    // without a number gets the smallest free one. One that is away gets none (it keeps its own).
    void Update(const std::vector<std::string>& Connected, const std::vector<std::string>& Away);
    // The target's number (1 to 9); 0 for none.
    int Of(std::string_view Id) const;
    // The target that has number Digit; empty for none (and for a digit outside 1 to 9).
    std::string Holder(int Digit) const;

  private:
    std::array<std::string, Count> FHolders;  // [n - 1]: the target numbered n; empty: free
};

// The route itself. A target is known by an identifier the window chooses (a dongle's address).
class TInputRoute {
  public:
    // The connected targets as the route sees them: those that take input when the route includes
    // them, in list order; and the numbers of those that are connected or away.
    class TTargets {
      public:
        virtual ~TTargets() = default;
        virtual std::size_t Count() const = 0;
        virtual std::string Id(std::size_t Index) const = 0;
        // Sends the target its all-released reports: it is about to stop hearing the keyboard.
        virtual void Release(std::size_t Index) = 0;
        // The target with number Digit (1 to 9), connected or away; empty for none.
        virtual std::string Numbered(int Digit) const = 0;
    };

    enum class TOutcome : uint8_t { Changed, Unchanged, NoSuchTarget };

    bool ToAll() const { return FTarget.empty(); }
    // The routed target's identifier; empty while input goes to all.
    const std::string& Target() const { return FTarget; }
    bool Includes(std::string_view Id) const { return FTarget.empty() || Id == FTarget; }

    // Routes input to the target Id, or to all when Id is empty. Every connected target that loses
    // input is released first, so no key or button stays held on a machine that no longer hears the
    // keyboard. A numbered target that is away is routed to as well: the route then holds (Held)
    // until it is back. A target neither connected nor numbered leaves the route as it is.
    TOutcome Select(const std::string& Id, TTargets& Targets);
    // The route keys' digit: 0 all, n the target with number n.
    TOutcome SelectDigit(int Digit, TTargets& Targets);
    // The routed target is not among the connected ones: the route holds. Input then reaches no
    // target until it is back (the route continues) or another route is chosen. The route never
    // widens by itself: a target that drops may be the one a password was meant for.
    bool Held(const TTargets& Targets) const;

  private:
    std::string FTarget;
};
