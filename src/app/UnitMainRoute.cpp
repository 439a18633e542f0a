// Where input goes, the window's side: the route, the dongles' numbers and the route's notice are
// decided by TRouteControl (app/RouteControl.h); the window feeds it the connected dongles in list
// order, those being brought back, and their captions, and shows what it decides: each numbered
// dongle's item carries its number in a badge, the item of the dongle that receives input is framed,
// with an arrow and a bold caption, and the notice line says "→ all" or "→ <name>".
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <utility>
#include <vector>

#include "app/CorvastelApplication.h"
#include "app/TargetState.h"
#include "app/UnitMain.h"

namespace {

// The item data that marks the routed dongle. A role of its own, so that captions and images set
// by scanning, connecting and renaming leave the mark alone.
constexpr int RouteMarkRole = Qt::UserRole + 0x52;
// int: the dongle's number (1 to 9) for the route keys; absent: none.
constexpr int RouteNumberRole = Qt::UserRole + 0x53;

// Paints over the item as drawn with its lights: the dongle's number in a badge at the icon's top
// right corner, and the route's mark (a frame in the highlight colour and an arrow pointing at the
// icon).
class TRouteMarkDelegate final : public TDeviceItemDelegate {
  public:
    using TDeviceItemDelegate::TDeviceItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        TDeviceItemDelegate::paint(painter, option, index);
        if (const int number = index.data(RouteNumberRole).toInt(); number > 0) {
            PaintNumber(painter, option, number);
        }
        if (!index.data(RouteMarkRole).toBool()) {
            return;
        }
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QColor colour = option.palette.color(QPalette::Active, QPalette::Highlight);
        painter->setPen(QPen(colour, 2));
        painter->setBrush(Qt::NoBrush);
        const QRectF frame = QRectF(option.rect).adjusted(1, 1, -1, -1);
        painter->drawRoundedRect(frame, 4, 4);
        QPainterPath arrow;
        const QPointF at = frame.topLeft() + QPointF(4, 6);
        arrow.moveTo(at);
        arrow.lineTo(at + QPointF(9, 6));
        arrow.lineTo(at + QPointF(0, 12));
        arrow.closeSubpath();
        painter->fillPath(arrow, colour);
        painter->restore();
    }

  private:
    static void PaintNumber(QPainter* painter, const QStyleOptionViewItem& option, int Number) {
        const TDeviceItemLayout layout = DeviceItemLayout(option.rect, option.font, option.decorationSize);
        const int edge = std::max(12, layout.Icon.height() / 2);
        const QRectF badge(layout.Icon.right() - edge / 2.0, layout.Icon.top() - 1, edge, edge);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QPalette::ColorGroup group = QPalette::Active;
        painter->setPen(QPen(option.palette.color(group, QPalette::Base), 1));
        painter->setBrush(option.palette.color(group, QPalette::Text));
        painter->drawEllipse(badge.adjusted(0.5, 0.5, -0.5, -0.5));
        QFont font = option.font;
        font.setBold(true);
        font.setPixelSize(std::max(8, edge * 3 / 4));
        painter->setFont(font);
        painter->setPen(option.palette.color(group, QPalette::Base));
        painter->drawText(badge, Qt::AlignCenter, QString::number(Number));
        painter->restore();
    }
};

// The connected dongles as the route sees them, with the numbers of those connected or away.
class TRouteSessions final : public TInputRoute::TTargets {
  public:
    TRouteSessions(std::vector<TCorvastelDevice*> sessions, const TRouteNumbers& numbers)
        : FSessions(std::move(sessions)), FNumbers(numbers) {}
    std::size_t Count() const override { return FSessions.size(); }
    std::string Id(std::size_t Index) const override { return FSessions.at(Index)->Device->Address(); }
    void Release(std::size_t Index) override {
        TCorvastelDevice* session = FSessions.at(Index);
        session->ReleaseAll();
    }
    std::string Numbered(int Digit) const override { return FNumbers.Holder(Digit); }

  private:
    std::vector<TCorvastelDevice*> FSessions;
    const TRouteNumbers& FNumbers;
};

}  // namespace

void TFormCorvastelPc::InstallRouteMarks() {
    // Takes the place of the lights' delegate, whose painting it extends.
    QAbstractItemDelegate* previous = DeviceListView->itemDelegate();
    DeviceListView->setItemDelegate(new TRouteMarkDelegate(DeviceListView));
    delete previous;
}

bool TFormCorvastelPc::RouteMarked(const QListWidgetItem* Item) {
    return Item != nullptr && Item->data(RouteMarkRole).toBool();
}

