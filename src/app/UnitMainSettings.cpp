// The settings dialog (the route keys' leader) and the tray icon: the window's side of both.
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QWidget>

#include <algorithm>

#include "app/CorvastelApplication.h"
#include "app/RouteSettings.h"
#include "app/TargetState.h"
#include "app/TrayIcon.h"
#include "app/UnitMain.h"

void TFormCorvastelPc::LoadRouteLeader() {
    SetNotice(TNotice::Settings, FRouteControl.LoadLeader(TypingSettingsPath()));
}

void TFormCorvastelPc::ChooseSettings() {
    TRouteLeader leader = RouteLeader();
    // The dialog runs an event loop of its own: only this value crosses it.
    if (!RouteSettingsQuery(leader)) {
        return;
    }
    if (FClosed) {
        return;
    }
    SetNotice(TNotice::Settings, FRouteControl.ChooseLeader(leader, TypingSettingsPath()));
}

void TFormCorvastelPc::FillWindowMenu(QMenu& Menu) {
    Menu.addAction(QStringLiteral("Settings\u2026"), this, ReportingErrors([this] { ChooseSettings(); }))
        ->setObjectName(QStringLiteral("MenuSettings"));
    QAction* encrypted = Menu.addAction(QStringLiteral("Send input only over encrypted links"), this,
                                        ReportingErrors([this](bool on) { SetEncryptedOnly(on); }));
    encrypted->setCheckable(true);
    encrypted->setChecked(FEncryptedOnly);
    encrypted->setObjectName(QStringLiteral("MenuEncryptedOnly"));
}

void TFormCorvastelPc::ShowWindowMenu(const QPoint& Pos) {
    QMenu menu(this);
    FillWindowMenu(menu);
    menu.exec(mapToGlobal(Pos));
}

TTrayState TFormCorvastelPc::TrayState() const {
    TTrayState state;
    state.PassThrough = PassThroughOn();
    state.RouteTarget = Route().Target();
    state.Route = NoticeText(TNotice::Route);
    for (const TCorvastelDevice* session : ConnectedInListOrder()) {
        const std::string address = session->Device->Address();
        const TCorvastelDevice::TLinkStats stats = session->LinkStats();
        QString link = LinkLatencyText(stats);
        if (LinkShownLate(stats)) {
            link += QStringLiteral(" (falling behind)");
        }
        state.Dongles.push_back({address, DongleLabel(address), link, DongleNumber(address), false});
    }
    // A dongle being brought back keeps its number, and the user may route to it meanwhile.
    for (const std::string& address : Reconnect.Addresses()) {
        if (const int number = DongleNumber(address); number > 0) {
            state.Dongles.push_back({address, DongleLabel(address), QString(), number, true});
        }
    }
    // By number, as the route keys pick them; unnumbered ones (a tenth dongle) after, in list order.
    std::stable_sort(state.Dongles.begin(), state.Dongles.end(),
                     [](const TTrayState::TDongle& a, const TTrayState::TDongle& b) {
                         constexpr int last = TRouteNumbers::Count + 1;
                         return (a.Number == 0 ? last : a.Number) < (b.Number == 0 ? last : b.Number);
                     });
    for (const TSavedKeySequence& saved : FKeySequences) {
        state.Sequences.push_back(
            {saved.Name, saved.Dongle, saved.Dongle.empty() ? QString() : DongleLabel(saved.Dongle)});
    }
    return state;
}

void TFormCorvastelPc::TrayChanged() {
    if (Tray == nullptr || FTrayRefresh || FClosed) {
        return;
    }
    // Once the change under way is done (several notices change together), and never from inside
    // a hook callback.
    FTrayRefresh = true;
    FUiQueue->Post([this] {
        FTrayRefresh = false;
        if (Tray != nullptr && !FClosed) {
            RunReportingErrors([this] { Tray->Update(TrayState()); });
        }
    });
}

void TFormCorvastelPc::CreateTray() {
    TTrayIcon::TActions actions;
    actions.ShowWindow = [this] {
        if (FClosed) {
            return;
        }
        show();
        BringToFront();
    };
    // While a box or dialog of the window waits for an answer, the window's controls take no clicks;
    // nor does the tray: it shows the window with the question instead.
    const auto blocked = [this] {
        if (QApplication::activeModalWidget() == nullptr) {
            return false;
        }
        show();
        BringToFront();
        return true;
    };
    actions.SetPassThrough = [this, blocked](bool on) {
        if (FClosed || blocked() || on == PassThroughOn()) {
            return;
        }
        // The button itself, so that the tray does exactly what a click does.
        BtnHook->click();
    };
    actions.RouteTo = [this, blocked](const std::string& address) {
        if (FClosed || blocked()) {
            return;
        }
        RunReportingErrors([&] { RouteInputTo(address); });
    };
    actions.Quit = [this, blocked] {
        if (FClosed || blocked()) {
            return;
        }
        // As the window's close button: everything released, the links closed, the program ends.
        close();
    };
    actions.PlaySequence = [this, blocked](const QString& name, const std::string& dongle) {
        if (FClosed || blocked()) {
            return;
        }
        RunReportingErrors([&] {
            for (const TSavedKeySequence& saved : SavedKeySequences()) {
                if (saved.Name == name && saved.Dongle == dongle) {
                    PlayKeySequence(saved, nullptr);
                    return;
                }
            }
            SetNotice(TNotice::Typing,
                      QStringLiteral("Nothing typed: the key sequence \u201C%1\u201D is no longer "
                                     "saved.")
                          .arg(name));
        });
    };
    Tray = new TTrayIcon(windowIcon(), std::move(actions), this);
    Tray->Update(TrayState());
}
