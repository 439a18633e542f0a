#pragma once
// The key that leads the route keys (see input/UnitInputRoute.h), kept in "settings.ini" beside the
// nickname file, group [Route], key Leader, by its name ("RightCtrl"). Missing: Scroll Lock, as
// hardware switches have it. The file is the user's: a name that is no leader reads as the default,
// and the problem text says so.

#include <QString>

#include <filesystem>

#include "input/UnitInputRoute.h"

class QWidget;

// The leader remembered in File; the default when none is, or when the value is unusable (then
// *Problem, if not null, says why in plain words; "" otherwise).
TRouteLeader ReadRouteLeader(const std::filesystem::path& File, QString* Problem);
// Remembers the leader, keeping every other group. False, with *Error in plain words, when the
// file cannot be written.
bool WriteRouteLeader(const std::filesystem::path& File, TRouteLeader Leader, QString* Error);

// "Scroll Lock twice": how the window names a choice.
QString RouteLeaderText(TRouteLeader Leader);
// What the targets see of the two taps, in a user's words.
QString RouteLeaderEffect(TRouteLeader Leader);

// The settings dialog: the leader to choose (Leader is the current one on entry, the choice on
// OK). Modal; true on OK.
bool RouteSettingsDialog(QWidget* Parent, TRouteLeader& Leader);
