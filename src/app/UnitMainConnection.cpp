// Connecting and disconnecting, device events, the session table and the report broadcast.
#include "app/UnitMain.h"

void TFormCorvastelPc::BtnConnectClick(QObject* /*Sender*/) {}

void TFormCorvastelPc::ConnectWorker(TBluetoothLEDevice& /*Device*/) {}

void TFormCorvastelPc::DeviceMessageReceived(const TBleDeviceMessage& /*M*/) {}

void TFormCorvastelPc::SendReportToActive(TReportType /*ReportType*/, bool /*Empty*/) {}

void TFormCorvastelPc::ReleaseSessions() {}
