// Scanning for dongles and the device list.
#include "app/UnitMain.h"

void TFormCorvastelPc::btnScanClick(QObject* /*Sender*/) {}

void TFormCorvastelPc::Timer1Timer(QObject* /*Sender*/) {}

void TFormCorvastelPc::DeviceDiscovered(TBluetoothLEManager& /*Sender*/, TBluetoothLEDevice& /*ADevice*/,
                                        int /*Rssi*/, const TBytes& /*ScanResponse*/) {}

void TFormCorvastelPc::DiscoveryEnded(TBluetoothLEManager& /*Sender*/,
                                      const std::vector<TBluetoothLEDevice*>& /*ADeviceList*/) {}

void TFormCorvastelPc::DeviceListViewSelectItem(QObject* /*Sender*/, QListWidgetItem* /*Item*/,
                                                bool /*Selected*/) {}
