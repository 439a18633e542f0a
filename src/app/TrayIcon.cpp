#include "app/TrayIcon.h"

#include <QActionGroup>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// The edges the tray's hosts ask for (16 to 24 on panels, larger on high-dpi ones).
constexpr int IconEdges[] = {16, 22, 24, 32, 48, 64};

const QColor ToAllColour(0x2e, 0x8b, 0x3e);
const QColor ToOneColour(0xd9, 0x6c, 0x00);

// Whether the menu shows something else for b than for a (a link's latency is not in the menu).
bool MenuDiffers(const TTrayState& a, const TTrayState& b) {
    if (a.PassThrough != b.PassThrough || a.RouteTarget != b.RouteTarget ||
        a.Dongles.size() != b.Dongles.size() || a.Sequences != b.Sequences) {
        return true;
    }
    for (std::size_t i = 0; i < a.Dongles.size(); ++i) {
        const TTrayState::TDongle& x = a.Dongles[i];
        const TTrayState::TDongle& y = b.Dongles[i];
        if (x.Address != y.Address || x.Label != y.Label || x.Number != y.Number || x.Away != y.Away) {
            return true;
        }
    }
    return false;
}

}  // namespace

TTrayIcon::TTrayIcon(const QIcon& AppIcon, TActions Actions, QObject* Parent)
    : QObject(Parent),
      TrayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); }),
      FAppIcon(AppIcon),
      FActions(std::move(Actions)),
      FMenu(std::make_unique<QMenu>()) {
    FMenu->setObjectName(QStringLiteral("TrayMenu"));
    // A tray host that draws the menu itself (a status notifier item) reports it open and closed
    // through these too.
    connect(FMenu.get(), &QMenu::aboutToShow, this, [this] { FMenuShown = true; });
    connect(FMenu.get(), &QMenu::aboutToHide, this, [this] {
        FMenuShown = false;
        if (FMenuStale) {
            // Not from inside the hiding: a click's action is still to be triggered, and the
            // rebuild would delete it.
            QTimer::singleShot(0, this, [this] {
                if (FMenuStale && !MenuOpen()) {
                    FillMenu();
                }
            });
        }
    });
    FShownIcon = Draw(FImage, FDigit);
    FillMenu();
    // A tray icon made where there is no tray makes Qt warn on some platforms: the icon is made only
    // once there is a tray, and until then looked for now and then (one question to the display).
    FWatch = new QTimer(this);
    FWatch->setInterval(3000);
    connect(FWatch, &QTimer::timeout, this, [this] { Install(); });
    FWatch->start();
    QTimer::singleShot(0, this, [this] { Install(); });
}

TTrayIcon::~TTrayIcon() {
    // The icon goes from the tray before its menu does.
    delete FTray;
    FTray = nullptr;
}

void TTrayIcon::Install() {
    if (FTray != nullptr || !TrayAvailable || !TrayAvailable()) {
        return;
    }
    FWatch->stop();
    FTray = new QSystemTrayIcon(FShownIcon, this);
    FTray->setToolTip(FToolTip);
    FTray->setContextMenu(FMenu.get());
    // A click on the icon itself shows the window, as its first entry does.
    connect(FTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            Later(FActions.ShowWindow);
        }
    });
    // Qt keeps it there when the tray goes and comes back.
    FTray->show();
}

void TTrayIcon::Hide() {
    FWatch->stop();
    if (FTray != nullptr) {
        FTray->hide();
    }
}

bool TTrayIcon::MenuOpen() const {
    return FMenuShown || FMenu->isVisible();
}

void TTrayIcon::Later(std::function<void()> Work) {
    if (!Work) {
        return;
    }
    QTimer::singleShot(0, this, std::move(Work));
}

