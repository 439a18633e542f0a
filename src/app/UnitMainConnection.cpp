// Connecting and disconnecting, device events, the session table and the report broadcast.
//
// Everything here runs on the window's thread except ConnectWorker. A session goes into Sessions
// at the click, before its worker starts, so the table only ever changes on this thread and every
// lookup by address (a second click, a scan, a selection) finds a connection that is being set up.
// A session whose InitData is still running is never destroyed: when its disconnect comes first
// it leaves the table at once and is destroyed when its worker reports back.
#include "app/UnitMain.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

#include "app/CorvastelApplication.h"
#include "app/TextTyping.h"
#include "platform/GeneralError.h"

namespace {
// Upper-case hexadecimal, zero-padded to width; a wider value keeps all its digits.
std::string Hex(uint32_t value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", width, static_cast<unsigned>(value));
    return text;
}

void SetProgress(QProgressBar* bar, double fraction) {
    bar->setValue(static_cast<int>(std::lround(bar->maximum() * fraction)));
}

// How the user knows a dongle in a message: its advertised name, else its address.
std::string DeviceLabel(const TBluetoothLEDevice& device) {
    std::string name = device.DeviceName();
    return name.empty() ? device.Address() : name;
}

// A dongle named in a message: its advertised name and its address.
std::string DeviceTitle(const TBluetoothLEDevice& device) {
    const std::string name = device.DeviceName();
    return name.empty() ? device.Address() : name + " (" + device.Address() + ")";
}

std::string SetupFailureText(const TBluetoothLEDevice& device, const TSetupFailure& failure) {
    std::string text = "Could not connect to " + DeviceTitle(device) + " while " +
                       SetupStepText(failure.Step) + ": " + failure.Reason +
                       ".\nThe connection was closed and the dongle is listed as found again. Check the "
                       "dongle (its firmware, its power) and connect it once more.";
    if (!failure.Detail.empty()) {
        text += "\n" + failure.Detail;
    }
    return text;
}

std::string CurrentErrorText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}
}  // namespace

void TFormCorvastelPc::BtnConnectClick(QObject* /*Sender*/) {
    if (Scanning) {
        Timer1->stop();
        BleManager.CancelDiscovery();
    }
    if (SelectedDevice < 0 || SelectedDevice >= FoundDeviceCount) {
        BtnConnect->setEnabled(false);
        return;
    }
    const int k = SelectedDevice;
    TBluetoothLEDevice* device = FoundDevices[k];
    QListWidgetItem* item = DeviceListView->item(k);

    if (const int slot = FindSession(device->Address()); slot >= 0) {
        // The user's own disconnect: the dongle is not to come back by itself.
        StopReconnecting(device->Address());
        if (InSetup(Sessions[slot])) {
            // Nothing was sent to this dongle yet: the setup is dropped at once.
            EndSetup(Sessions[slot], {});
            return;
        }
        ShowProgress();
        if (item != nullptr) {
            SetDeviceImage(item, DeviceImageDisconnecting);
        }
        BtnConnect->setEnabled(false);
        // The session stays until its disconnect event arrives. Keys held on the target (Ctrl and
        // Shift, held to pause the mouse so this button can be clicked) are released first.
        Sessions[slot]->DisconnectAfterRelease();
        return;
    }
    if (StopReconnecting(device->Address())) {
        // Waiting for its next try: letting it go is all there is to do.
        if (item != nullptr) {
            SetDeviceImage(item, DeviceImageFound);
        }
        BtnConnect->setText(ConnectCaptions[0]);
        return;
    }

    // A session taken out by an early disconnect may still have its worker on this device; a
    // second session would fight it for the device's events.
    const bool settingUp = std::any_of(FConnectJobs.begin(), FConnectJobs.end(),
                                       [device](const auto& job) { return job->Device == device; });
    if (settingUp) {
        ShowMessage(QString::fromStdString(DeviceLabel(*device) +
                                           " is still closing its last connection. Try again in a moment."));
        return;
    }
    if (SessionCount >= DeviceSlots) {
        ShowMessage(QString::fromStdString("Cannot connect " + DeviceLabel(*device) + ": at most " +
                                           std::to_string(DeviceSlots) +
                                           " devices can be connected at once. Disconnect one first."));
        return;
    }

    // From the click on, the button cancels the connection being set up.
    BtnConnect->setText(ConnectCaptions[1]);
    BtnConnect->setEnabled(true);
    ProgressBar1->setVisible(true);
    ProgressBar1->setValue(0);
    StartConnection(device, false);
}

