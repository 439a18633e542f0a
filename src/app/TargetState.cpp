#include "app/TargetState.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QToolTip>

#include <algorithm>
#include <cmath>

#include "app/NicknameFile.h"
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

namespace {
bool LinkQuiet(const TCorvastelDevice::TLinkStats& Stats) {
    return Stats.IdleUs >= LinkQuietAfterUs;
}
}  // namespace

bool LinkShownLate(const TCorvastelDevice::TLinkStats& Stats) {
    return (Stats.FallingBehind || Stats.CannotKeepUp) && !LinkQuiet(Stats);
}

QString LinkDescription(const TCorvastelDevice::TLinkStats& Stats, bool MouseSent) {
    if (Stats.WriteRoundTripUs == 0 && !Stats.LinkMeasured) {
        return QStringLiteral("not measured yet (nothing sent)");
    }
    QString text;
    if (Stats.LinkMeasured) {
        text = QStringLiteral(
                   "carries about %1 reports a second, a connection event every %2 ms or so; "
                   "a key reaches the dongle in about %3 ms")
                   .arg(std::lround(Stats.WritesPerSecond))
                   .arg(std::lround(Stats.IntervalUs / 1000.0))
                   .arg(std::max(1L, std::lround(Stats.KeyLatencyUs / 1000.0)));
    } else {
        text = QStringLiteral("a write takes %1, reports wait %2 ms before they go out")
                   .arg(LinkLatencyText(Stats))
                   .arg(Stats.QueueWaitUs / 1000.0, 0, 'f', 1);
    }
    if (LinkQuiet(Stats)) {
        return text;
    }
    if (Stats.CannotKeepUp) {
        text += QStringLiteral(
            " \u2014 too slow even with mouse motion merged: input reaches the target late. "
            "Move the dongle closer to this computer");
        if (MouseSent) {
            text += QStringLiteral(", or stop forwarding the mouse to it");
        }
    } else if (Stats.FallingBehind) {
        text += QStringLiteral(" \u2014 falling behind: input reaches the target late");
    }
    return text;
}

