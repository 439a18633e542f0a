#include "app/Connections.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/ble/BluetoothLE.h"

namespace {
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

TConnections::TConnections(TDeviceUi& Ui, TPost Post, TConnectionEvents Events)
    : FUi(Ui), FPost(std::move(Post)), FEvents(std::move(Events)) {}

TConnections::~TConnections() {
    Close();
}

TConnections::TStart TConnections::Start(TBluetoothLEDevice& Device, bool Quiet) {
    if (Find(Device.Address()) >= 0) {
        return TStart::Held;
    }
    // A session taken out by an early disconnect may still have its worker on this device; a
    // second session would fight it for the device's events.
    if (std::any_of(FJobs.begin(), FJobs.end(), [&](const auto& job) { return job->Device == &Device; })) {
        return TStart::Closing;
    }
    if (Count >= DeviceSlots) {
        return TStart::Full;
    }
    auto session =
        std::make_unique<TCorvastelDevice>(Quiet ? static_cast<TDeviceUi*>(&FQuietUi) : &FUi, ++FLastSerial);
    // Set here as well so lookups by address work at once; InitData stores the same device.
    session->Device = &Device;
    auto job = std::make_unique<TJob>();
    job->Session = session.get();
    job->Device = &Device;
    job->Worker =
        std::thread([this, s = session.get(), &Device, Quiet] { ConnectWorker(*s, Device, Quiet); });
    FJobs.push_back(std::move(job));
    Sessions[Count] = session.release();
    ++Count;
    return TStart::Started;
}

void TConnections::ConnectWorker(TCorvastelDevice& Session, TBluetoothLEDevice& Device, bool Quiet) {
    TCorvastelDevice* session = &Session;
    FPost([this, session] {
        if (InSetup(session) && FEvents.WorkerStarted) {  // not given up meanwhile
            FEvents.WorkerStarted(*session);
        }
    });
    try {
        // Binding and service discovery run here; the connection may take the backend's whole
        // connect time-out.
        Session.InitData(&Device);
    } catch (...) {
        // Otherwise the dongle would just sit at "connecting" with no word why. Only while the setup
        // is still on: one that was given up or failed meanwhile has said all there is to say.
        if (!Quiet) {
            FPost([this, session, error = CurrentErrorText()] {
                if (InSetup(session) && !session->SetupEnded() && FEvents.SetupThrew) {
                    FEvents.SetupThrew(*session, error);
                }
            });
        }
    }
    // A link that never came up (refused, timed out, the platform failed) reports no disconnect
    // later, so the table has to let go of the session itself.
    const bool linked = Device.IsConnected();
    FPost([this, session, linked] { WorkerDone(session, linked); });
}

void TConnections::WorkerDone(TCorvastelDevice* Session, bool Linked) {
    const auto it = std::find_if(FJobs.begin(), FJobs.end(),
                                 [Session](const auto& job) { return job->Session == Session; });
    if (it == FJobs.end()) {
        return;
    }
    (*it)->Worker.join();  // it has nothing left to do but end
    const bool removed = (*it)->Removed;
    const std::string address = (*it)->Device->Address();
    FJobs.erase(it);
    TWorkerEnd end = TWorkerEnd::Linked;
    if (removed) {
        delete Session;
        end = TWorkerEnd::LeftEarlier;
    } else if (!Holds(Session)) {
        return;
    } else if (!Linked) {
        // Left in the table, the dongle would show "connecting" for good and could neither be
        // disconnected nor connected again.
        Remove(*Session);
        end = TWorkerEnd::NeverLinked;
    }
    if (FEvents.WorkerEnded) {
        FEvents.WorkerEnded(end, address);
    }
}

int TConnections::Find(const std::string& Address) const {
    for (int i = 0; i < Count; ++i) {
        const TCorvastelDevice* session = Sessions[i];
        if (session != nullptr && session->Device != nullptr && session->Device->Address() == Address) {
            return i;
        }
    }
    return -1;
}

bool TConnections::Holds(const TCorvastelDevice* Session) const {
    return Session != nullptr &&
           std::find(Sessions.begin(), Sessions.begin() + Count, Session) != Sessions.begin() + Count;
}

bool TConnections::Released(const TCorvastelDevice* Session) const {
    return std::find(FReleased.begin(), FReleased.end(), Session) != FReleased.end();
}

bool TConnections::InSetup(const TCorvastelDevice* Session) const {
    return Holds(Session) && !Released(Session);
}

bool TConnections::SettingUp() const {
    return std::any_of(Sessions.begin(), Sessions.begin() + Count,
                       [this](const TCorvastelDevice* session) { return InSetup(session); });
}

std::vector<TSessionHandle> TConnections::Stalled(TClock::time_point Now, TClock::duration Bound) const {
    std::vector<TSessionHandle> stalled;
    for (int i = 0; i < Count; ++i) {
        const TCorvastelDevice* session = Sessions[i];
        if (InSetup(session) && !session->SetupEnded() && Now - session->LastSetupProgress() >= Bound) {
            stalled.push_back(HandleOf(session));
        }
    }
    return stalled;
}

std::string TConnections::GiveUp(TCorvastelDevice& Session) {
    Session.CancelSetup();
    TBluetoothLEDevice* device = Session.Device;
    std::string address = device->Address();
    device->Disconnect();
    Remove(Session);
    return address;
}

bool TConnections::Activated(TCorvastelDevice& Session) {
    if (!Holds(&Session) || Released(&Session)) {
        return false;
    }
    Session.ReleaseAll();
    FReleased.push_back(&Session);
    return true;
}

bool TConnections::InputReady(const TCorvastelDevice* Session) const {
    // A session whose activation was not handled yet gets nothing: its all-released reports go
    // first. Whether it is in the table is asked before anything of it is read.
    return Session != nullptr && Released(Session) && Session->Device != nullptr && Session->isActived;
}

bool TConnections::Disconnected(TCorvastelDevice& Session) {
    const bool dropped = Released(&Session) && !Session.DisconnectAsked.load();
    Remove(Session);
    return dropped;
}

void TConnections::Remove(TCorvastelDevice& Session) {
    const auto end = Sessions.begin() + Count;
    const auto slot = std::find(Sessions.begin(), end, &Session);
    if (slot == end) {
        return;
    }
    TCorvastelDevice* session = &Session;
    std::move(slot + 1, end, slot);
    --Count;
    Sessions[Count] = nullptr;
    std::erase(FReleased, session);
    if (FEvents.Leaving) {
        FEvents.Leaving(*session);
    }
    const auto job =
        std::find_if(FJobs.begin(), FJobs.end(), [session](const auto& j) { return j->Session == session; });
    if (job != FJobs.end()) {
        (*job)->Removed = true;  // InitData still runs on it
    } else {
        delete session;
    }
}

TSessionHandle TConnections::HandleOf(const TCorvastelDevice* Session) const {
    if (!Holds(Session) || Session->Serial == 0) {
        return {};
    }
    return {Session->Serial, Session->Device != nullptr ? Session->Device->Address() : std::string()};
}

TCorvastelDevice* TConnections::Resolve(const TSessionHandle& Handle) const {
    if (Handle.Serial == 0) {
        return nullptr;
    }
    for (int i = 0; i < Count; ++i) {
        if (Sessions[i]->Serial == Handle.Serial) {
            return Sessions[i];
        }
    }
    return nullptr;
}

void TConnections::CutSetupsShort() {
    for (const auto& job : FJobs) {
        if (!job->Removed) {
            job->Device->Disconnect();
        }
    }
}

void TConnections::Close() {
    CutSetupsShort();
    for (const auto& job : FJobs) {
        job->Worker.join();
        if (job->Removed) {
            delete job->Session;
        }
    }
    FJobs.clear();
    // Every dongle's releases go out at once and are waited for together: each destructor alone
    // would wait its own link out before the next began.
    TCorvastelDevice::ReleaseForExit(
        std::span(Sessions.data(), static_cast<size_t>(Count)),
        TCorvastelDevice::DeliveryProofLimit + TCorvastelDevice::DisconnectGrace);
    for (int i = Count - 1; i >= 0; --i) {
        delete std::exchange(Sessions[i], nullptr);
    }
    Count = 0;
    FReleased.clear();
}
