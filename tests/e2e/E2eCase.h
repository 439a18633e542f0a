#pragma once
// What the end-to-end test cases share: a running world seen from a test (what the dongles' targets
// show, what the dongles were sent) and the user's steps, whose failure fails the case with what
// went wrong. TE2eCase leaves starting the world to its fixture (the kernel rig starts one for a
// whole suite, as a start costs minutes there); TWorldPerCase starts a world of its own for every
// case.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "E2eWorld.h"

namespace e2e {

// A JSON object on one line, for failure messages.
inline std::string Json(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

class TE2eCase : public ::testing::Test {
  protected:
    // The world the case runs in, and another client's window that takes the focus from the
    // program; the fixture has both started before the case's body runs.
    virtual TE2eWorld& TheWorld() = 0;
    virtual TSpyClient& OtherClient() = 0;

    TXInput& X() { return TheWorld().X(); }
    TDongleControl& Control() { return TheWorld().Control(); }

    QJsonObject Target(const TDongleTraits& d) { return Control().Target(d.address); }
    QString Text(const TDongleTraits& d) { return Target(d).value(QStringLiteral("text")).toString(); }
    int64_t TargetInt(const TDongleTraits& d, const char* field) {
        return Target(d).value(QString::fromLatin1(field)).toInteger();
    }
    // Whether the dongle has a link now.
    bool Connected(const TDongleTraits& d) {
        return Control().DongleStatus(d.address).value(QStringLiteral("connected")).toBool();
    }
    // The keyboard reports a dongle received (on F801; a dongle with report IDs gets its mouse
    // reports there too).
    std::vector<std::string> KeyboardWrites(const TDongleTraits& d) {
        std::vector<std::string> out;
        for (const std::string& w : Control().WritesTo(d.address, QStringLiteral("F801"))) {
            if (d.reportId ? w.rfind("01 ", 0) == 0 : w.size() == 8 * 3 - 1)
                out.push_back(w);
        }
        return out;
    }
    // Forgets what the dongles received so far, once the reports in flight have landed.
    void ClearRecords() {
        std::this_thread::sleep_for(TheWorld().Wait(std::chrono::milliseconds(300)));
        for (const TDongleTraits& d : TheWorld().Dongles())
            Control().ClearRecords(d.address);
    }

    void ConnectAll() {
        std::string error;
        ASSERT_TRUE(TheWorld().ConnectAll(&error)) << error;
    }
    void PassThroughOn(bool mouse) {
        std::string error;
        ASSERT_TRUE(TheWorld().PassThroughOn(mouse, OtherClient(), &error)) << error;
    }
    void ExitChord() {
        std::string error;
        ASSERT_TRUE(TheWorld().ExitChord(OtherClient(), &error)) << error;
    }
};

// A world of its own for every case, started with Options(); skipped where the programs it needs
// are not installed. What the programs said is printed when the case failed.
class TWorldPerCase : public TE2eCase {
  protected:
    void SetUp() override { StartWorld(Options()); }

    // Starts the world and the other client; a world already running is ended first (a case that
    // restarts the program with what it wrote).
    void StartWorld(const TWorldOptions& options) {
        Other.reset();
        World.reset();
        std::string error;
        World = TE2eWorld::Start({CORVASTEL_PC_PATH, CORVASTEL_VIRTUAL_DONGLES_PATH}, options, &error);
        if (!World && error.find("not installed") != std::string::npos)
            GTEST_SKIP() << error;
        ASSERT_TRUE(World) << error;
        // Another client's window, away from the program's centred window.
        Other = TSpyClient::Open(World->Display(), {16, 16, 240, 140}, &error);
        ASSERT_TRUE(Other) << error;
    }

    void TearDown() override {
        if (HasFailure() && World)
            std::cout << World->Logs();
        Other.reset();
        World.reset();
    }

    virtual TWorldOptions Options() const { return {}; }

    TE2eWorld& TheWorld() override { return *World; }
    TSpyClient& OtherClient() override { return *Other; }

    std::unique_ptr<TE2eWorld> World;
    std::unique_ptr<TSpyClient> Other;
};

}  // namespace e2e