void TTrayIcon::Update(const TTrayState& State) {
    if (FFilled && State == FState) {
        return;
    }
    const bool menuChanged = !FFilled || MenuDiffers(State, FState);
    FState = State;
    FFilled = true;

    TTrayImage image = TTrayImage::Off;
    int digit = -1;
    if (State.PassThrough) {
        image = State.RouteTarget.empty() ? TTrayImage::ToAll : TTrayImage::ToOne;
        digit = State.RouteTarget.empty() ? 0 : -1;
        for (const TTrayState::TDongle& d : State.Dongles) {
            if (d.Address == State.RouteTarget && d.Number > 0) {
                digit = d.Number;
            }
        }
    }
    if (image != FImage || digit != FDigit) {
        FImage = image;
        FDigit = digit;
        FShownIcon = Draw(image, digit);
        if (FTray != nullptr) {
            FTray->setIcon(FShownIcon);
        }
    }

    // The first line is fixed text: hosts that guess rich text look at it alone, so a dongle's
    // name further down is shown as it is, never as markup.
    QStringList lines;
    lines << QStringLiteral("CorvastelPcApp: pass-through %1").arg(State.PassThrough ? "on" : "off");
    if (!State.Route.isEmpty()) {
        lines << QStringLiteral("Input %1").arg(State.Route);
    }
    if (State.Dongles.empty()) {
        lines << QStringLiteral("No dongle connected");
    }
    for (const TTrayState::TDongle& d : State.Dongles) {
        lines << QStringLiteral("%1 %2: %3")
                     .arg(d.Number > 0 ? QString::number(d.Number) : QStringLiteral("\u2022"), d.Label,
                          d.Away ? QStringLiteral("reconnecting") : QStringLiteral("link ") + d.Link);
    }
    const QString tip = lines.join(QLatin1Char('\n'));
    if (tip != FToolTip) {
        FToolTip = tip;
        if (FTray != nullptr) {
            FTray->setToolTip(tip);
        }
    }
    if (menuChanged) {
        if (MenuOpen()) {
            FMenuStale = true;  // filled when it closes
        } else {
            FillMenu();
        }
    }
}

void TTrayIcon::FillMenu() {
    // Rebuilt between uses only (Update waits while it is open); every entry's work runs after the
    // menu closed (Later).
    FMenuStale = false;
    FMenu->clear();
    delete FRoutes;
    QAction* show = FMenu->addAction(QStringLiteral("Show the window"));
    show->setObjectName(QStringLiteral("TrayShow"));
    connect(show, &QAction::triggered, this, [this] { Later(FActions.ShowWindow); });

    QAction* pass = FMenu->addAction(QString::fromUtf8("Pass-through (键鼠直传)"));
    pass->setObjectName(QStringLiteral("TrayPassThrough"));
    pass->setCheckable(true);
    pass->setChecked(FState.PassThrough);
    connect(pass, &QAction::triggered, this, [this](bool on) {
        Later([this, on] {
            if (FActions.SetPassThrough)
                FActions.SetPassThrough(on);
        });
    });

    FMenu->addSeparator();
    auto* routes = new QActionGroup(FMenu.get());
    FRoutes = routes;
    routes->setExclusive(true);
    const auto addRoute = [&](const QString& text, const std::string& address, const QString& name) {
        QAction* route = FMenu->addAction(text);
        route->setObjectName(name);
        route->setCheckable(true);
        route->setChecked(address == FState.RouteTarget);
        route->setActionGroup(routes);
        // By address: the dongle may have gone by the time the entry is picked, and the window
        // then says so.
        connect(route, &QAction::triggered, this, [this, address] {
            Later([this, address] {
                if (FActions.RouteTo)
                    FActions.RouteTo(address);
            });
        });
    };
    addRoute(QStringLiteral("Input to every dongle"), std::string(), QStringLiteral("TrayRouteAll"));
    for (const TTrayState::TDongle& d : FState.Dongles) {
        // "&" in a name would make a mnemonic of the next letter.
        QString label = d.Label;
        label.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QString text = QStringLiteral("Input to %1 only").arg(label);
        if (d.Number > 0 || d.Away) {
            QStringList notes;
            if (d.Number > 0) {
                notes << QString::number(d.Number);
            }
            if (d.Away) {
                notes << QStringLiteral("reconnecting");
            }
            text += QStringLiteral(" (") + notes.join(QStringLiteral(", ")) + QLatin1Char(')');
        }
        addRoute(text, d.Address, QStringLiteral("TrayRoute:") + QString::fromStdString(d.Address));
    }
    FillSequenceMenu();
    FMenu->addSeparator();
    QAction* quit = FMenu->addAction(QStringLiteral("Quit"));
    quit->setObjectName(QStringLiteral("TrayQuit"));
    connect(quit, &QAction::triggered, this, [this] { Later(FActions.Quit); });
}

