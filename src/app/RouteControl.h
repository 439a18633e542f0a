#pragma once
// Where input goes, as the window shows it, without the window: the route (input/UnitInputRoute.h)
// over the connected dongles, the number each dongle is picked by, why the last choice was not taken, whether
// the route is held for a dongle that is away, the text of the route's notice, and the route keys' leader as
// remembered in the settings file. The window feeds it the connected dongles in list order and their
// captions, and maps what it decides to the list's mark, the notice line and the tray.
//
// Qt Core only (QString for the texts the window shows); no widget.

#include <QString>

#include <filesystem>
#include <string>
#include <vector>

#include "input/UnitInputRoute.h"

class TRouteControl {
  public:
    // Keys: the route keys the hooks feed; the leader chosen here leads them.
    explicit TRouteControl(TRouteKeys& Keys) : FKeys(Keys) {}

    const TInputRoute& Route() const { return FRoute; }
    // Whether the dongle Address hears the keyboard when it takes input at all.
    bool Includes(const std::string& Address) const { return FRoute.Includes(Address); }
    // Whether the list item of Address carries the route's mark.
    bool Marked(const std::string& Address) const { return !FRoute.ToAll() && Address == FRoute.Target(); }

    // The numbers of the dongles that are connected (in list order) or being brought back (Away);
    // see TRouteNumbers.
    void UpdateNumbers(const std::vector<std::string>& Connected, const std::vector<std::string>& Away) {
        FNumbers.Update(Connected, Away);
    }
    const TRouteNumbers& Numbers() const { return FNumbers; }

    // The route keys' digit: 0 every dongle, n the one with number n (held while it is away). False
    // when it names no dongle: the route stays and the note says why.
    bool SelectDigit(int Digit, TInputRoute::TTargets& Connected);
    // Input to the dongle Address only (empty: every dongle): a connected one, or a numbered one that
    // is away (the route holds until it is back); Label is how the user knows it, for the note when
    // it is neither.
    void SelectAddress(const std::string& Address, const QString& Label, TInputRoute::TTargets& Connected);

    // The route is to one dongle that is not connected: input reaches no dongle.
    bool Held(const TInputRoute::TTargets& Connected) const { return FRoute.Held(Connected); }
    // Whether Held changed since the last call: the lock lights follow the routed dongle. Held is
    // always computed from the connected dongles; only the last answer given here is remembered.
    bool HeldChanged(const TInputRoute::TTargets& Connected);

    // The route's notice: empty while there is nothing to say. TargetLabel names the routed dongle;
    // Reconnecting: that dongle is being brought back.
    QString NoticeText(const TInputRoute::TTargets& Connected, const QString& TargetLabel,
                       bool Reconnecting) const;

    TRouteLeader Leader() const { return FKeys.Leader(); }
    // Uses the leader remembered in File; the returned text says a value that cannot be used
    // ("" when there is nothing to say).
    QString LoadLeader(const std::filesystem::path& File);
    // Uses Leader at once and remembers it in File; the returned text says when it cannot be
    // remembered ("" when it was).
    QString ChooseLeader(TRouteLeader Leader, const std::filesystem::path& File);

  private:
    TRouteKeys& FKeys;
    TInputRoute FRoute;
    TRouteNumbers FNumbers;
    // Why the last route choice was not taken; shown with the route until the next choice.
    QString FNote;
    // The last answer of HeldChanged.
    bool FHeldReported = false;
};
