#include "DongleControl.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QJsonDocument>

#include <atomic>
#include <memory>

namespace e2e {

namespace {
const QString Path = QStringLiteral("/org/corvastel/VirtualDongles");
const QString Interface = QStringLiteral("org.corvastel.VirtualDongles.Control");

QJsonDocument Parse(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8());
}
}  // namespace

void EnsureQtCoreApplication() {
    if (QCoreApplication::instance() != nullptr)
        return;
    static int argc = 1;
    static char name[] = "corvastel-e2e";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QCoreApplication> app = std::make_unique<QCoreApplication>(argc, argv);
}

TDongleControl::TDongleControl(const std::string& busAddress, const std::string& serviceName)
    : FService(QString::fromStdString(serviceName)) {
    EnsureQtCoreApplication();
    // A connection of its own per harness: each test has its own private bus.
    static std::atomic<int> serial{0};
    FName = QStringLiteral("corvastel-e2e-control-%1").arg(++serial);
    QDBusConnection::connectToBus(QString::fromStdString(busAddress), FName);
}

TDongleControl::~TDongleControl() {
    QDBusConnection::disconnectFromBus(FName);
}

bool TDongleControl::ServiceRunning() {
    QDBusConnection bus(FName);
    if (!bus.isConnected() || bus.interface() == nullptr)
        return false;
    return bus.interface()->isServiceRegistered(FService).value();
}

QString TDongleControl::Call(const QString& method, const QVariantList& args) {
    QDBusMessage call = QDBusMessage::createMethodCall(FService, Path, Interface, method);
    call.setArguments(args);
    const QDBusMessage reply = QDBusConnection(FName).call(call, QDBus::Block, 15000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        FLastError = (method + QStringLiteral(": ") + reply.errorMessage()).toStdString();
        return {};
    }
    FLastError.clear();
    return reply.arguments().value(0).toString();
}

QJsonObject TDongleControl::Status() {
    return Parse(Call(QStringLiteral("Status"), {})).object();
}

QJsonObject TDongleControl::DongleStatus(const QString& address) {
    for (const QJsonValue& d : Status().value(QStringLiteral("dongles")).toArray()) {
        if (d.toObject().value(QStringLiteral("address")).toString() == address)
            return d.toObject();
    }
    return {};
}

std::vector<TDongleWrite> TDongleControl::Writes(const QString& address) {
    std::vector<TDongleWrite> writes;
    for (const QJsonValue& v : Parse(Call(QStringLiteral("Writes"), {address})).array()) {
        const QJsonObject o = v.toObject();
        writes.push_back({o.value(QStringLiteral("characteristic")).toString(),
                          o.value(QStringLiteral("bytes")).toString(),
                          o.value(QStringLiteral("kind")).toString(),
                          o.value(QStringLiteral("madeUs")).toInteger(),
                          o.value(QStringLiteral("arrivedUs")).toInteger()});
    }
    return writes;
}

std::vector<std::string> TDongleControl::WritesTo(const QString& address, const QString& characteristic) {
    std::vector<std::string> out;
    for (const TDongleWrite& w : Writes(address)) {
        if (w.characteristic == characteristic)
            out.push_back(w.bytes.toStdString());
    }
    return out;
}

QJsonObject TDongleControl::Target(const QString& address) {
    return Parse(Call(QStringLiteral("Target"), {address})).object();
}

void TDongleControl::DropLink(const QString& address) {
    Call(QStringLiteral("DropLink"), {address});
}

void TDongleControl::SetAdvertising(const QString& address, bool on) {
    Call(QStringLiteral("SetAdvertising"), {address, on});
}

void TDongleControl::FailNextWrites(const QString& address, int count) {
    Call(QStringLiteral("FailNextWrites"), {address, count});
}

void TDongleControl::SetPowered(bool on) {
    Call(QStringLiteral("SetPowered"), {on});
}

void TDongleControl::NotifyLed(const QString& address, unsigned leds) {
    Call(QStringLiteral("NotifyLed"), {address, leds});
}

void TDongleControl::SetWriteDelay(const QString& address, unsigned microseconds) {
    Call(QStringLiteral("SetWriteDelay"), {address, microseconds});
}

void TDongleControl::SetConnectionEvents(const QString& address, unsigned intervalMicroseconds,
                                         int packetsPerEvent) {
    Call(QStringLiteral("SetConnectionEvents"), {address, intervalMicroseconds, packetsPerEvent});
}

void TDongleControl::ClearRecords(const QString& address) {
    Call(QStringLiteral("ClearRecords"), {address});
}

}  // namespace e2e
