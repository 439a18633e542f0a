#pragma once
// Notices: short plain-words lines the window shows in the first panel of its status bar (two lines at
// most, the important words first), so that what is wrong or what to do next is seen where the user
// looks, without a modal box. One notice stands per kind; several kinds may stand at once. The panel
// shows them in the order of TNotice, most pressing first, so a later notice never pushes an earlier
// one out of the two lines; the tooltip lists them all, one a line.
//
// This object only holds and orders the texts: the window puts Line() and ToolTip() on the status bar.

#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>

#include "platform/ble/BluetoothLE.h"

enum class TNotice : int {
    CaptureUnavailable,  // this session cannot capture the keyboard (and what to do)
    StackProblem,        // the Bluetooth stack or adapter is not usable
    Pairing,             // a pairing: what it waits for, or how it ended
    Insecure,            // input skips dongles whose link is not encrypted
    LinkLost,            // a dongle dropped (reconnecting) or the last active one is gone
    NotAnswering,        // a dongle leaves a write unanswered while input waits for it
    NoDongle,            // pass-through is on but no dongle takes input
    Progress,            // dongles being connected or disconnected at the user's request
    Route,               // where input goes: all active dongles or one
    KeypadHint,          // how to use the keypad mouse during pass-through
    Typing,              // typing a text: refused, or how it ended
    NicknameFile,        // the nickname file cannot be used (too large, unreadable)
    Settings,            // a remembered setting cannot be used or stored
    Guide,               // what to do next: scan first, then what the scan found
    Count
};

class TNotices {
  public:
    // Replaces the notice of this kind; an empty text takes it away. True when what stands changed
    // (the same text again changes nothing, so the status bar need not be touched).
    bool Set(TNotice Kind, const QString& Text);
    QString Text(TNotice Kind) const;
    // The standing notices, most pressing first.
    QStringList Shown() const;
    // What the panel shows: the standing notices on one run, most pressing first.
    QString Line() const;
    // What the panel's tooltip shows: every standing notice in full, one a line.
    QString ToolTip() const;

  private:
    std::array<QString, static_cast<std::size_t>(TNotice::Count)> FTexts;
};

// The notices about links and pass-through, decided from what the window knows about them.
struct TLinkState {
    bool PassThroughOn = false;  // as the user sees it (a shortcut button held keeps it on)
    bool AnyTakesInput = false;  // some session takes input now
    bool RouteHeld = false;      // the route names one dongle that is away: its own notice says so
    QStringList Dropped;         // dongles being reconnected, as the list names them (the held one left out)
    TRadioProblem Radio = TRadioProblem::None;  // what keeps the radio from use: the dropped wait for it
    bool MouseSent = false;                     // the mouse is forwarded too
};
struct TLinkNotices {
    QString LinkLost;
    QString NoDongle;
    QString KeypadHint;
    bool ClearGuide = false;  // past the first steps: what a scan found no longer matters
};
TLinkNotices LinkNotices(const TLinkState& State);

// The radio's standing notice: what keeps it from use and what to do (RadioProblemText), or, once it
// is usable again after it was not (WasDown), that it is back. Empty when there is nothing to say.
QString RadioNotice(TRadioProblem Problem, bool WasDown);
// "Connecting to Desk…", "Disconnecting Desk, Lab…", or both; empty when nothing is under way.
QString ProgressNotice(const QStringList& Connecting, const QStringList& Disconnecting);

// Two messages as one text: a full stop between them unless the first ends a sentence already.
QString JoinSentences(const QString& First, const QString& Second);
