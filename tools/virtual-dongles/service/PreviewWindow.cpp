#include "PreviewWindow.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

#include "BluezService.h"

namespace {
// A lit light stands out in the monospaced state lines.
QString Light(int lit) { return lit ? QStringLiteral("\u25CF ON ") : QStringLiteral("\u25CB off"); }
}  // namespace

TPreviewWindow::TPreviewWindow(TBluezService& service) : FService(service) {
    setWindowTitle(QStringLiteral("Corvastel virtual dongles"));
    // Side by side; more than two in rows of two, so four still fit beside the app on a screen.
    auto* grid = new QGridLayout(this);
    const auto dongles = FService.Dongles();
    const int columns = dongles.size() > 2 ? 2 : static_cast<int>(std::max<std::size_t>(1, dongles.size()));
    for (const auto& view : dongles) {
        TPanel p;
        p.address = QString::fromStdString(view.dongle->Address());
        auto* box = new QGroupBox(this);
        auto* col = new QVBoxLayout(box);
        p.title = new QLabel(box);
        p.text = new QPlainTextEdit(box);
        p.text->setReadOnly(true);
        p.text->setMinimumSize(260, 120);
        p.state = new QLabel(box);
        p.state->setTextInteractionFlags(Qt::TextSelectableByMouse);
        p.state->setFont(QFont(QStringLiteral("monospace")));
        col->addWidget(p.title);
        col->addWidget(new QLabel(QStringLiteral("Typed text on the target:"), box));
        col->addWidget(p.text);
        col->addWidget(p.state);
        const int n = static_cast<int>(FPanels.size());
        grid->addWidget(box, n / columns, n % columns);
        FPanels.push_back(p);
    }
    FTimer.setInterval(100);
    connect(&FTimer, &QTimer::timeout, this, [this] { Refresh(); });
    FTimer.start();
    Refresh();
}

void TPreviewWindow::Refresh() {
    const auto views = FService.Dongles();
    for (TPanel& p : FPanels) {
        auto it = std::find_if(views.begin(), views.end(), [&](const auto& v) {
            return QString::fromStdString(v.dongle->Address()) == p.address;
        });
        if (it == views.end()) {
            p.title->setText(p.address + QStringLiteral(" — gone"));
            continue;
        }
        const auto& d = *it->dongle;
        const vdongle::TDongleIdentity id = d.Identity();
        const QString usb = QStringLiteral("%1:%2").arg(id.vid, 4, 16, QLatin1Char('0')).arg(id.pid, 4, 16, QLatin1Char('0'));
        p.title->setText(QStringLiteral("<b>%1</b> %2<br>USB %3 ver %4, layout %6 — %5")
                             .arg(QString::fromStdString(d.Name()).toHtmlEscaped(), p.address, usb.toUpper())
                             .arg(id.ver)
                             .arg(it->resolved    ? QStringLiteral("connected")
                                  : it->connected ? QStringLiteral("connecting")
                                                  : QStringLiteral("not connected"))
                             .arg(QString::fromStdString(d.Layout()).toHtmlEscaped()));
        const vdongle::TVirtualTarget t = d.Target();
        const QString text = QString::fromStdString(t.text);
        if (p.text->toPlainText() != text) p.text->setPlainText(text);
        QStringList held;
        for (uint8_t k : t.keysHeld) held << QString::number(k);
        p.state->setText(QStringLiteral("keys held: %1  modifiers: %2\n"
                                        "pointer: %3, %4  buttons: %5  wheel: %6\n"
                                        "locks: Num %7  Caps %8  Scroll %9\n"
                                        "reports: %10 keyboard, %11 mouse, %12 rejected\n"
                                        "last: %13")
                             .arg(held.isEmpty() ? QStringLiteral("none") : held.join(QLatin1Char(' ')))
                             .arg(t.modifiers, 2, 16, QLatin1Char('0'))
                             .arg(t.pointerX)
                             .arg(t.pointerY)
                             .arg(t.buttons, 2, 16, QLatin1Char('0'))
                             .arg(t.wheel)
                             .arg(Light(t.ledStatus & vdongle::LedNumLock))
                             .arg(Light(t.ledStatus & vdongle::LedCapsLock))
                             .arg(Light(t.ledStatus & vdongle::LedScrollLock))
                             .arg(t.keyboardReports)
                             .arg(t.mouseReports)
                             .arg(t.rejectedReports)
                             .arg(QString::fromStdString(vdongle::ToHex(t.lastReport))));
    }
}

void TPreviewWindow::PlaceBeside(QSize centred) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    adjustSize();
    const QRect area = screen->availableGeometry();
    QRect other(QPoint(0, 0), centred);
    other.moveCenter(area.center());
    // The frame the window manager adds is not known before the window is shown; leave room for it.
    constexpr int gap = 24;
    const QSize size = frameSize().expandedTo(sizeHint()) + QSize(gap, gap);
    const int top = std::max(area.top(), other.top());
    QPoint at;
    if (other.right() + size.width() <= area.right()) {
        at = QPoint(other.right() + gap, top);
    } else if (other.left() - size.width() >= area.left()) {
        at = QPoint(other.left() - size.width(), top);
    } else if (other.bottom() + size.height() <= area.bottom()) {
        at = QPoint(std::max(area.left(), other.left()), other.bottom() + gap);
    } else {
        at = QPoint(area.left(), area.top());  // no room beside: at least not over its centre
    }
    move(at);
}