std::vector<TCorvastelDevice*> TFormCorvastelPc::ConnectedInListOrder() const {
    std::vector<TCorvastelDevice*> out;
    for (int k = 0; k < FoundDeviceCount; ++k) {
        const int slot = FindSession(FoundDevices[k]->Address());
        if (slot >= 0 && InputReady(Sessions[slot]) &&
            std::find(out.begin(), out.end(), Sessions[slot]) == out.end()) {
            out.push_back(Sessions[slot]);
        }
    }
    // Not listed (the list was cleared meanwhile): after the listed ones, in connection order.
    for (int i = 0; i < SessionCount; ++i) {
        if (InputReady(Sessions[i]) && std::find(out.begin(), out.end(), Sessions[i]) == out.end()) {
            out.push_back(Sessions[i]);
        }
    }
    return out;
}

QString TFormCorvastelPc::DongleLabel(const std::string& Address) const {
    // The list's caption follows the naming rule (DongleName); reading the nickname file here would
    // put file reads into the keyboard hook.
    if (const int k = FoundSlotOf(Address); k >= 0) {
        if (const QListWidgetItem* item = DeviceListView->item(k);
            item != nullptr && !item->text().isEmpty()) {
            return item->text();
        }
        return DongleName({}, FoundDevices[k]->DeviceName(), FoundDevices[k]->Identifier());
    }
    // A dongle being brought back may have left the list with a new scan.
    if (const TBluetoothLEDevice* device = Reconnect.Device(Address)) {
        return DongleName({}, device->DeviceName(), device->Identifier());
    }
    return QString::fromStdString(Address);
}

std::string TFormCorvastelPc::DongleTitle(const std::string& Address) const {
    const std::string label = DongleLabel(Address).toStdString();
    return label == Address ? label : label + " (" + Address + ")";
}

bool TFormCorvastelPc::SelectRoute(int Digit) {
    TRouteSessions targets(ConnectedInListOrder(), FRouteControl.Numbers());
    const bool taken = FRouteControl.SelectDigit(Digit, targets);
    ShowRoute();
    UpdateLinkNotices();  // a route held for a dongle that is away may have been let go
    // The large lock lights follow the route; refreshing them reads the nickname file, which is
    // kept out of the keyboard hook.
    FUiQueue->Post([this] { RunReportingErrors([this] { UpdateTargetState(); }); });
    return taken;
}

void TFormCorvastelPc::RouteInputTo(const std::string& Address) {
    TRouteSessions targets(ConnectedInListOrder(), FRouteControl.Numbers());
    FRouteControl.SelectAddress(Address, DongleLabel(Address), targets);
    ShowRoute();
    UpdateLinkNotices();
    UpdateTargetState();
}

bool TFormCorvastelPc::CheckRoute() {
    return FRouteControl.HeldChanged(TRouteSessions(ConnectedInListOrder(), FRouteControl.Numbers()));
}

bool TFormCorvastelPc::RouteHeld() const {
    return FRouteControl.Held(TRouteSessions(ConnectedInListOrder(), FRouteControl.Numbers()));
}

int TFormCorvastelPc::DongleNumber(const std::string& Address) const {
    return FRouteControl.Numbers().Of(Address);
}

void TFormCorvastelPc::ShowRoute() {
    // Numbers first: they follow the links, and everything below shows them.
    std::vector<std::string> connected;
    for (const TCorvastelDevice* session : ConnectedInListOrder()) {
        connected.push_back(session->Device->Address());
    }
    // Away: being brought back, and also any session still in the table. A link that went stops
    // taking input on its own thread before its event reaches this one, and whether it dropped (and
    // keeps its number) is known only once that event is handled.
    std::vector<std::string> away = Reconnect.Addresses();
    for (int i = 0; i < SessionCount; ++i) {
        if (Sessions[i]->Device != nullptr) {
            away.push_back(Sessions[i]->Device->Address());
        }
    }
    FRouteControl.UpdateNumbers(connected, away);
    for (int k = 0; k < FoundDeviceCount; ++k) {
        QListWidgetItem* item = DeviceListView->item(k);
        if (item == nullptr) {
            continue;
        }
        const int number = DongleNumber(FoundDevices[k]->Address());
        if (item->data(RouteNumberRole).toInt() != number) {
            item->setData(RouteNumberRole, number > 0 ? QVariant(number) : QVariant());
        }
        const bool marked = FRouteControl.Marked(FoundDevices[k]->Address());
        if (RouteMarked(item) != marked) {
            item->setData(RouteMarkRole, marked);
            QFont font = item->font();
            font.setBold(marked);
            item->setFont(font);
        }
    }
    const std::string& target = Route().Target();
    SetNotice(TNotice::Route,
              FRouteControl.NoticeText(TRouteSessions(ConnectedInListOrder(), FRouteControl.Numbers()),
                                       target.empty() ? QString() : DongleLabel(target),
                                       Reconnect.Scheduled(target)));
}
