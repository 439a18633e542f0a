#pragma once
// A client of the virtual dongles' control interface (org.corvastel.VirtualDongles.Control at
// /org/corvastel/VirtualDongles on the service's bus name): what each dongle received and what its
// virtual target shows. The only window the harness has into the program's Bluetooth side.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVariantList>

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

// One write a dongle received.
struct TDongleWrite {
    QString characteristic;  // short UUID, "F801"
    QString bytes;           // "01 02 0A"
    QString kind;            // "command" or "request"
    // When the central made the write and when it reached the target, CLOCK_MONOTONIC
    // microseconds of the machine the service runs on (0: not arrived yet).
    int64_t madeUs = 0;
    int64_t arrivedUs = 0;
};

class TDongleControl {
  public:
    // Connects to the bus at `busAddress`, where the service answers under `serviceName` (org.bluez
    // on the private bus where it imitates bluetoothd).
    explicit TDongleControl(const std::string& busAddress, const std::string& serviceName = "org.bluez");
    ~TDongleControl();
    TDongleControl(const TDongleControl&) = delete;
    TDongleControl& operator=(const TDongleControl&) = delete;

    bool ServiceRunning();
    QJsonObject Status();
    // The dongle's entry in Status(); empty when it is not listed.
    QJsonObject DongleStatus(const QString& address);
    std::vector<TDongleWrite> Writes(const QString& address);
    // Only the writes to one characteristic, as hex texts.
    std::vector<std::string> WritesTo(const QString& address, const QString& characteristic);
    QJsonObject Target(const QString& address);
    void DropLink(const QString& address);
    void SetAdvertising(const QString& address, bool on);
    void FailNextWrites(const QString& address, int count);
    // The power switch of the central's adapter.
    void SetPowered(bool on);
    // The target's keyboard LEDs set as its host would, and sent to the program.
    void NotifyLed(const QString& address, unsigned leds);
    // Link latency per write, in microseconds.
    void SetWriteDelay(const QString& address, unsigned microseconds);
    // Connection events every `intervalMicroseconds`, each carrying at most `packetsPerEvent`
    // writes (only the imitation of bluetoothd models the air; on a real stack the link is real).
    void SetConnectionEvents(const QString& address, unsigned intervalMicroseconds, int packetsPerEvent);
    void ClearRecords(const QString& address);

    // The last error of a call, empty when it succeeded.
    const std::string& LastError() const { return FLastError; }

  private:
    QString Call(const QString& method, const QVariantList& args);
    QString FName;
    QString FService;
    std::string FLastError;
};

// A QCoreApplication for QtDBus when the process has none (the harness may run in a plain
// GoogleTest main).
void EnsureQtCoreApplication();

}  // namespace e2e
