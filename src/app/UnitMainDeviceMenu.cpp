// The device list's context menu: what can be done with one dongle beyond connecting it.
#include <QListWidget>
#include <QMenu>

#include "app/CorvastelApplication.h"

#include "app/UnitMain.h"

void TFormCorvastelPc::ShowDeviceMenu(const QPoint& Pos) {
    QListWidgetItem* item = DeviceListView->itemAt(Pos);
    QMenu menu(this);
    FillDeviceMenu(menu, item);
    if (!menu.isEmpty()) {
        menu.exec(DeviceListView->viewport()->mapToGlobal(Pos));
    }
}

void TFormCorvastelPc::FillDeviceMenu(QMenu& Menu, QListWidgetItem* Item) {
    const int slot = Item != nullptr ? DeviceListView->row(Item) : -1;
    TCorvastelDevice* session = SessionOfSlot(slot);
    const bool typingOpen = !FHook->Active() && !TypingText();
    if (slot >= 0 && slot < FoundDeviceCount) {
        Menu.addAction(QStringLiteral("Details\u2026"), this,
                       ReportingErrors([this, slot] { ShowDeviceDetails(slot); }))
            ->setObjectName(QStringLiteral("MenuDetails"));
        if (session != nullptr && TakesInput(session)) {
            QAction* clip = Menu.addAction(QStringLiteral("Type clipboard text"), this,
                                           ReportingErrors([this, session] { TypeClipboard(session); }));
            clip->setObjectName(QStringLiteral("MenuTypeClipboard"));
            clip->setEnabled(typingOpen);
            QAction* ask =
                Menu.addAction(QStringLiteral("Type text\u2026"), this,
                               ReportingErrors([this, session] { TypeTextAsked(session, QString()); }));
            ask->setObjectName(QStringLiteral("MenuTypeText"));
            ask->setEnabled(typingOpen);
        }
        return;
    }
    if (!InputSessions().empty()) {
        QAction* clip = Menu.addAction(QStringLiteral("Type clipboard text into every dongle"), this,
                                       ReportingErrors([this] { TypeClipboard(nullptr); }));
        clip->setObjectName(QStringLiteral("MenuTypeClipboardAll"));
        clip->setEnabled(typingOpen);
        QAction* ask = Menu.addAction(QStringLiteral("Type text into every dongle\u2026 (Ctrl+Shift+V)"),
                                      this, ReportingErrors([this] { TypeTextAsked(nullptr, QString()); }));
        ask->setObjectName(QStringLiteral("MenuTypeTextAll"));
        ask->setEnabled(typingOpen);
    }
}