QString LinkSummary(const TCorvastelDevice::TLinkStats& Stats) {
    if (Stats.WriteRoundTripUs == 0) {
        return QStringLiteral("not measured yet (nothing sent)");
    }
    QString text = QStringLiteral("input reaches the dongle in about %1").arg(LinkLatencyText(Stats));
    if (Stats.FallingBehind && !LinkQuiet(Stats)) {
        text += QStringLiteral(" \u2014 falling behind: input reaches its computer late");
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

QString DongleName(const std::string& Nickname, const std::string& Advertised,
                   const std::string& Identifier) {
    if (!Nickname.empty()) {
        return PeerText(Nickname, static_cast<int>(NicknameMaxChars));
    }
    return PeerText(Advertised.empty() ? Identifier : Advertised);
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

namespace {
constexpr int CellMargin = 3;
constexpr int LightGap = 2;

int LightBox(const QFont& font) {
    return QFontMetrics(SmallFont(font)).height() + 1;
}

int LinkWidth(const QFont& font) {
    // The widest latency the row shows; the text never moves when "9 ms" becomes "10 ms".
    return QFontMetrics(SmallFont(font)).horizontalAdvance(QStringLiteral("999 ms")) + 2;
}
}  // namespace

QSize DeviceItemCellSize(const QFont& Font, QSize IconSize) {
    const QFontMetrics metrics(Font);
    const int lights = 3 * (LightBox(Font) + LightGap) + 4 + LinkWidth(Font);
    // Wide enough for the lights' row and a caption of a dozen characters; three to a row in the list.
    const int width = std::max({lights, IconSize.width(), metrics.averageCharWidth() * 11}) + 2 * CellMargin;
    const int height =
        CellMargin + IconSize.height() + 2 + metrics.height() + 2 + LightBox(Font) + CellMargin;
    return {width, height};
}

TDeviceItemLayout DeviceItemLayout(const QRect& Cell, const QFont& Font, QSize IconSize) {
    const QFontMetrics metrics(Font);
    const QRect inner = Cell.adjusted(CellMargin, CellMargin, -CellMargin, -CellMargin);
    TDeviceItemLayout layout;
    layout.Icon = QRect(QPoint(inner.center().x() - IconSize.width() / 2 + 1, inner.top()), IconSize);
    layout.Caption = QRect(inner.left(), layout.Icon.bottom() + 3, inner.width(), metrics.height());
    const int box = LightBox(Font);
    const int lightsWidth = 3 * box + 2 * LightGap;
    const int rowWidth = lightsWidth + 4 + LinkWidth(Font);
    const int left = inner.center().x() - rowWidth / 2 + 1;
    const int top = layout.Caption.bottom() + 3;
    layout.Lights = QRect(left, top, lightsWidth, box);
    layout.Link = QRect(left + lightsWidth + 4, top, LinkWidth(Font), box);
    return layout;
}

QString DeviceItemCaption(const QString& Text, const QFont& Font, int Width) {
    QString line = Text;
    // A caption is one line whatever it holds.
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return QFontMetrics(Font).elidedText(line, Qt::ElideRight, Width);
}

namespace {
// A small padlock in the icon's top right corner: the link is encrypted.
void PaintLinkLock(QPainter& Painter, const QRect& Icon, const QColor& Colour) {
    const int size = std::max(8, Icon.width() / 4);
    const QRect box(Icon.right() - size + 1, Icon.top(), size, size);
    Painter.save();
    Painter.setRenderHint(QPainter::Antialiasing);
    const QRectF body(box.left(), box.top() + size * 0.45, size, size * 0.55);
    const QRectF shackle(box.left() + size * 0.2, box.top(), size * 0.6, size * 0.8);
    Painter.setPen(QPen(Colour, std::max(1.0, size / 8.0)));
    Painter.setBrush(Qt::NoBrush);
    Painter.drawArc(shackle, 0, 180 * 16);
    Painter.drawLine(QPointF(shackle.left(), shackle.center().y()), QPointF(shackle.left(), body.top()));
    Painter.drawLine(QPointF(shackle.right(), shackle.center().y()), QPointF(shackle.right(), body.top()));
    Painter.setBrush(QColor(0xD4, 0xA0, 0x17));
    Painter.drawRect(body);
    Painter.restore();
}
}  // namespace

void TDeviceItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    const QSize iconSize = opt.decorationSize;
    const TDeviceItemLayout layout = DeviceItemLayout(option.rect, opt.font, iconSize);

    painter->save();
    painter->setClipRect(option.rect);
    // The whole cell is painted, background first, so nothing of an earlier drawing stays.
    painter->fillRect(option.rect, option.palette.brush(QPalette::Base));
    opt.text.clear();
    opt.icon = QIcon();
    opt.features &= ~QStyleOptionViewItem::HasDisplay;
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

    const bool selected = (option.state & QStyle::State_Selected) != 0;
    const QIcon icon = qvariant_cast<QIcon>(index.data(Qt::DecorationRole));
    icon.paint(painter, layout.Icon, Qt::AlignCenter, selected ? QIcon::Selected : QIcon::Normal);
    if (index.data(ItemSecureRole).toBool()) {
        PaintLinkLock(*painter, layout.Icon, option.palette.color(QPalette::Text));
    }

    painter->setFont(opt.font);
    const QPalette::ColorGroup group =
        (option.state & QStyle::State_Active) != 0 ? QPalette::Active : QPalette::Inactive;
    const QString caption =
        DeviceItemCaption(index.data(Qt::DisplayRole).toString(), opt.font, layout.Caption.width());
    if (selected) {
        // The selection marks the caption, as icon lists do.
        const int textWidth = QFontMetrics(opt.font).horizontalAdvance(caption) + 6;
        QRect mark(0, layout.Caption.top(), std::min(textWidth, layout.Caption.width() + 2 * CellMargin - 2),
                   layout.Caption.height());
        mark.moveLeft(layout.Caption.center().x() - mark.width() / 2 + 1);
        painter->fillRect(mark, option.palette.brush(group, QPalette::Highlight));
    }
    painter->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(layout.Caption, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, caption);

    const QVariant leds = index.data(ItemLedRole);
    if (leds.isValid()) {
        const QFont font = SmallFont(opt.font);
        painter->setFont(font);
        const int box = layout.Lights.height();
        int x = layout.Lights.left();
        for (const TLight& light : Lights) {
            PaintLockLight(*painter, QRect(x, layout.Lights.top(), box, box), QLatin1String(light.Small),
                           (leds.toInt() & light.Bit) != 0);
            x += box + LightGap;
        }
        const bool behind = index.data(ItemBehindRole).toBool();
        painter->setPen(behind ? BehindColour : option.palette.color(group, QPalette::Text));
        painter->drawText(layout.Link, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                          QFontMetrics(font).elidedText(index.data(ItemLinkRole).toString(), Qt::ElideRight,
                                                        layout.Link.width()));
    }
    painter->restore();
}

QString LockLightToolTip(uint8_t Bit, uint8_t Leds) {
    for (const TLight& light : Lights) {
        if (light.Bit == Bit) {
            return QStringLiteral("%1 Lock is %2 on the dongle's computer (as the dongle reports it)")
                .arg(QLatin1String(light.Large),
                     (Leds & Bit) != 0 ? QStringLiteral("on") : QStringLiteral("off"));
        }
    }
    return {};
}

QString LinkToolTip(const QString& Latency, bool Behind) {
    QString text = Latency == QStringLiteral("\u2014")
                       ? QStringLiteral("Link latency: not measured yet (nothing sent)")
                       : QStringLiteral("Link latency: input reaches the dongle in about %1").arg(Latency);
    if (Behind) {
        text += QStringLiteral(". Falling behind: input reaches its computer late");
    }
    return text;
}

bool TDeviceItemDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
    const QVariant leds = index.data(ItemLedRole);
    if (event != nullptr && event->type() == QEvent::ToolTip && leds.isValid()) {
        const TDeviceItemLayout layout = DeviceItemLayout(option.rect, option.font, option.decorationSize);
        QString tip;
        if (layout.Lights.contains(event->pos())) {
            const int box = layout.Lights.height();
            const int i = std::clamp((event->pos().x() - layout.Lights.left()) / (box + LightGap), 0, 2);
            tip = LockLightToolTip(Lights[i].Bit, static_cast<uint8_t>(leds.toInt()));
        } else if (layout.Link.contains(event->pos())) {
            tip = LinkToolTip(index.data(ItemLinkRole).toString(), index.data(ItemBehindRole).toBool());
        }
        if (!tip.isEmpty()) {
            QToolTip::showText(event->globalPos(), tip, view->viewport(), layout.Lights.united(layout.Link));
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

QSize TDeviceItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    // The same for every item, whatever it shows: bold (the routed one) or not, lights or not.
    QFont font = opt.font;
    font.setBold(false);
    return DeviceItemCellSize(font, opt.decorationSize);
}

TLockLights::TLockLights(QWidget* Parent) : QWidget(Parent) {}

QRect TLockLights::PartRect(int Part) const {
    QFont font = this->font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    int x = 0;
    for (int i = 0; i < 3; ++i) {
        const int w = metrics.horizontalAdvance(QLatin1String(Lights[i].Large)) + 14;
        if (i == Part) {
            return {x, 0, w, height()};
        }
        x += w + 6;
    }
    return {x + 4, 0, std::max(0, width() - x - 4), height()};
}

bool TLockLights::event(QEvent* Event) {
    if (Event->type() == QEvent::ToolTip) {
        // Each light and the latency say what they mean, not what the key display under them is.
        auto* help = static_cast<QHelpEvent*>(Event);
        for (int part = 0; part < 4; ++part) {
            const QRect rect = PartRect(part);
            if (rect.contains(help->pos())) {
                const QString tip =
                    part < 3 ? LockLightToolTip(Lights[part].Bit, FLeds) : LinkToolTip(FLink, FBehind);
                QToolTip::showText(help->globalPos(), tip, this, rect);
                return true;
            }
        }
        QToolTip::hideText();
        Event->ignore();
        return true;
    }
    return QWidget::event(Event);
}

void TLockLights::SetState(uint8_t Leds, const QString& Link, bool Behind) {
    if (Leds == FLeds && Link == FLink && Behind == FBehind) {
        return;
    }
    FLeds = Leds;
    FLink = Link;
    FBehind = Behind;
    setToolTip(LockDescription(Leds));  // what a screen reader or a test reads; hovering shows each part
    update();
}

void TLockLights::paintEvent(QPaintEvent* /*Event*/) {
    QPainter painter(this);
    QFont font = this->font();
    font.setBold(true);
    painter.setFont(font);
    for (int i = 0; i < 3; ++i) {
        PaintLockLight(painter, PartRect(i), QLatin1String(Lights[i].Large), (FLeds & Lights[i].Bit) != 0);
    }
    QString link = QStringLiteral("link ") + FLink;
    if (FBehind) {
        link += QStringLiteral(" \u2014 behind");
    }
    painter.setPen(FBehind ? BehindColour : palette().color(QPalette::WindowText));
    painter.drawText(PartRect(3), Qt::AlignVCenter | Qt::AlignRight, link);
}
