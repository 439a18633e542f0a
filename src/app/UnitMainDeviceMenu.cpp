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
    {
        // Where input goes: this connected dongle only, or every dongle again.
        const int k = Item != nullptr ? DeviceListView->row(Item) : -1;
        const int slot = k >= 0 && k < FoundDeviceCount ? FindSession(FoundDevices[k]->Address()) : -1;
        if (slot >= 0 && InputReady(Sessions[slot])) {
            const std::string address = FoundDevices[k]->Address();
            if (FRoute.Target() != address) {
                Menu.addAction(QStringLiteral("Send input here only"), this,
                               ReportingErrors([this, address] { RouteInputTo(address); }));
            }
        }
        if (!FRoute.ToAll()) {
            Menu.addAction(QStringLiteral("Send input to all"), this,
                           ReportingErrors([this] { RouteInputTo(std::string()); }));
        }
    }
}
