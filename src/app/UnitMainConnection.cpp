// Connecting and disconnecting shown, device events and the report broadcast.
//
// Everything here runs on the window's thread. The session table and the connect workers are
// TConnections' (Connections.h): a session goes into the table at the click, before its worker
// starts, so the table only ever changes on this thread and every lookup by address (a second
// click, a scan, a selection) finds a connection that is being set up; a session whose InitData is
// still running is never destroyed. The handlers here turn what it reports into the list, the
// connect button, the progress bar and boxes.
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

std::string SetupFailureText(const std::string& title, const TSetupFailure& failure) {
    std::string text = "Could not connect to " + title + " while " + SetupStepText(failure.Step) + ": " +
                       failure.Reason +
                       ".\nThe connection was closed and the dongle is listed as found again. Check the "
                       "dongle (its firmware, its power) and connect it once more.";
    if (!failure.Detail.empty()) {
        text += "\n" + failure.Detail;
    }
    return text;
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
        UpdateProgressNotice();
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

    switch (StartConnection(device, false)) {
        case TConnections::TStart::Started:
            // From the click on, the button cancels the connection being set up.
            BtnConnect->setText(ConnectCaptions[1]);
            BtnConnect->setEnabled(true);
            ProgressBar1->setVisible(true);
            ProgressBar1->setValue(0);
            break;
        case TConnections::TStart::Held:  // the disconnect above
            break;
        case TConnections::TStart::Closing:
            ShowMessage(
                QString::fromStdString(DongleLabel(device->Address()).toStdString() +
                                       " is still closing its last connection. Try again in a moment."));
            break;
        case TConnections::TStart::Full:
            ShowMessage(QString::fromStdString(
                "Cannot connect " + DongleLabel(device->Address()).toStdString() + ": at most " +
                std::to_string(DeviceSlots) + " devices can be connected at once. Disconnect one first."));
            break;
    }
}

TConnections::TStart TFormCorvastelPc::StartConnection(TBluetoothLEDevice* Device, bool Quiet) {
    const TConnections::TStart started = Connections.Start(*Device, Quiet);
    if (started == TConnections::TStart::Started) {
        ShowDongleImage(Device->Address(), DeviceImageConnecting);
        FSetupWatch->start();
        UpdateProgressNotice();
    }
    return started;
}

void TFormCorvastelPc::UpdateProgressNotice() {
    // From the table itself, so that no way a connection ends can leave the notice standing.
    QStringList connecting;
    QStringList disconnecting;
    for (int i = 0; i < SessionCount; ++i) {
        const TCorvastelDevice* session = Sessions[i];
        const std::string address = session->Device->Address();
        if (InSetup(session) && !session->SetupEnded()) {
            if (!Reconnect.Trying(address)) {
                connecting << DongleLabel(address);
            }
        } else if (session->DisconnectAsked.load()) {
            disconnecting << DongleLabel(address);
        }
    }
    SetNotice(TNotice::Progress, ProgressNotice(connecting, disconnecting));
}

TConnectionEvents TFormCorvastelPc::ConnectionEvents() {
    TConnectionEvents events;
    events.WorkerStarted = [this](TCorvastelDevice&) { SetProgress(ProgressBar1, 0.2); };
    events.SetupThrew = [this](TCorvastelDevice& Session, const std::string& Error) {
        // Otherwise the dongle would just sit at "connecting" with no word why.
        EndSetup(&Session, "Could not connect to " + DongleLabel(Session.Device->Address()).toStdString() +
                               ": " + Error +
                               ".\nThe dongle is listed as found again: check it and connect it once more.");
    };
    events.WorkerEnded = [this](TWorkerEnd End, const std::string& Address) {
        ConnectWorkerEnded(End, Address);
    };
    events.Leaving = [this](const TCorvastelDevice& Session) { FTyping.TargetGone(&Session); };
    return events;
}