void TFormCorvastelPc::StartConnection(TBluetoothLEDevice* Device, bool Quiet) {
    if (const int k = FoundSlotOf(Device->Address()); k >= 0) {
        if (QListWidgetItem* item = DeviceListView->item(k)) {
            SetDeviceImage(item, DeviceImageConnecting);
        }
    }
    auto session = std::make_unique<TCorvastelDevice>(Quiet ? static_cast<TDeviceUi*>(&FQuietUi) : this);
    // Set here as well so lookups by address work at once; InitData stores the same device.
    session->Device = Device;
    auto job = std::make_unique<TConnectJob>();
    job->Session = session.get();
    job->Device = Device;
    job->Worker =
        std::thread([this, s = session.get(), Device, Quiet] { ConnectWorker(*s, *Device, Quiet); });
    FConnectJobs.push_back(std::move(job));
    FSessionSerials[session.get()] = ++FLastSessionSerial;
    Sessions[SessionCount] = session.release();
    ++SessionCount;
    FSetupWatch->start();
}

bool TFormCorvastelPc::InSetup(const TCorvastelDevice* Session) const {
    return SessionHeld(Session) &&
           std::find(FReleasedSessions.begin(), FReleasedSessions.end(), Session) == FReleasedSessions.end();
}

void TFormCorvastelPc::SetupWatchTimer() {
    const auto now = std::chrono::steady_clock::now();
    // Handles: the box each give-up shows runs an event loop, in which the others may go.
    std::vector<TSessionHandle> stalled;
    bool settingUp = false;
    for (int i = 0; i < SessionCount; ++i) {
        TCorvastelDevice* session = Sessions[i];
        if (!InSetup(session)) {
            continue;
        }
        settingUp = true;
        // A setup that failed by itself has its failure on the way, with its own box.
        if (!session->SetupEnded() && now - session->LastSetupProgress() >= SetupBound) {
            stalled.push_back(HandleOf(session));
        }
    }
    if (!settingUp) {
        FSetupWatch->stop();
    }
    for (const TSessionHandle& handle : stalled) {
        TCorvastelDevice* session = Resolve(handle);
        if (session == nullptr || !InSetup(session) || session->SetupEnded()) {
            continue;  // ended, or gave up, while an earlier box was open
        }
        const TSetupFailure failure{
            session->SetupStep(),
            "the dongle did not answer for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(SetupBound).count()) +
                " seconds",
            {}};
        EndSetup(session, SetupFailureText(*session->Device, failure));
    }
}

void TFormCorvastelPc::EndSetup(TCorvastelDevice* Session, const std::string& Message) {
    Session->CancelSetup();
    TBluetoothLEDevice* device = Session->Device;
    const std::string address = device->Address();
    device->Disconnect();
    const auto end = Sessions.begin() + SessionCount;
    RemoveSession(static_cast<int>(std::find(Sessions.begin(), end, Session) - Sessions.begin()));
    Memo2->appendPlainText(QString::fromStdString("BleDevice-" + address +
                                                  (Message.empty() ? " - Cancelled" : " - Setup failed")));
    if (Reconnect.Trying(address)) {
        // A try to bring a dropped dongle back: no box, the next try follows on its schedule.
        ReconnectTryEnded(address, false);
        return;
    }
    if (const int k = FoundSlotOf(address); k >= 0) {
        if (QListWidgetItem* item = DeviceListView->item(k)) {
            SetDeviceImage(item, DeviceImageFound);
        }
        if (SelectedDevice == k) {
            lbFirmware->clear();
            lbVer->clear();
            BtnConnect->setText(ConnectCaptions[0]);
            BtnConnect->setEnabled(true);
            ProgressBar1->setValue(0);
        }
    }
    ShowProgress();
    // Last: the box runs an event loop of its own.
    if (!Message.empty()) {
        ReportGeneralError(Message);
    }
}

