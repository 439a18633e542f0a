// Program start: one copy per desktop session, then the main window until it closes.
#include <QApplication>

#include <memory>

#include "app/CorvastelApplication.h"
#include "app/SingleInstance.h"
#include "app/UnitMain.h"
#include "platform/GeneralError.h"
#include "platform/ble/BluetoothLEFactory.h"
#include "platform/hooks/HookPlatform.h"

int main(int argc, char* argv[]) {
    TSingleInstance instance;
    if (instance.Start() == TSingleInstance::TRole::Second) {
        return 0;
    }

    TCorvastelApplication app(argc, argv);
    InstallGeneralErrorReporter();

    std::unique_ptr<TBluetoothLEManager> bleManager = CreateBluetoothLEManager();
    std::shared_ptr<THookPlatform> hookPlatform = CreateHookPlatform();

    int result = 0;
    {
        TFormCorvastelPc window(*bleManager, hookPlatform);
        instance.Listen([&window] { window.BringToFront(); });
        window.show();
        result = app.exec();
    }
    // Errors raised after this point (a late Bluetooth callback) go to stderr, not to a box.
    SetGeneralErrorReporter(nullptr);
    return result;
}
