#pragma once
// The target at a glance: a dongle's keyboard lock lights and how its link keeps up, shown small on
// its device list item and large in the key display; and the text of its details view.
//
// The lights are the LED status the dongle last reported (boot keyboard bits: Num, Caps, Scroll);
// a dongle that has reported none shows them off, as a freshly started target has them.

#include <QFont>
#include <QListWidgetItem>
#include <QRect>
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
inline constexpr int ItemSecureRole = Qt::UserRole + 0x113;  // bool: the link is encrypted (a lock)

// "8 ms" for a measured link (under a millisecond: "<1 ms"), "—" before anything was measured.
QString LinkLatencyText(const TCorvastelDevice::TLinkStats& Stats);
// How the send path keeps up, with its figures (the details' technical part). MouseSent: the mouse
// is forwarded now, so leaving it out is advice that can help.
QString LinkDescription(const TCorvastelDevice::TLinkStats& Stats, bool MouseSent = false);
// The same in a user's words: how soon input reaches the dongle, and whether it falls behind.
QString LinkSummary(const TCorvastelDevice::TLinkStats& Stats);
// Whether the link is shown in red: input reaches the target late. A link that has carried nothing
// for LinkQuietAfter is not: its figures are of input that arrived long ago.
bool LinkShownLate(const TCorvastelDevice::TLinkStats& Stats);
inline constexpr uint32_t LinkQuietAfterUs = 1'000'000;
// "Num Lock on, Caps Lock off, Scroll Lock off".
QString LockDescription(uint8_t Leds);
// A text a dongle sent, fit to show as one line: at most MaxChars characters (an ellipsis marks the
// cut), control and direction-changing characters replaced, so a peer cannot forge lines or reorder
// what the details say.
QString PeerText(const std::string& Utf8, int MaxChars = 64);
// How a dongle is named wherever the user meets it (list, notices, titles, menus, prompts): its
// nickname, else the name it advertises, else the identifier the Bluetooth stack gives it. Each
// shown as PeerText, the nickname in full (it is the user's own, and the list elides it).
QString DongleName(const std::string& Nickname, const std::string& Advertised, const std::string& Identifier);

// Where each part of a device list item is drawn. Every item has the same cell, whatever its caption
// or latency says, so no item can draw over another: the icon at the top, the caption on one line
// under it (elided; the full text is in the item's tooltip), and a row of a fixed width for the
// three lights and the latency (room for "999 ms"), drawn only while the dongle's session is active.
struct TDeviceItemLayout {
    QRect Icon;
    QRect Caption;
    QRect Lights;  // the three small lights side by side
    QRect Link;    // the latency, left-aligned in a fixed width
};
// The cell every item gets, for the list's font and icon size.
QSize DeviceItemCellSize(const QFont& Font, QSize IconSize);
TDeviceItemLayout DeviceItemLayout(const QRect& Cell, const QFont& Font, QSize IconSize);
// The caption as an item shows it: one line, elided to the caption's width.
QString DeviceItemCaption(const QString& Text, const QFont& Font, int Width);

// Draws a whole device list item in its cell: selection, icon, caption, and the lock lights and
// link latency of a connected dongle.
class TDeviceItemDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // Over a light or the latency: what that one means; elsewhere the item's own tooltip.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};

// What one light says ("Caps Lock is on on its computer"), for a tooltip; Bit as in LedStatus.
QString LockLightToolTip(uint8_t Bit, uint8_t Leds);
// What the latency says, for a tooltip.
QString LinkToolTip(const QString& Latency, bool Behind);

// The large lights in the key display: Num, Caps and Scroll Lock of the one dongle that takes input,
// and its link latency.
class TLockLights : public QWidget {
  public:
    explicit TLockLights(QWidget* Parent);
    void SetState(uint8_t Leds, const QString& Link, bool Behind);
    uint8_t Leds() const { return FLeds; }
    QString Link() const { return FLink; }
    bool Behind() const { return FBehind; }

    // Where each light and the latency are drawn: index 0 to 2 the lights (Num, Caps, Scroll), 3 the
    // latency.
    QRect PartRect(int Part) const;

  protected:
    void paintEvent(QPaintEvent* Event) override;
    bool event(QEvent* Event) override;

  private:
    uint8_t FLeds = 0;
    QString FLink;
    bool FBehind = false;
};

// Draws one light ("Caps", lit or not) in Rect.
void PaintLockLight(QPainter& Painter, const QRect& Rect, const QString& Label, bool Lit);
