// Program start: one copy per desktop session, then the main window until it closes.
#include <QApplication>

#include <memory>

#include "app/CorvastelApplication.h"
#include "app/SingleInstance.h"
#include "app/UnitMain.h"
#include "platform/GeneralError.h"
#include "platform/hooks/HookPlatform.h"

namespace {
// SEAM (until the Qt Bluetooth backend and its factory land from the qtble branch): a central
// without a radio, so the window starts and a scan reports the radio as unusable.
class TNoRadioManager : public TBluetoothLEManager {
public:
    int ConnectionState() const override { return 0; }
    bool StartDiscovery(int, const std::vector<TBluetoothUuid>&, bool) override { return false; }
    void CancelDiscovery() override { RaiseDiscoveryLEEnd({}); }
};
}  // namespace

int main(int argc, char* argv[]) {
    TSingleInstance instance;
    if (!instance.TryAcquire()) {
        instance.AskFirstToComeForward();
        return 0;
    }

    TCorvastelApplication app(argc, argv);
    InstallGeneralErrorReporter();

    TNoRadioManager bleManager;
    std::shared_ptr<THookPlatform> hookPlatform = CreateHookPlatform();

    int result = 0;
    {
        TFormCorvastelPc window(bleManager, hookPlatform);
        instance.Listen([&window] { window.BringToFront(); });
        window.show();
        result = app.exec();
    }
    // Errors raised after this point (a late Bluetooth callback) go to stderr, not to a box.
    SetGeneralErrorReporter(nullptr);
    return result;
}