void TFormCorvastelPc::ConnectWorker(TCorvastelDevice& Session, TBluetoothLEDevice& Device, bool Quiet) {
    FUiQueue->Post([this, session = &Session] {
        if (InSetup(session)) {  // not cancelled meanwhile
            SetProgress(ProgressBar1, 0.2);
        }
    });
    try {
        // Binding and service discovery run here; the connection may take the backend's whole
        // connect time-out.
        Session.InitData(&Device);
    } catch (...) {
        // Otherwise the dongle would just sit at "connecting" with no word why. It is said on the
        // window's thread, and only while the setup is still on: one that was cancelled or gave up
        // meanwhile has said all there is to say. A reconnect try fails again and again while the
        // dongle is away; its notice says so instead.
        if (!Quiet) {
            std::string text = "Could not connect to " + DeviceLabel(Device) + ": " + CurrentErrorText() +
                               ".\nThe dongle is listed as found again: check it and connect it once more.";
            FUiQueue->Post([this, session = &Session, text = std::move(text)] {
                if (InSetup(session) && !session->SetupEnded()) {
                    EndSetup(session, text);
                }
            });
        }
    }
    // A link that never came up (refused, timed out, the platform failed) reports no disconnect
    // later, so the window has to let go of the session itself.
    const bool linked = Device.IsConnected();
    TCorvastelDevice* session = &Session;
    FUiQueue->Post([this, session, linked] { ConnectWorkerDone(session, linked); });
}

void TFormCorvastelPc::ConnectWorkerDone(TCorvastelDevice* Session, bool Linked) {
    const auto it = std::find_if(FConnectJobs.begin(), FConnectJobs.end(),
                                 [Session](const auto& job) { return job->Session == Session; });
    if (it == FConnectJobs.end()) {
        return;
    }
    (*it)->Worker.join();  // it has nothing left to do but end
    const bool removed = (*it)->Removed;
    FConnectJobs.erase(it);
    if (removed) {
        delete Session;
        ShowProgress();
        return;
    }
    if (Linked || !SessionHeld(Session)) {
        return;
    }
    // Left in the table, the dongle would show "connecting" for good and could neither be
    // disconnected nor connected again: show it as found, ready for another try.
    const std::string address = Session->Device->Address();
    const bool retrying = Reconnect.Trying(address);
    const auto end = Sessions.begin() + SessionCount;
    RemoveSession(static_cast<int>(std::find(Sessions.begin(), end, Session) - Sessions.begin()));
    if (const int k = FoundSlotOf(address); k >= 0) {
        if (QListWidgetItem* item = DeviceListView->item(k)) {
            SetDeviceImage(item, DeviceImageFound);
        }
        if (SelectedDevice == k) {
            BtnConnect->setText(ConnectCaptions[0]);
            BtnConnect->setEnabled(true);
            ProgressBar1->setValue(0);
        }
    }
    ShowProgress();
    if (retrying) {
        ReconnectTryEnded(address, false);
    }
}

