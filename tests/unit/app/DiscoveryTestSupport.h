#pragma once
// What the discovery and nickname widget tests share: radio devices and a central whose calls are
// recorded, a window whose clock, nickname file and sessions the test controls, and a watcher that
// answers the modal boxes the window opens.

#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QtTestEnvironment.h"
#include "StubDevice.h"
#include "app/UnitMain.h"
#include "device/UnitCorvastelDevice.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

// A central that records the scans it is asked for; the radio can be switched off.
class TScanRecordingBle final : public TBluetoothLEManager {
  public:
    int ConnectionState() const override { return RadioOn ? Connected : 0; }
    std::string UnavailableReason() const override { return Reason; }
    bool StartDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids,
                        bool forceConnect) override {
        if (!RadioOn) {
            return false;  // as every backend: no radio, no scan
        }
        Starts.push_back({timeoutMs, serviceUuids, forceConnect});
        return !StartRefused;
    }
    void CancelDiscovery() override {
        ++Cancels;
        RaiseDiscoveryLEEnd({});
    }
    void Report(TBluetoothLEDevice& device) { RaiseDiscoverLEDevice(device, -50, {}); }
    void RaiseEnd() { RaiseDiscoveryLEEnd({}); }

    struct TStart {
        int TimeoutMs;
        std::vector<TBluetoothUuid> Filter;
        bool ForceConnect;
    };
    bool RadioOn = true;
    bool StartRefused = false;  // StartDiscovery answers false
    std::string Reason;         // what UnavailableReason answers
    std::vector<TStart> Starts;
    int Cancels = 0;
};

// Answers every modal dialog the window opens while it lives, with act (which must close it).
class TModalAnswerer {
  public:
    explicit TModalAnswerer(std::function<void(QWidget*)> act) : FAct(std::move(act)) {
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                FAct(modal);
            }
        });
        FTimer.start(10);
    }

  private:
    std::function<void(QWidget*)> FAct;
    QTimer FTimer;
};

// The window over a recording central, with a test clock, a nickname file in a temporary folder and
// sessions the test puts into Sessions itself.
struct TDiscoveryFixture : testing::Test {
    TScanRecordingBle ble;
    uint32_t now = 100000;
    QTemporaryDir dir;
    std::unique_ptr<TFormCorvastelPc> window;
    std::vector<std::unique_ptr<TStubDevice>> devices;
    std::vector<std::unique_ptr<TCorvastelDevice>> sessions;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        window = std::make_unique<TFormCorvastelPc>(ble, std::make_shared<TFakeHookPlatform>());
        window->TickCount = [this] { return now; };
        window->NicknameFilePath = NicknameFile();
    }
    void TearDown() override {
        // The sessions belong to the test: take them out before the window releases its table.
        window->Sessions.fill(nullptr);
        window->SessionCount = 0;
        window.reset();
        sessions.clear();
    }

    std::filesystem::path NicknameFile() const {
        return std::filesystem::path(dir.path().toStdString()) / "cvinfo.ini";
    }
    TStubDevice& Device(const std::string& address, const std::string& name = "Corvastel-VD") {
        devices.push_back(std::make_unique<TStubDevice>(address, name));
        return *devices.back();
    }
    // A connected dongle, as the connection worker leaves it in the session table.
    TCorvastelDevice& AddSession(TBluetoothLEDevice& device) {
        sessions.push_back(std::make_unique<TCorvastelDevice>());
        sessions.back()->Device = &device;
        window->Sessions[window->SessionCount++] = sessions.back().get();
        return *sessions.back();
    }
    void Discover(TBluetoothLEDevice& device) { window->DeviceDiscovered(ble, device, -50, {}); }

    QStringList Captions() const {
        QStringList captions;
        for (int i = 0; i < window->DeviceListView->count(); ++i) {
            captions << window->DeviceListView->item(i)->text();
        }
        return captions;
    }
    std::vector<int> Images() const {
        std::vector<int> images;
        for (int i = 0; i < window->DeviceListView->count(); ++i) {
            images.push_back(ItemImageIndex(window->DeviceListView->item(i)));
        }
        return images;
    }
};

inline QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}