void TTrayIcon::FillSequenceMenu() {
    // Clearing the menu takes its entries, not the submenus it owns.
    delete FSequenceMenu;
    FSequenceMenu = nullptr;
    if (FState.Sequences.empty()) {
        return;
    }
    FMenu->addSeparator();
    QMenu* sub = FMenu->addMenu(QStringLiteral("Key sequences"));
    FSequenceMenu = sub;
    sub->setObjectName(QStringLiteral("TraySequences"));
    for (std::size_t i = 0; i < FState.Sequences.size() && i < TrayMaxSequences; ++i) {
        const TTrayState::TSequence& sequence = FState.Sequences[i];
        QString label = sequence.Dongle.empty()
                            ? sequence.Name
                            : QStringLiteral("%1 (%2)").arg(sequence.Name, sequence.Where);
        label.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* play = sub->addAction(label);
        play->setObjectName(QStringLiteral("TraySequence"));
        // By name: the window looks it up when it is picked, and says so when it is gone.
        connect(play, &QAction::triggered, this, [this, name = sequence.Name, dongle = sequence.Dongle] {
            Later([this, name, dongle] {
                if (FActions.PlaySequence)
                    FActions.PlaySequence(name, dongle);
            });
        });
    }
    if (FState.Sequences.size() > TrayMaxSequences) {
        sub->addAction(QStringLiteral("%1 more in the window's menus")
                           .arg(FState.Sequences.size() - TrayMaxSequences))
            ->setEnabled(false);
    }
}

QIcon TTrayIcon::Draw(TTrayImage Image, int Digit) const {
    QIcon icon;
    for (const int edge : IconEdges) {
        QImage picture = FAppIcon.pixmap(edge, edge).toImage().convertToFormat(QImage::Format_ARGB32);
        if (picture.isNull()) {
            picture = QImage(edge, edge, QImage::Format_ARGB32);
            picture.fill(Qt::transparent);
        }
        if (Image == TTrayImage::Off) {
            // Faded grey: the keyboard stays here.
            for (int y = 0; y < picture.height(); ++y) {
                auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
                for (int x = 0; x < picture.width(); ++x) {
                    const int grey = 96 + qGray(line[x]) / 2;
                    line[x] = qRgba(grey, grey, grey, qAlpha(line[x]) * 3 / 4);
                }
            }
        } else {
            // A badge with the digit that picks this route: 0 for every dongle.
            QPainter painter(&picture);
            painter.setRenderHint(QPainter::Antialiasing);
            const int badge = edge * 11 / 16;
            const QRectF circle(edge - badge, edge - badge, badge, badge);
            painter.setPen(QPen(Qt::white, edge >= 32 ? 2.0 : 1.0));
            painter.setBrush(Image == TTrayImage::ToAll ? ToAllColour : ToOneColour);
            painter.drawEllipse(circle.adjusted(0.5, 0.5, -0.5, -0.5));
            QFont font = painter.font();
            font.setBold(true);
            font.setPixelSize(std::max(7, badge * 3 / 4));
            painter.setFont(font);
            painter.setPen(Qt::white);
            painter.drawText(circle, Qt::AlignCenter,
                             Digit >= 0 ? QString::number(Digit) : QStringLiteral("\u2022"));
        }
        icon.addPixmap(QPixmap::fromImage(picture));
    }
    return icon;
}