void TFormCorvastelPc::DeviceMessageReceived(const TBleDeviceMessage& M) {
    const TBleDeviceMessage message = M;
    TCorvastelDevice* session = message.cvDev;
    // Events a session posted after its disconnect may still be queued when it is gone.
    if (!SessionHeld(session)) {
        return;
    }
    const std::string prefix = "Corvastel-" + message.text;
    int k = FoundSlotOf(message.text);
    if (k < 0) {
        k = FoundDeviceCount;
    }
    QListWidgetItem* item = k < FoundDeviceCount ? DeviceListView->item(k) : nullptr;
    const auto selectedIsK = [&] {
        return SelectedDevice >= 0 && SelectedDevice < FoundDeviceCount &&
               FoundDevices[SelectedDevice]->Address() == FoundDevices[k]->Address();
    };
    const auto log = [this](const std::string& line) {
        Memo2->appendPlainText(QString::fromStdString(line));
    };

    switch (message.event) {
        case ServicesBound:
            for (const TBluetoothGattService* service : {session->DeviceInfoSvr, session->CvSvr}) {
                if (service != nullptr) {
                    log(prefix + " - Service - " + ShortUUIDText(service->UUID()));
                }
            }
            SetProgress(ProgressBar1, 0.4);
            break;
        case NotifyEnabled:
            SetProgress(ProgressBar1, 0.6);
            break;
        case DeviceInfoComplete:
            log(prefix + " - firmware:" + session->Firmware);
            SetProgress(ProgressBar1, 0.8);
            break;
        case DeviceActived: {
            const TUSBDeviceID id = session->HidId();
            if (id.vid == 0 && id.pid == 0) {
                break;
            }
            const bool fresh = std::find(FReleasedSessions.begin(), FReleasedSessions.end(), session) ==
                               FReleasedSessions.end();
            if (fresh) {
                // A dongle that dropped and came back may still hold keys on its target: it starts
                // from nothing held before any report of the input path reaches it.
                session->ReleaseAll();
                FReleasedSessions.push_back(session);
                ReconnectTryEnded(message.text, true);
            }
            log(prefix + " - vid:" + Hex(id.vid, 4) + "  pid:" + Hex(id.pid, 4) + "  ver:" + Hex(id.ver, 1));
            UpdateTargetState();
            SetProgress(ProgressBar1, 1.0);
            // Connected: from here the notices say where input goes.
            SetNotice(TNotice::Guide, QString());
            BtnConnect->setEnabled(true);
            if (item != nullptr) {
                SetDeviceImage(item, DeviceImageConnected);
                if (selectedIsK()) {
                    lbFirmware->setText(QString::fromStdString(session->Firmware));
                    lbVer->setText("v" + QString::number(id.ver));
                }
            }
            break;
        }
        case DeviceSetupFailed:
            if (InSetup(session)) {
                EndSetup(session, SetupFailureText(*session->Device, session->SetupFailure()));
            }
            break;
        case DeviceDisconnected: {
            if (InSetup(session) && !session->SetupEnded()) {
                // The link went while it was being set up: said once, as any failed setup.
                log("BleDevice-" + message.text + " - Disconnect");
                EndSetup(session,
                         SetupFailureText(*session->Device, {session->SetupStep(), "the link was lost", {}}));
                break;
            }
            // A dongle that took input and went without the user asking dropped: it is brought
            // back by itself. A try that ended before the dongle took input is just a failed try.
            const bool dropped = std::find(FReleasedSessions.begin(), FReleasedSessions.end(), session) !=
                                     FReleasedSessions.end() &&
                                 !session->DisconnectAsked.load();
            TBluetoothLEDevice* device = session->Device;
            const auto end = Sessions.begin() + SessionCount;
            RemoveSession(static_cast<int>(std::find(Sessions.begin(), end, session) - Sessions.begin()));
            log("BleDevice-" + message.text + " - Disconnect");
            UpdateTargetState();
            if (item != nullptr) {
                SetDeviceImage(item, DeviceImageFound);
                if (selectedIsK()) {
                    lbFirmware->clear();
                    lbVer->clear();
                    BtnConnect->setText(ConnectCaptions[0]);
                    BtnConnect->setEnabled(true);
                }
            }
            if (dropped && device != nullptr) {
                LinkDropped(device);
            } else if (Reconnect.Trying(message.text)) {
                ReconnectTryEnded(message.text, false);
            }
            break;
        }
        case LedStatusChanged:
            UpdateTargetState();
            break;
        default:
            break;
    }
    if (CheckRoute()) {
        UpdateTargetState();
    }
    ShowRoute();
    // Whether any dongle takes input may have changed.
    UpdateLinkNotices();
    ShowProgress();
}

void TFormCorvastelPc::SendReportToActive(TReportType ReportType, bool Empty) {
    const auto takesReports = [this](const TCorvastelDevice* session) { return TakesInput(session); };
    if (ReportType == TReportType::Mouse && !Empty) {
        // The motion is taken out of the table once, and every dongle gets the same snapshot.
        const bool anyActive = std::any_of(Sessions.begin(), Sessions.begin() + SessionCount, takesReports);
        if (!anyActive) {
            return;
        }
        const TMouseSnapshot mouse = TakeMouseSnapshot();
        for (int i = 0; i < SessionCount; ++i) {
            if (takesReports(Sessions[i])) {
                Sessions[i]->SendMouseReport(mouse);
            }
        }
        return;
    }
    for (int i = 0; i < SessionCount; ++i) {
        if (takesReports(Sessions[i])) {
            Sessions[i]->SendReport(ReportType, Empty);
        }
    }
}

