#include "PreviewWindow.h"

#include <QBoxLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

#include "BluezService.h"

namespace {
// A lit light stands out in the monospaced state lines.
QString Light(int lit) {
    return lit ? QStringLiteral("\u25CF ON ") : QStringLiteral("\u25CB off");
}
}  // namespace

TPreviewWindow::TPreviewWindow(TBluezService& service) : FService(service) {
    setWindowTitle(QStringLiteral("Corvastel virtual dongles"));
    auto* row = new QHBoxLayout(this);
    FRow = row;
    // More than two dongles go in columns of two, so that four still fit beside the app; the row
    // of columns turns into a stack where the screen has no room beside it.
    const auto dongles = FService.Dongles();
    QVBoxLayout* column = nullptr;
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
        if (dongles.size() <= 2) {
            row->addWidget(box);
        } else {
            if (FPanels.size() % 2 == 0) {
                column = new QVBoxLayout();
                row->addLayout(column);
            }
            column->addWidget(box);
        }
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
        const QString usb =
            QStringLiteral("%1:%2").arg(id.vid, 4, 16, QLatin1Char('0')).arg(id.pid, 4, 16, QLatin1Char('0'));
        p.title->setText(QStringLiteral("<b>%1</b> %2<br>USB %3 ver %4, layout %6 (%7) — %5")
                             .arg(QString::fromStdString(d.Name()).toHtmlEscaped(), p.address, usb.toUpper())
                             .arg(id.ver)
                             .arg(it->resolved    ? QStringLiteral("connected")
                                  : it->connected ? QStringLiteral("connecting")
                                                  : QStringLiteral("not connected"))
                             .arg(QString::fromStdString(d.Layout()).toHtmlEscaped(),
                                  QString::fromStdString(d.System()).toHtmlEscaped()));
        const vdongle::TVirtualTarget t = d.Target();
        const QString text = QString::fromStdString(t.text);
        if (p.text->toPlainText() != text)
            p.text->setPlainText(text);
        QStringList held;
        for (uint8_t k : t.keysHeld)
            held << QString::number(k);
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
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    QRect other(QPoint(0, 0), centred);
    other.moveCenter(area.center());
    // The frame the window manager adds is not known before the window is shown; leave room for it.
    constexpr int gap = 24;
    const int top = std::max(area.top(), other.top());
    const int left = std::max(area.left(), other.left());
    struct TRoom {
        QRect room;
        // Where a window of this size goes in the room: as close to the other window as it can.
        QPoint (*at)(const QRect& room, QSize size, int top, int left);
    };
    const TRoom rooms[] = {
        {QRect(QPoint(other.right() + gap, area.top()), area.bottomRight()),
         [](const QRect& r, QSize s, int t, int) {
             return QPoint(r.left(), std::min(t, r.bottom() - s.height()));
         }},
        {QRect(area.topLeft(), QPoint(other.left() - gap, area.bottom())),
         [](const QRect& r, QSize s, int t, int) {
             return QPoint(r.right() - s.width(), std::min(t, r.bottom() - s.height()));
         }},
        {QRect(QPoint(area.left(), other.bottom() + gap), area.bottomRight()),
         [](const QRect& r, QSize s, int, int l) {
             return QPoint(std::min(l, r.right() - s.width()), r.top());
         }},
        {QRect(area.topLeft(), QPoint(area.right(), other.top() - gap)),
         [](const QRect& r, QSize s, int, int l) {
             return QPoint(std::min(l, r.right() - s.width()), r.bottom() - s.height());
         }},
    };
    const auto fits = [](const QRect& room, QSize size) {
        return room.width() >= size.width() + gap && room.height() >= size.height() + gap;
    };
    // Side by side first, then stacked.
    for (const auto direction : {QBoxLayout::LeftToRight, QBoxLayout::TopToBottom}) {
        FRow->setDirection(direction);
        FRow->activate();
        adjustSize();
        const QSize size = sizeHint().expandedTo(minimumSizeHint());
        for (const TRoom& r : rooms) {
            if (fits(r.room, size)) {
                move(r.at(r.room, size, top, left));
                return;
            }
        }
    }
    // Nowhere whole (a small screen): on the screen, pushed as far from the other window as the
    // screen allows, in the arrangement and on the side where the two overlap least.
    const QSize limit(std::max(1, area.width() - gap), std::max(1, area.height() - gap));
    long best = -1;
    QBoxLayout::Direction bestDirection = QBoxLayout::LeftToRight;
    QPoint bestAt = area.topLeft();
    for (const auto direction : {QBoxLayout::LeftToRight, QBoxLayout::TopToBottom}) {
        FRow->setDirection(direction);
        FRow->activate();
        const QSize size = sizeHint().expandedTo(minimumSizeHint()).boundedTo(limit) + QSize(gap, gap);
        const int farLeft = area.left();
        const int farRight = std::max(area.left(), area.right() - size.width());
        const int farTop = area.top();
        const int farBottom = std::max(area.top(), area.bottom() - size.height());
        const int nearX = std::clamp(left, farLeft, farRight);
        const int nearY = std::clamp(top, farTop, farBottom);
        for (const QPoint at : {QPoint(farRight, nearY), QPoint(farLeft, nearY), QPoint(nearX, farBottom),
                                QPoint(nearX, farTop)}) {
            const QRect overlap = QRect(at, size).intersected(other);
            const long cost = overlap.isEmpty() ? 0L : static_cast<long>(overlap.width()) * overlap.height();
            if (best < 0 || cost < best) {
                best = cost;
                bestDirection = direction;
                bestAt = at;
            }
        }
    }
    FRow->setDirection(bestDirection);
    FRow->activate();
    resize(sizeHint().expandedTo(minimumSizeHint()).boundedTo(limit));
    move(bestAt);
}
