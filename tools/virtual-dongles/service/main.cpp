// corvastel-virtual-dongles: virtual dongles behind a BlueZ-compatible D-Bus service.
//
// It owns org.bluez on the bus DBUS_SYSTEM_BUS_ADDRESS names (a private dbus-daemon in tests and
// the demo). Qt Bluetooth talks to it only through its D-Bus backend, which it picks when it sees a
// bluetoothd of 5.42 or later; the launcher of the client sets BLUETOOTH_FORCE_DBUS_LE_VERSION=5.66
// for that (the app itself reads no environment variable). See DongleOptions.h for the options.
//
// With --bluez-adapters it is no imitation: the dongles become peripherals of the system's real
// bluetoothd, one per named adapter (BluezPeripheral.h).

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <memory>

#include "BluezPeripheral.h"
#include "BluezService.h"
#include "DongleOptions.h"
#include "PreviewWindow.h"

namespace {

// SIGTERM and SIGINT end the event loop through a socket: a signal handler may only write().
int SignalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(SignalPipe[0], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            std::puts(
                "usage: corvastel-virtual-dongles [--preview [--preview-beside WxH]] [--powered-off] "
                "[--no-adapter] "
                "[--dongle TRAITS]...\n"
                "       corvastel-virtual-dongles --bluez-adapters hci1,hci2 [--dongle TRAITS]...\n"
                "TRAITS: name=..,address=C0:FF:EE:00:00:01,firmware=1.2.0,identity=0451:16B4[:ver],\n"
                "      answers-identity=1,reply-code=A1,write-delay-us=0,interval-us=0,packets-per-event=1,\n"
                "      ask-interval-us=7500 (with --bluez-adapters),rssi=-48,services=F800,\n"
                "      without=F803;F804,readable=F801,request-only=1,advertising=1,never-resolve=1");
            return 0;
        }
    }
    std::string error;
    const auto options = ParseServiceOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "corvastel-virtual-dongles: %s\n", error.c_str());
        return 2;
    }

    std::unique_ptr<QCoreApplication> app;
    if (options->preview)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);

    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) == 0) {
        auto* notifier = new QSocketNotifier(SignalPipe[1], QSocketNotifier::Read, app.get());
        QObject::connect(notifier, &QSocketNotifier::activated, app.get(), [] { QCoreApplication::quit(); });
        std::signal(SIGTERM, OnTerminate);
        std::signal(SIGINT, OnTerminate);
    }

    if (!options->bluezAdapters.empty()) {
        TBluezPeripheral peripheral(QDBusConnection::systemBus(), *options);
        QObject::connect(&peripheral, &TBluezPeripheral::Ready, app.get(), [&options] {
            std::printf("ready %zu dongle(s)\n", options->dongles.size());
            std::fflush(stdout);
        });
        QObject::connect(&peripheral, &TBluezPeripheral::Failed, app.get(), [](const QString& why) {
            std::fprintf(stderr, "corvastel-virtual-dongles: %s\n", qPrintable(why));
            QCoreApplication::exit(1);
        });
        QString startError;
        if (!peripheral.Start(&startError)) {
            std::fprintf(stderr, "corvastel-virtual-dongles: %s\n", qPrintable(startError));
            return 1;
        }
        return app->exec();
    }

    TBluezService service(QDBusConnection::systemBus(), *options);
    QString startError;
    if (!service.Start(&startError)) {
        std::fprintf(stderr, "corvastel-virtual-dongles: %s\n", qPrintable(startError));
        return 1;
    }
    std::unique_ptr<TPreviewWindow> preview;
    if (options->preview) {
        preview = std::make_unique<TPreviewWindow>(service);
        if (options->besideWidth > 0)
            preview->PlaceBeside(QSize(options->besideWidth, options->besideHeight));
        preview->show();
    }
    // Launchers wait for this line before starting a client.
    std::printf("ready %zu dongle(s)\n", options->dongles.size());
    std::fflush(stdout);
    return app->exec();
}