void TFormCorvastelPc::SetupWatchTimer() {
    // Handles: the box each give-up shows runs an event loop, in which the others may go.
    const std::vector<TSessionHandle> stalled =
        Connections.Stalled(std::chrono::steady_clock::now(), SetupBound);
    if (!Connections.SettingUp()) {
        FSetupWatch->stop();
    }
    for (const TSessionHandle& handle : stalled) {
        TCorvastelDevice* session = Resolve(handle);
        if (session == nullptr || !InSetup(session) || session->SetupEnded()) {
            continue;  // ended, or gave up, while an earlier box was open
        }
        if (FAutoPairing == session->Device->Address()) {
            // The user may be reading the passkey off the dongle: the pairing's own end (the
            // stack gives up a silent one) decides, and its time-out counts from then.
            continue;
        }
        const TSetupFailure failure{
            session->SetupStep(),
            "the dongle did not answer for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(SetupBound).count()) +
                " seconds",
            {}};
        EndSetup(session, SetupFailureText(DongleTitle(session->Device->Address()), failure));
    }
}

void TFormCorvastelPc::EndSetup(TCorvastelDevice* Session, const std::string& Message) {
    const std::string address = Connections.GiveUp(*Session);
    Memo2->appendPlainText(QString::fromStdString("BleDevice-" + address +
                                                  (Message.empty() ? " - Cancelled" : " - Setup failed")));
    if (Reconnect.Trying(address)) {
        // A try to bring a dropped dongle back: no box, the next try follows on its schedule.
        ReconnectTryEnded(address, false);
        return;
    }
    ShowFoundAgain(address);
    ShowProgress();
    // Last: the box runs an event loop of its own.
    if (!Message.empty()) {
        ReportGeneralError(Message);
    }
}

void TFormCorvastelPc::ConnectWorkerEnded(TWorkerEnd End, const std::string& Address) {
    if (End == TWorkerEnd::LeftEarlier) {
        ShowProgress();
        return;
    }
    if (End != TWorkerEnd::NeverLinked) {
        return;
    }
    // The session left the table: the dongle shows as found, ready for another try.
    const bool retrying = Reconnect.Trying(Address);
    ShowFoundAgain(Address);
    ShowProgress();
    if (retrying) {
        ReconnectTryEnded(Address, false);
    }
}

bool TFormCorvastelPc::ShowDongleImage(const std::string& Address, TDeviceImage Image) {
    const int k = FoundSlotOf(Address);
    if (k < 0) {
        return false;
    }
    if (QListWidgetItem* item = DeviceListView->item(k)) {
        SetDeviceImage(item, Image);
    }
    return SelectedDevice == k;
}

void TFormCorvastelPc::ShowFoundAgain(const std::string& Address) {
    if (ShowDongleImage(Address, DeviceImageFound)) {
        lbFirmware->clear();
        lbVer->clear();
        BtnConnect->setText(ConnectCaptions[0]);
        BtnConnect->setEnabled(true);
        ProgressBar1->setValue(0);
    }
}

void TFormCorvastelPc::DeviceMessageReceived(const TBleDeviceMessage& M) {
    const TBleDeviceMessage message = M;
    // By the session's handle, here on the window's thread: events a session posted before it left
    // the table (given up, disconnected) may still be queued, and a new session, on the same dongle
    // or even in the same memory, must not take them for its own.
    TCorvastelDevice* session = Resolve({message.serial, message.text});
    if (session == nullptr) {
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
        case SecurityRefused:
            log(prefix + " - wants a secure link");
            SecurityWanted(message.text);
            break;
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
            // The first time, the dongle is sent its all-released reports before any report of the
            // input path reaches it.
            if (Connections.Activated(*session)) {
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
                EndSetup(session,
                         SetupFailureText(DongleTitle(session->Device->Address()), session->SetupFailure()));
            }
            break;
        case DeviceDisconnected: {
            if (InSetup(session) && !session->SetupEnded()) {
                // The link went while it was being set up: said once, as any failed setup.
                log("BleDevice-" + message.text + " - Disconnect");
                EndSetup(session, SetupFailureText(DongleTitle(session->Device->Address()),
                                                   {session->SetupStep(), "the link was lost", {}}));
                break;
            }
            // A dongle that took input and went without the user asking dropped: it is brought
            // back by itself. A try that ended before the dongle took input is just a failed try.
            TBluetoothLEDevice* device = session->Device;
            const bool dropped = Connections.Disconnected(*session);
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
        case DongleNotAnswering:
            ShowNotAnswering();
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
    return InputReady(Session) && (Route().ToAll() || Session->Device->Address() == Route().Target()) &&
           !SkippedAsInsecure(Session);
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
    // Connection attempts are cut short rather than waited out to the connect time-out.
    Connections.Close();
}
