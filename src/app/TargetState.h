#pragma once
// The target at a glance: a dongle's keyboard lock lights and how its link keeps up, shown small on
// its device list item and large in the key display; and the text of its details view.
//
// The lights are the LED status the dongle last reported (boot keyboard bits: Num, Caps, Scroll);
// a dongle that has reported none shows them off, as a freshly started target has them.

#include <QListWidgetItem>
#include <QString>
#include <QStyledItemDelegate>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

#include "device/UnitCorvastelDevice.h"

// What a device list item carries for the lights (set by the window, painted by the delegate).
inline constexpr int ItemLedRole = Qt::UserRole + 0x110;     // int: LED bits; absent: not connected
inline constexpr int ItemLinkRole = Qt::UserRole + 0x111;    // QString: "8 ms", "—"
inline constexpr int ItemBehindRole = Qt::UserRole + 0x112;  // bool: the link falls behind

// "8 ms" for a measured link (under a millisecond: "<1 ms"), "—" before anything was measured.
QString LinkLatencyText(const TCorvastelDevice::TLinkStats& Stats);
// The same in words, for the details and tooltips.
QString LinkDescription(const TCorvastelDevice::TLinkStats& Stats);
// Whether the link is shown in red: input reaches the target late.
bool LinkShownLate(const TCorvastelDevice::TLinkStats& Stats);
// "Num Lock on, Caps Lock off, Scroll Lock off".
QString LockDescription(uint8_t Leds);
// A text a dongle sent, fit to show as one line: at most MaxChars characters (an ellipsis marks the
// cut), control and direction-changing characters replaced, so a peer cannot forge lines or reorder
// what the details say.
QString PeerText(const std::string& Utf8, int MaxChars = 64);

// Paints the lock lights and the link latency under a connected dongle's item.
class TDeviceItemDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The large lights in the key display: Num, Caps and Scroll Lock of the one dongle that takes input,
// and its link latency.
class TLockLights : public QWidget {
  public:
    explicit TLockLights(QWidget* Parent);
    void SetState(uint8_t Leds, const QString& Link, bool Behind);
    uint8_t Leds() const { return FLeds; }
    QString Link() const { return FLink; }
    bool Behind() const { return FBehind; }

  protected:
    void paintEvent(QPaintEvent* Event) override;

  private:
    uint8_t FLeds = 0;
    QString FLink;
    bool FBehind = false;
};

// Draws one light ("Caps", lit or not) in Rect.
void PaintLockLight(QPainter& Painter, const QRect& Rect, const QString& Label, bool Lit);
