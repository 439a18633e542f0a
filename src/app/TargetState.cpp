#include "app/TargetState.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "hid/TextKeys.h"

namespace {

struct TLight {
    uint8_t Bit;
    const char* Small;
    const char* Large;
};
constexpr TLight Lights[] = {
    {LedNumLock, "N", "Num"},
    {LedCapsLock, "C", "Caps"},
    {LedScrollLock, "S", "Scroll"},
};

const QColor LitColour(0x2E, 0xA0, 0x43);
const QColor BehindColour(0xC0, 0x39, 0x2B);

QFont SmallFont(const QFont& base) {
    QFont font = base;
    font.setPointSizeF(std::max(6.0, base.pointSizeF() - 2));
    font.setBold(true);
    return font;
}

bool Replaced(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F ||
           c == 0x061C;
}

}  // namespace

QString LinkLatencyText(const TCorvastelDevice::TLinkStats& Stats) {
    if (Stats.LinkMeasured) {
        // How late a key arrives on the link as learned (the item has room for one figure; the
        // Details and the tooltip give the reports a second and the event spacing too).
        return QStringLiteral("%1 ms").arg(std::max(1L, std::lround(Stats.KeyLatencyUs / 1000.0)));
    }
    if (Stats.WriteRoundTripUs == 0) {
        return QStringLiteral("\u2014");
    }
    if (Stats.WriteRoundTripUs < 1000) {
        return QStringLiteral("<1 ms");
    }
    return QStringLiteral("%1 ms").arg(std::lround(Stats.WriteRoundTripUs / 1000.0));
}

bool LinkShownLate(const TCorvastelDevice::TLinkStats& Stats) {
    return Stats.FallingBehind || Stats.CannotKeepUp;
}

QString LinkDescription(const TCorvastelDevice::TLinkStats& Stats) {
    if (Stats.WriteRoundTripUs == 0 && !Stats.LinkMeasured) {
        return QStringLiteral("not measured yet (nothing sent)");
    }
    QString text;
    if (Stats.LinkMeasured) {
        text = QStringLiteral("carries about %1 reports a second, a connection event every %2 ms or so; "
                              "a key reaches the dongle in about %3 ms")
                   .arg(std::lround(Stats.WritesPerSecond))
                   .arg(std::lround(Stats.IntervalUs / 1000.0))
                   .arg(std::max(1L, std::lround(Stats.KeyLatencyUs / 1000.0)));
    } else {
        text = QStringLiteral("a write takes %1, reports wait %2 ms before they go out")
                   .arg(LinkLatencyText(Stats))
                   .arg(Stats.QueueWaitUs / 1000.0, 0, 'f', 1);
    }
    if (Stats.CannotKeepUp) {
        text += QStringLiteral(" \u2014 too slow even with mouse motion merged: input reaches the target late. "
                               "Move the dongle closer to this computer, or stop forwarding the mouse to it");
    } else if (Stats.FallingBehind) {
        text += QStringLiteral(" \u2014 falling behind: input reaches the target late");
    }
    return text;
}

QString LockDescription(uint8_t Leds) {
    QStringList parts;
    for (const TLight& light : Lights) {
        parts << QStringLiteral("%1 Lock %2")
                     .arg(QLatin1String(light.Large),
                          (Leds & light.Bit) ? QStringLiteral("on") : QStringLiteral("off"));
    }
    return parts.join(QStringLiteral(", "));
}

QString PeerText(const std::string& Utf8, int MaxChars) {
    const QString decoded = QString::fromUtf8(Utf8.data(), static_cast<qsizetype>(Utf8.size()));
    QString out;
    int count = 0;
    for (const char32_t c : decoded.toStdU32String()) {
        if (count == MaxChars) {
            out += QChar(0x2026);
            break;
        }
        const char32_t shown = Replaced(c) ? char32_t{0xFFFD} : c;
        out += QString::fromUcs4(&shown, 1);
        ++count;
    }
    return out;
}

void PaintLockLight(QPainter& Painter, const QRect& Rect, const QString& Label, bool Lit) {
    Painter.save();
    Painter.setRenderHint(QPainter::Antialiasing);
    const QColor text = QApplication::palette().color(QPalette::WindowText);
    QPainterPath pill;
    pill.addRoundedRect(QRectF(Rect).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    if (Lit) {
        Painter.fillPath(pill, LitColour);
        Painter.setPen(Qt::white);
    } else {
        Painter.setPen(QColor(text.red(), text.green(), text.blue(), 90));
        Painter.drawPath(pill);
    }
    Painter.drawText(Rect, Qt::AlignCenter, Label);
    Painter.restore();
}

void TDeviceItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    const QVariant leds = index.data(ItemLedRole);
    if (!leds.isValid()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const QFont font = SmallFont(option.font);
    const int strip = QFontMetrics(font).height() + 4;
    QStyleOptionViewItem top = option;
    top.rect.setBottom(option.rect.bottom() - strip);
    QStyledItemDelegate::paint(painter, top, index);

    painter->save();
    painter->setFont(font);
    const QFontMetrics metrics(font);
    const int box = metrics.height() + 2;
    const QString link = index.data(ItemLinkRole).toString();
    const bool behind = index.data(ItemBehindRole).toBool();
    const int width = 3 * (box + 2) + 4 + metrics.horizontalAdvance(link);
    int x = option.rect.center().x() - width / 2;
    const int y = option.rect.bottom() - strip + 2;
    for (const TLight& light : Lights) {
        PaintLockLight(*painter, QRect(x, y, box, box), QLatin1String(light.Small),
                       (leds.toInt() & light.Bit) != 0);
        x += box + 2;
    }
    painter->setPen(behind ? BehindColour : option.palette.color(QPalette::Text));
    painter->drawText(QRect(x + 4, y, metrics.horizontalAdvance(link) + 2, box),
                      Qt::AlignVCenter | Qt::AlignLeft, link);
    painter->restore();
}

QSize TDeviceItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (index.data(ItemLedRole).isValid()) {
        const QFontMetrics metrics(SmallFont(option.font));
        const int box = metrics.height() + 2;
        const int width = 3 * (box + 2) + 8 + metrics.horizontalAdvance(index.data(ItemLinkRole).toString());
        size.setWidth(std::max(size.width(), width));
        size.setHeight(size.height() + metrics.height() + 4);
    }
    return size;
}

TLockLights::TLockLights(QWidget* Parent) : QWidget(Parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TLockLights::SetState(uint8_t Leds, const QString& Link, bool Behind) {
    if (Leds == FLeds && Link == FLink && Behind == FBehind) {
        return;
    }
    FLeds = Leds;
    FLink = Link;
    FBehind = Behind;
    setToolTip(LockDescription(Leds));
    update();
}

void TLockLights::paintEvent(QPaintEvent* /*Event*/) {
    QPainter painter(this);
    QFont font = this->font();
    font.setBold(true);
    painter.setFont(font);
    const QFontMetrics metrics(font);
    const int h = height();
    int x = 0;
    for (const TLight& light : Lights) {
        const QString label = QLatin1String(light.Large);
        const int w = metrics.horizontalAdvance(label) + 14;
        PaintLockLight(painter, QRect(x, 0, w, h), label, (FLeds & light.Bit) != 0);
        x += w + 6;
    }
    QString link = QStringLiteral("link ") + FLink;
    if (FBehind) {
        link += QStringLiteral(" \u2014 behind");
    }
    painter.setPen(FBehind ? BehindColour : palette().color(QPalette::WindowText));
    painter.drawText(QRect(x + 4, 0, width() - x - 4, h), Qt::AlignVCenter | Qt::AlignRight, link);
}
