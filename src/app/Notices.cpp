#include "app/Notices.h"

namespace {
// The exit chord, as every notice about capture names it.
constexpr char ExitChordWords[] = "Ctrl+Shift+F12 ends";
}  // namespace

bool TNotices::Set(TNotice Kind, const QString& Text) {
    QString& slot = FTexts.at(static_cast<std::size_t>(Kind));
    if (slot == Text) {
        return false;
    }
    slot = Text;
    return true;
}

QString TNotices::Text(TNotice Kind) const {
    return FTexts.at(static_cast<std::size_t>(Kind));
}

QStringList TNotices::Shown() const {
    QStringList shown;
    for (const QString& notice : FTexts) {
        if (!notice.isEmpty()) {
            shown << notice;
        }
    }
    return shown;
}

QString TNotices::Line() const {
    return Shown().join(QStringLiteral(" \u00b7 "));
}

QString TNotices::ToolTip() const {
    return Shown().join(QLatin1Char('\n'));
}

TLinkNotices LinkNotices(const TLinkState& State) {
    TLinkNotices notices;
    // A route held for a dongle that is away says so itself, with its way out: the lines below
    // would only repeat it (the panel has room for two).
    const bool keysGoNowhere = State.PassThroughOn && !State.AnyTakesInput && !State.RouteHeld;
    if (!State.Dropped.isEmpty() && State.Radio != TRadioProblem::None) {
        // No try can succeed before the radio is back; the radio's own notice says what to do.
        const bool one = State.Dropped.size() == 1;
        notices.LinkLost = State.Dropped.join(QStringLiteral(", ")) +
                           (State.Radio == TRadioProblem::PoweredOff
                                ? QStringLiteral(" dropped: Bluetooth is off; ")
                                : QStringLiteral(" dropped: Bluetooth cannot be used; ")) +
                           (one ? QStringLiteral("it reconnects") : QStringLiteral("they reconnect")) +
                           QStringLiteral(" as soon as Bluetooth is back");
    } else if (!State.Dropped.isEmpty()) {
        notices.LinkLost =
            State.Dropped.join(QStringLiteral(", ")) +
            QString::fromUtf8(State.Dropped.size() == 1 ? " dropped; reconnecting by itself"
                                                        : " dropped; reconnecting by themselves");
        if (keysGoNowhere) {
            // The panel is narrow: the way out goes first, or it would be cut off.
            notices.LinkLost = QStringLiteral("Keys go nowhere (") + QString::fromUtf8(ExitChordWords) +
                               QStringLiteral("): ") + notices.LinkLost;
        }
    }
    if (keysGoNowhere && notices.LinkLost.isEmpty()) {
        notices.NoDongle = QStringLiteral("No dongle connected \u2014 keys go nowhere; ") +
                           QString::fromUtf8(ExitChordWords);
    }
    notices.ClearGuide = State.PassThroughOn;
    if (State.PassThroughOn) {
        // Ctrl+Shift pauses only a mouse that is sent; otherwise the mouse works here anyway.
        notices.KeypadHint = State.MouseSent
                                 ? QStringLiteral(
                                       "Keypad mouse: hold Ctrl+Shift, use the numeric "
                                       "keypad; Ctrl+Shift alone pauses the mouse")
                                 : QStringLiteral("Keypad mouse: hold Ctrl+Shift, use the numeric keypad");
    }
    return notices;
}

QString RadioNotice(TRadioProblem Problem, bool WasDown) {
    // Short enough for the panel's two lines with what to do in them; a refused scan's box says more.
    switch (Problem) {
        case TRadioProblem::None:
            break;
        case TRadioProblem::NoBus:
            return QStringLiteral(
                "No system message bus (D-Bus): Bluetooth cannot be used; restart the computer");
        case TRadioProblem::NoStack:
            return QStringLiteral(
                "Bluetooth service not running: start it with sudo systemctl start bluetooth");
        case TRadioProblem::NoAdapter:
            return QStringLiteral(
                "No Bluetooth adapter found: plug one in, or switch on the computer's own Bluetooth");
        case TRadioProblem::PoweredOff:
            return QStringLiteral(
                "Bluetooth is off: switch it on (Settings > Bluetooth, or bluetoothctl power on)");
    }
    return WasDown ? QStringLiteral("Bluetooth is back") : QString();
}

QString ProgressNotice(const QStringList& Connecting, const QStringList& Disconnecting) {
    QStringList parts;
    if (!Connecting.isEmpty()) {
        parts << QStringLiteral("Connecting to %1\u2026").arg(Connecting.join(QStringLiteral(", ")));
    }
    if (!Disconnecting.isEmpty()) {
        parts << QStringLiteral("Disconnecting %1\u2026").arg(Disconnecting.join(QStringLiteral(", ")));
    }
    return parts.join(QLatin1Char(' '));
}

QString JoinSentences(const QString& First, const QString& Second) {
    const QString first = First.trimmed();
    if (first.isEmpty()) {
        return Second;
    }
    if (Second.trimmed().isEmpty()) {
        return first;
    }
    const QChar last = first.back();
    const bool ended = last == QLatin1Char('.') || last == QLatin1Char('!') || last == QLatin1Char('?') ||
                       last == QChar(0x2026);
    return first + (ended ? QStringLiteral(" ") : QStringLiteral(". ")) + Second.trimmed();
}
