// The device list's context menu: what can be done with one dongle beyond connecting it.
#include <QItemSelectionModel>
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
    {
        // Where input goes: this connected dongle only, or every dongle again.
        const int k = Item != nullptr ? DeviceListView->row(Item) : -1;
        const int slot = k >= 0 && k < FoundDeviceCount ? FindSession(FoundDevices[k]->Address()) : -1;
        if (slot >= 0 && InputReady(Sessions[slot])) {
            const std::string address = FoundDevices[k]->Address();
            if (Route().Target() != address) {
                Menu.addAction(QStringLiteral("Send input here only"), this,
                               ReportingErrors([this, address] { RouteInputTo(address); }));
            }
        }
        if (!Route().ToAll()) {
            Menu.addAction(QStringLiteral("Send input to all"), this,
                           ReportingErrors([this] { RouteInputTo(std::string()); }));
        }
        Menu.addSeparator();  // a leading or trailing one is not shown
    }
    const int slot = Item != nullptr ? DeviceListView->row(Item) : -1;
    TCorvastelDevice* session = SessionOfSlot(slot);
    // The menu runs an event loop in which the dongle may drop: its entries name it by handle.
    const TSessionHandle handle = HandleOf(session);
    const bool typingOpen = !FHook->Active() && !TypingText();
    if (slot >= 0 && slot < FoundDeviceCount) {
        // What the buttons do, for this dongle. By address: the list may change while the menu is
        // open (a scan, a drop), and the entry acts on the dongle that has it by then.
        const std::string address = FoundDevices[slot]->Address();
        const bool linked = session != nullptr || Reconnect.Scheduled(address);
        Menu.addAction(linked ? QStringLiteral("Disconnect") : QStringLiteral("Connect"), this,
                       ReportingErrors([this, address] {
                           if (SelectDongle(address)) {
                               BtnConnectClick(this);
                           }
                       }))
            ->setObjectName(linked ? QStringLiteral("MenuDisconnect") : QStringLiteral("MenuConnect"));
        Menu.addAction(QString::fromUtf8(RenameCaption), this, ReportingErrors([this, address] {
                           if (SelectDongle(address)) {
                               BtnRenameClick(this);
                           }
                       }))
            ->setObjectName(QStringLiteral("MenuRename"));
        // Pairing: offered for every dongle (most accept it even where they do not demand it, and a
        // paired link is encrypted); forgetting it only where there is a bond.
        TBluetoothLEDevice& device = *FoundDevices[slot];
        if (device.CanPair()) {
            if (device.Paired()) {
                Menu.addAction(QStringLiteral("Forget pairing"), this,
                               ReportingErrors([this, address] { ForgetDonglePairing(address); }))
                    ->setObjectName(QStringLiteral("MenuForgetPairing"));
            } else if (session != nullptr && FAutoPairing != address && PairingAddress != address) {
                // Not while a pairing with it runs: the stack refuses a second one.
                Menu.addAction(QStringLiteral("Pair"), this,
                               ReportingErrors([this, address] { PairDongle(address); }))
                    ->setObjectName(QStringLiteral("MenuPair"));
            }
        }
        Menu.addSeparator();
        Menu.addAction(QStringLiteral("Details\u2026"), this,
                       ReportingErrors([this, slot] { ShowDeviceDetails(slot); }))
            ->setObjectName(QStringLiteral("MenuDetails"));
        Menu.addAction(QStringLiteral("Keyboard &layout\u2026"), this,
                       ReportingErrors([this, slot] { ChooseTypingSettings(slot); }))
            ->setObjectName(QStringLiteral("MenuTypingLayout"));
        if (session != nullptr && TakesInput(session)) {
            QAction* clip = Menu.addAction(QStringLiteral("Type clipboard text"), this,
                                           ReportingErrors([this, handle] { TypeClipboard(handle); }));
            clip->setObjectName(QStringLiteral("MenuTypeClipboard"));
            clip->setEnabled(typingOpen);
            QAction* ask = Menu.addAction(QStringLiteral("Type text\u2026"), this,
                                          ReportingErrors([this, handle] { TypeTextAsked(handle); }));
            ask->setObjectName(QStringLiteral("MenuTypeText"));
            ask->setEnabled(typingOpen);
            AddKeySequenceMenu(Menu, session);
        }
        Menu.addSeparator();
        FillWindowMenu(Menu);
        return;
    }
    if (const std::vector<TCorvastelDevice*> input = InputSessions(); !input.empty()) {
        // Where the text goes: input goes to one dongle (the route chose it, or it is the only one).
        QString where = input.size() == 1 ? DongleLabel(input.front()->Device->Address())
                                          : QStringLiteral("every dongle");
        where.replace(QLatin1Char('&'), QStringLiteral("&&"));  // a name's '&' is no shortcut
        QAction* clip = Menu.addAction(QStringLiteral("Type clipboard text into %1").arg(where), this,
                                       ReportingErrors([this] { TypeClipboard(nullptr); }));
        clip->setObjectName(QStringLiteral("MenuTypeClipboardAll"));
        clip->setEnabled(typingOpen);
        QAction* ask = Menu.addAction(QStringLiteral("Type text into %1\u2026 (Ctrl+Shift+V)").arg(where),
                                      this, ReportingErrors([this] { TypeTextAsked(nullptr, QString()); }));
        ask->setObjectName(QStringLiteral("MenuTypeTextAll"));
        ask->setEnabled(typingOpen);
        AddKeySequenceMenu(Menu, nullptr);
    }
    Menu.addSeparator();
    FillWindowMenu(Menu);
}

bool TFormCorvastelPc::SelectDongle(const std::string& Address) {
    const int k = FoundSlotOf(Address);
    if (k < 0) {
        return false;
    }
    if (SelectedDevice != k) {
        DeviceListView->setCurrentRow(k, QItemSelectionModel::ClearAndSelect);
    }
    return SelectedDevice == k;
}

void TFormCorvastelPc::DeviceListViewDblClick(QListWidgetItem* Item) {
    const int k = Item != nullptr ? DeviceListView->row(Item) : -1;
    if (k < 0 || k >= FoundDeviceCount) {
        return;
    }
    const std::string address = FoundDevices[k]->Address();
    // A found dongle is connected; one that is connected (or on its way) shows what is known of it.
    if (SessionOfSlot(k) == nullptr && !Reconnect.Scheduled(address)) {
        if (SelectDongle(address)) {
            BtnConnectClick(this);
        }
        return;
    }
    ShowDeviceDetails(k);
}
