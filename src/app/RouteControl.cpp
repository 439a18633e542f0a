#include "app/RouteControl.h"

#include "app/Notices.h"
#include "app/RouteSettings.h"

bool TRouteControl::SelectDigit(int Digit, TInputRoute::TTargets& Connected) {
    const bool taken = FRoute.SelectDigit(Digit, Connected) != TInputRoute::TOutcome::NoSuchTarget;
    if (!taken) {
        FNote = QStringLiteral("no dongle has the number %1: the %1 was typed as a key").arg(Digit);
    } else {
        FNote.clear();
    }
    return taken;
}

void TRouteControl::SelectAddress(const std::string& Address, const QString& Label,
                                  TInputRoute::TTargets& Connected) {
    if (FRoute.Select(Address, Connected) == TInputRoute::TOutcome::NoSuchTarget) {
        FNote = Label + QStringLiteral(" is not connected");
    } else {
        FNote.clear();
    }
}

bool TRouteControl::HeldChanged(const TInputRoute::TTargets& Connected) {
    // A route to a dongle that went away holds rather than falling back to every dongle: what is
    // typed meanwhile (a password, say) was meant for that machine alone, and reaches none.
    const bool held = Held(Connected);
    if (held == FHeldReported) {
        return false;
    }
    FHeldReported = held;
    return true;
}

QString TRouteControl::NoticeText(const TInputRoute::TTargets& Connected, const QString& TargetLabel,
                                  bool Reconnecting) const {
    QString text;
    if (Held(Connected)) {
        // The way out goes in the notice: the user may not remember which keys widen the route.
        text = QStringLiteral("Input held for ") + TargetLabel +
               (Reconnecting ? QStringLiteral(" \u2014 reconnecting")
                             : QStringLiteral(" \u2014 not connected")) +
               QStringLiteral("; ") + RouteLeaderText(Leader()) + QStringLiteral(" + 0 sends to all");
    } else if (!FRoute.ToAll()) {
        text = QStringLiteral("\u2192 ") + TargetLabel;
    } else if (Connected.Count() > 0 || !FNote.isEmpty()) {
        text = QStringLiteral("\u2192 all");
    }
    if (!FNote.isEmpty()) {
        text += QStringLiteral(" (") + FNote + QLatin1Char(')');
    }
    return text;
}

QString TRouteControl::LoadLeader(const std::filesystem::path& File) {
    QString problem;
    FKeys.SetLeader(ReadRouteLeader(File, &problem));
    return problem;
}

QString TRouteControl::ChooseLeader(TRouteLeader Leader, const std::filesystem::path& File) {
    FKeys.SetLeader(Leader);
    QString error;
    if (!WriteRouteLeader(File, Leader, &error)) {
        // Used all the same: the user chose it for this run, whatever the file allows.
        return QStringLiteral("The route leader %1 is used now but not remembered: %2")
            .arg(RouteLeaderText(Leader), error);
    }
    return QString();
}
