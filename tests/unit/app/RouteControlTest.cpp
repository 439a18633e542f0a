// The route as the window shows it, without a window: a table of route choices over fake connected
// dongles that record the all-released reports they are sent, then a dongle that drops and comes
// back, one the user disconnects, and the leader read from and written to the settings file.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/RouteControl.h"
#include "app/RouteSettings.h"

namespace {

constexpr char A[] = "C0:FF:EE:00:00:0A";
constexpr char B[] = "C0:FF:EE:00:00:0B";
constexpr char C[] = "C0:FF:EE:00:00:0C";

// Connected dongles in list order, numbered as the window numbers them. Release records as the
// session does: the dongle is sent its all-released reports.
class TFakeConnected final : public TInputRoute::TTargets {
  public:
    std::vector<std::string> Ids;
    std::vector<std::string> Released;
    TRouteNumbers Numbers;
    // These are connected now, those are being brought back.
    void Set(std::vector<std::string> Connected, const std::vector<std::string>& Away = {}) {
        Ids = std::move(Connected);
        Numbers.Update(Ids, Away);
    }
    std::size_t Count() const override { return Ids.size(); }
    std::string Id(std::size_t Index) const override { return Ids.at(Index); }
    void Release(std::size_t Index) override { Released.push_back(Ids.at(Index)); }
    std::string Numbered(int Digit) const override { return Numbers.Holder(Digit); }
};

QString Label(const std::string& Address) {
    return Address == A   ? QStringLiteral("Desk")
           : Address == B ? QStringLiteral("Laptop")
                          : QStringLiteral("Server");
}

QString Notice(const TRouteControl& Control, const TFakeConnected& Connected, bool Reconnecting = false) {
    const std::string& target = Control.Route().Target();
    return Control.NoticeText(Connected, target.empty() ? QString() : Label(target), Reconnecting);
}

}  // namespace

TEST(RouteControl, Choices_RouteMarkReleaseAndNoticeAsTheUserSeesThem) {
    struct TCase {
        const char* Name;
        std::string Before;  // route before the choice ("" all)
        int Digit;           // -1: chosen by address
        std::string Address;
        bool Taken;
        std::string After;
        std::vector<std::string> Released;
        const char* Notice;
    };
    // One row each, so the table reads as one.
    // clang-format off
    const TCase cases[] = {
        {"digit to one",                         "", 2,  "", true,  B,  {A, C}, "\u2192 Laptop"},
        {"digit 0 to all",                       B,  0,  "", true,  "", {},     "\u2192 all"},
        {"digit naming no dongle",               B,  4,  "", false, B,  {},
         "\u2192 Laptop (no dongle has the number 4: the 4 was typed as a key)"},
        {"digit naming no dongle, route to all", "", 7,  "", false, "", {},
         "\u2192 all (no dongle has the number 7: the 7 was typed as a key)"},
        {"address to one",                       "", -1, C,  true,  C,  {A, B}, "\u2192 Server"},
        {"address to another",                   A,  -1, C,  true,  C,  {A},    "\u2192 Server"},
        {"address not connected",                A,  -1, "C0:FF:EE:00:00:0D", false, A, {},
         "\u2192 Desk (Server is not connected)"},
    };
    // clang-format on
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRouteKeys keys;
        TRouteControl control(keys);
        TFakeConnected connected;
        connected.Set({A, B, C});
        control.SelectAddress(c.Before, QString(), connected);
        connected.Released.clear();
        if (c.Digit >= 0) {
            EXPECT_EQ(control.SelectDigit(c.Digit, connected), c.Taken);
        } else {
            control.SelectAddress(c.Address, Label(c.Address), connected);
        }
        EXPECT_EQ(control.Route().Target(), c.After);
        EXPECT_EQ(connected.Released, c.Released) << "the dongles that stop hearing the keyboard";
        for (const std::string& id : {std::string(A), std::string(B), std::string(C)}) {
            EXPECT_EQ(control.Marked(id), id == c.After) << id;
            EXPECT_EQ(control.Includes(id), c.After.empty() || id == c.After) << id;
        }
        EXPECT_EQ(Notice(control, connected), QString::fromUtf8(c.Notice));
    }
}

TEST(RouteControl, NothingConnectedAndNothingChosen_SaysNothing) {
    TRouteKeys keys;
    TRouteControl control(keys);
    TFakeConnected connected;
    EXPECT_EQ(Notice(control, connected), QString());
    EXPECT_FALSE(control.Held(connected));
    EXPECT_FALSE(control.HeldChanged(connected));
}