bool TFormCorvastelPc::TakesInput(const TCorvastelDevice* Session) const {
    return InputReady(Session) && (Route().ToAll() || Session->Device->Address() == Route().Target());
}

bool TFormCorvastelPc::InputReady(const TCorvastelDevice* Session) const {
    // A session whose activation the window has not handled yet gets nothing: its all-released
    // reports go first. Whether it is in the table is asked before anything of it is read.
    return Session != nullptr &&
           std::find(FReleasedSessions.begin(), FReleasedSessions.end(), Session) !=
               FReleasedSessions.end() &&
           Session->Device != nullptr && Session->isActived;
}

TFormCorvastelPc::TSessionHandle TFormCorvastelPc::HandleOf(const TCorvastelDevice* Session) const {
    const auto it = FSessionSerials.find(Session);
    if (it == FSessionSerials.end() || !SessionHeld(Session)) {
        return {};
    }
    return {it->second, Session->Device != nullptr ? Session->Device->Address() : std::string()};
}

TCorvastelDevice* TFormCorvastelPc::Resolve(const TSessionHandle& Handle) const {
    if (Handle.Serial == 0) {
        return nullptr;
    }
    for (int i = 0; i < SessionCount; ++i) {
        const auto it = FSessionSerials.find(Sessions[i]);
        if (it != FSessionSerials.end() && it->second == Handle.Serial) {
            return Sessions[i];
        }
    }
    return nullptr;
}

int TFormCorvastelPc::FindSession(const std::string& Address) const {
    for (int i = 0; i < SessionCount; ++i) {
        const TCorvastelDevice* session = Sessions[i];
        if (session != nullptr && session->Device != nullptr && session->Device->Address() == Address) {
            return i;
        }
    }
    return -1;
}

bool TFormCorvastelPc::SessionHeld(const TCorvastelDevice* Session) const {
    return Session != nullptr && std::find(Sessions.begin(), Sessions.begin() + SessionCount, Session) !=
                                     Sessions.begin() + SessionCount;
}

void TFormCorvastelPc::RemoveSession(int Slot) {
    if (Slot < 0 || Slot >= SessionCount) {
        return;
    }
    TCorvastelDevice* session = Sessions[Slot];
    FSessionSerials.erase(session);
    std::move(Sessions.begin() + Slot + 1, Sessions.begin() + SessionCount, Sessions.begin() + Slot);
    --SessionCount;
    Sessions[SessionCount] = nullptr;
    std::erase(FReleasedSessions, session);
    FTyping.TargetGone(session);

    const auto job = std::find_if(FConnectJobs.begin(), FConnectJobs.end(),
                                  [session](const auto& j) { return j->Session == session; });
    if (job != FConnectJobs.end()) {
        (*job)->Removed = true;  // InitData still runs on it
    } else {
        delete session;
    }
}

void TFormCorvastelPc::ShowMessageAndWait(const std::string& text) {
    const QString message = QString::fromStdString(text);
    FUiQueue->RunAndWait([message] { ShowMessage(message); });
}

void TFormCorvastelPc::ReleaseSessions() {
    // The window is going: nothing queued runs any more. A worker waiting for a message box has its
    // call dropped from this thread's queue, which lets it go on (RunAndWait answers false).
    FUiQueue->Close();
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    // Cut connection attempts short rather than wait out the connect time-out.
    for (const auto& job : FConnectJobs) {
        if (!job->Removed) {
            job->Device->Disconnect();
        }
    }
    for (const auto& job : FConnectJobs) {
        job->Worker.join();
        if (job->Removed) {
            delete job->Session;
        }
    }
    FConnectJobs.clear();
    for (int i = SessionCount - 1; i >= 0; --i) {
        delete std::exchange(Sessions[i], nullptr);
    }
    SessionCount = 0;
    FSessionSerials.clear();
    FReleasedSessions.clear();
}
