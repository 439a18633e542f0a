// Program start: one copy per desktop session, then the main window until it closes.
#include <QApplication>
#include <QLoggingCategory>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

#include <memory>
#include <utility>

#include "app/CorvastelApplication.h"
#include "app/ExitPath.h"
#include "app/SingleInstance.h"
#include "app/UnitMain.h"
#include "platform/GeneralError.h"
#include "platform/ble/BluetoothLEFactory.h"
#include "platform/hooks/HookPlatform.h"

namespace {
// Where no display can be opened, Qt prints several lines that tell a user nothing ("Reinstalling
// the application may fix this problem") and aborts (status 134). Its messages are held back while
// the application object is made: on that failure one plain line is said instead and the program
// ends with status 1; otherwise they are printed as Qt would have.
QtMessageHandler QtHandler = nullptr;
QStringList HeldMessages;

QString NoDisplayLine() {
    const QString x11 = qEnvironmentVariable("DISPLAY");
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (x11.isEmpty() && wayland.isEmpty()) {
        return QStringLiteral(
            "CorvastelPcApp needs a desktop to show its window, and none is set (DISPLAY and "
            "WAYLAND_DISPLAY are empty): start it from a desktop session.");
    }
    const QString named =
        x11.isEmpty() ? QStringLiteral("WAYLAND_DISPLAY=") + wayland : QStringLiteral("DISPLAY=") + x11;
    return QStringLiteral(
               "CorvastelPcApp cannot open its window: the display %1 cannot be reached. Start it from "
               "a desktop session, or set it to a display that runs and that you may use.")
        .arg(named);
}

void HoldStartMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg && message.contains(QLatin1String("platform plugin"))) {
        std::fprintf(stderr, "%s\n", qPrintable(NoDisplayLine()));
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (type == QtFatalMsg) {
        QtHandler(type, context, message);
        return;
    }
    HeldMessages << qFormatLogMessage(type, context, message);
}

std::unique_ptr<TCorvastelApplication> CreateApplication(int& argc, char** argv) {
    QtHandler = qInstallMessageHandler(HoldStartMessages);
    auto app = std::make_unique<TCorvastelApplication>(argc, argv);
    qInstallMessageHandler(QtHandler);
    for (const QString& held : std::exchange(HeldMessages, {})) {
        std::fprintf(stderr, "%s\n", qPrintable(held));
    }
    return app;
}
}  // namespace

int main(int argc, char* argv[]) {
    TSingleInstance instance;
    switch (instance.Start()) {
        case TSingleInstance::TRole::First:
            break;
        case TSingleInstance::TRole::Second:
            return 0;
        case TSingleInstance::TRole::Unanswered: {
            // Another copy runs but is stuck: a second copy would fight it over the dongles.
            const QString pid = QString::number(instance.SilentHolder());
            const QString text = QStringLiteral(
                                     "CorvastelPcApp is already running (process %1) but does not "
                                     "answer. Wait a moment and start it again; if it stays so, end "
                                     "that copy (kill %1) and start it again.")
                                     .arg(pid);
            std::fprintf(stderr, "%s\n", qPrintable(text));
            const auto app = CreateApplication(argc, argv);
            QMessageBox::warning(nullptr, QStringLiteral("CorvastelPcApp"), text);
            return 1;
        }
    }

    // Qt Bluetooth says which of its BlueZ back ends it took, as a warning, once for every object
    // it makes, and that it cannot open the kernel's management socket (it needs privileges the
    // app does not ask for): a dozen lines in the terminal on every start that nobody running the
    // app needs. What goes wrong reaches the user in the window. Qt's own QT_LOGGING_RULES still
    // shows them (QT_LOGGING_RULES="qt.bluetooth*=true"): it is applied after these rules.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.bluetooth*.warning=false\nqt.bluetooth*.info=false"));
    const auto application = CreateApplication(argc, argv);
    TCorvastelApplication& app = *application;
    InstallGeneralErrorReporter();

    std::unique_ptr<TBluetoothLEManager> bleManager = CreateBluetoothLEManager();
    std::shared_ptr<THookPlatform> hookPlatform = CreateHookPlatform();

    int result = 0;
    int endedBySignal = 0;
    {
        TFormCorvastelPc window(*bleManager, hookPlatform);
        // A termination signal closes the window as the user would, also from inside a modal box.
        TTerminationSignals termination([&window](int) {
            window.close();
            QCoreApplication::quit();
        });
        instance.Listen([&window] { window.BringToFront(); });
        window.show();
        // Watched from here on: the exit handler it may register must run before the destructors
        // of whatever the window and the Bluetooth stack set up.
        ReleaseOnDisplayLoss(&window);
        result = app.exec();
        // Closing the links takes the stack a few seconds: a start meanwhile runs a fresh copy.
        instance.Release();
        ReleaseOnDisplayLoss(nullptr);
        endedBySignal = termination.Caught();
    }
    // Errors raised after this point (a late Bluetooth callback) go to stderr, not to a box.
    SetGeneralErrorReporter(nullptr);
    if (endedBySignal != 0) {
        bleManager.reset();  // the links are closed before the process ends
        EndBySignal(endedBySignal);
    }
    return result;
}