TEST(RouteControl, RoutedDongleDropsAndReturns_HoldsWithTheWayOutThenContinues) {
    TRouteKeys keys;
    TRouteControl control(keys);
    TFakeConnected connected;
    connected.Set({A, B});
    ASSERT_TRUE(control.SelectDigit(2, connected));
    EXPECT_FALSE(control.HeldChanged(connected));

    connected.Set({A}, {B});  // B dropped, being brought back
    EXPECT_TRUE(control.Held(connected));
    EXPECT_TRUE(control.HeldChanged(connected));
    EXPECT_FALSE(control.HeldChanged(connected)) << "told once";
    EXPECT_EQ(control.Route().Target(), B) << "the route never widens by itself";
    EXPECT_FALSE(control.Includes(A)) << "what is typed meanwhile reaches no other dongle";
    EXPECT_EQ(
        Notice(control, connected, true),
        QString::fromUtf8("Input held for Laptop \u2014 reconnecting; Scroll Lock twice + 0 sends to all"));

    // Its number still picks it, from the keys or by address: the route holds for it again, and
    // the dongle that loses input is released.
    ASSERT_TRUE(control.SelectDigit(0, connected));
    connected.Released.clear();
    ASSERT_TRUE(control.SelectDigit(2, connected));
    EXPECT_EQ(control.Route().Target(), B);
    EXPECT_TRUE(control.Held(connected));
    EXPECT_EQ(connected.Released, std::vector<std::string>{A});
    control.SelectAddress(A, Label(A), connected);
    control.SelectAddress(B, Label(B), connected);
    EXPECT_EQ(control.Route().Target(), B) << "by address too";
    EXPECT_EQ(
        Notice(control, connected, true),
        QString::fromUtf8("Input held for Laptop \u2014 reconnecting; Scroll Lock twice + 0 sends to all"));

    connected.Set({A, B});  // back
    EXPECT_FALSE(control.Held(connected));
    EXPECT_TRUE(control.HeldChanged(connected));
    EXPECT_EQ(Notice(control, connected), QString::fromUtf8("\u2192 Laptop"));
}

TEST(RouteControl, UserDisconnectsTheRoutedDongle_HeldNotReconnectingUntilTheUserWidensIt) {
    TRouteKeys keys;
    TRouteControl control(keys);
    keys.SetLeader(TRouteLeader::RightCtrl);
    TFakeConnected connected;
    connected.Set({A, B});
    control.SelectAddress(A, Label(A), connected);
    connected.Set({B});  // disconnected by the user: nothing brings it back
    EXPECT_TRUE(control.HeldChanged(connected));
    EXPECT_EQ(
        Notice(control, connected, false),
        QString::fromUtf8("Input held for Desk \u2014 not connected; Right Ctrl twice + 0 sends to all"));
    connected.Released.clear();
    ASSERT_TRUE(control.SelectDigit(0, connected));
    EXPECT_TRUE(connected.Released.empty()) << "every connected dongle gains input, none loses it";
    EXPECT_TRUE(control.HeldChanged(connected));
    EXPECT_EQ(Notice(control, connected), QString::fromUtf8("\u2192 all"));
}

TEST(RouteControl, Leader_ReadChosenAndRemembered_LeadsTheRouteKeys) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string file = dir.filePath(QStringLiteral("settings.ini")).toStdString();
    struct TCase {
        const char* Name;
        const char* Text;  // nullptr: no file
        TRouteLeader Leader;
        bool Problem;
    };
    const TCase cases[] = {
        {"no file", nullptr, TRouteLeader::ScrollLock, false},
        {"chosen", "[Route]\nLeader=RightAlt\n", TRouteLeader::RightAlt, false},
        {"no such leader", "[Route]\nLeader=CapsLock\n", TRouteLeader::ScrollLock, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove(file);
        if (c.Text != nullptr) {
            std::ofstream(file) << c.Text;
        }
        TRouteKeys keys;
        keys.SetLeader(TRouteLeader::Pause);
        TRouteControl control(keys);
        EXPECT_EQ(control.LoadLeader(file).isEmpty(), !c.Problem);
        EXPECT_EQ(keys.Leader(), c.Leader) << "the hooks' route keys follow";
        EXPECT_EQ(control.Leader(), c.Leader);
    }

    TRouteKeys keys;
    TRouteControl control(keys);
    EXPECT_EQ(control.ChooseLeader(TRouteLeader::RightShift, file), QString());
    EXPECT_EQ(keys.Leader(), TRouteLeader::RightShift);
    TRouteKeys restarted;
    TRouteControl again(restarted);
    EXPECT_EQ(again.LoadLeader(file), QString());
    EXPECT_EQ(again.Leader(), TRouteLeader::RightShift) << "remembered across a restart";

    // A file that cannot be written (its folder is a file): said, and the leader is used anyway.
    const std::string blocked = dir.filePath(QStringLiteral("settings.ini/settings.ini")).toStdString();
    const QString error = again.ChooseLeader(TRouteLeader::Pause, blocked);
    EXPECT_TRUE(
        error.startsWith(QStringLiteral("The route leader Pause twice is used now but not remembered: ")))
        << error.toStdString();
    EXPECT_EQ(restarted.Leader(), TRouteLeader::Pause);
}
