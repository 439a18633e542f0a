// The device list's context menu: what can be done with one dongle beyond connecting it.
#include <QListWidget>
#include <QMenu>

#include "app/UnitMain.h"

void TFormCorvastelPc::ShowDeviceMenu(const QPoint& Pos) {
    QListWidgetItem* item = DeviceListView->itemAt(Pos);
    QMenu menu(this);
    FillDeviceMenu(menu, item);
    if (!menu.isEmpty()) {
        menu.exec(DeviceListView->viewport()->mapToGlobal(Pos));
    }
}

void TFormCorvastelPc::FillDeviceMenu(QMenu& /*Menu*/, QListWidgetItem* /*Item*/) {}
