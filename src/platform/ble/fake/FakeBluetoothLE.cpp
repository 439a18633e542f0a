#include "platform/ble/fake/FakeBluetoothLE.h"

#include <algorithm>
#include <optional>
#include <thread>
#include <utility>

using namespace std::chrono_literals;
using vdongle::TVirtualDongle;

namespace fakeble {

TTaskQueue::TTaskQueue(int threads) {
    std::lock_guard lock(FLock);
    for (int i = 0; i < threads; ++i) {
        FThreads.emplace_back([this] { Run(); });
        FIds.push_back(FThreads.back().get_id());
    }
}

TTaskQueue::~TTaskQueue() {
    Stop();
}

void TTaskQueue::Post(std::chrono::microseconds delay, std::function<void()> task) {
    {
        std::lock_guard lock(FLock);
        if (FStop)
            return;
        FTasks.emplace(std::make_pair(TClock::now() + delay, ++FSeq), std::move(task));
    }
    FWake.notify_all();
}

bool TTaskQueue::Idle() const {
    std::lock_guard lock(FLock);
    return FTasks.empty() && FRunning == 0;
}

bool TTaskQueue::Owns(std::thread::id id) const {
    std::lock_guard lock(FLock);
    return std::find(FIds.begin(), FIds.end(), id) != FIds.end();
}

void TTaskQueue::Stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(FLock);
        FStop = true;
        FTasks.clear();
        threads.swap(FThreads);
    }
    FWake.notify_all();
    for (auto& t : threads)
        t.join();
}

void TTaskQueue::Run() {
    std::unique_lock lock(FLock);
    while (!FStop) {
        if (FTasks.empty()) {
            FWake.wait(lock);
            continue;
        }
        auto first = FTasks.begin();
        // A copy: another worker may take that task (and free its node) while this one waits.
        const TClock::time_point due = first->first.first;
        if (due > TClock::now()) {
            FWake.wait_until(lock, due);
            continue;
        }
        auto task = std::move(first->second);
        FTasks.erase(first);
        ++FRunning;
        lock.unlock();
        task();
        task = nullptr;  // its captures die outside the lock too
        lock.lock();
        --FRunning;
    }
}

}  // namespace fakeble

namespace {

// The 16-bit form of a UUID inside the Bluetooth base UUID; nullopt for any other UUID.
std::optional<uint16_t> ShortForm(const TBluetoothUuid& u) {
    const auto base = TBluetoothUuid::FromShort(static_cast<uint16_t>(u.Data1() & 0xFFFF));
    if (!(base == u))
        return std::nullopt;
    return static_cast<uint16_t>(u.Data1() & 0xFFFF);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TFakeBluetoothLEDevice::TFakeBluetoothLEDevice(TFakeBluetoothLEManager& manager, std::string address)
    : FManager(manager), FAddress(std::move(address)) {}

TFakeBluetoothLEDevice::~TFakeBluetoothLEDevice() {
    Unbind();
}

std::string TFakeBluetoothLEDevice::DeviceName() const {
    std::lock_guard lock(FLock);
    return FName;
}

std::shared_ptr<TVirtualDongle> TFakeBluetoothLEDevice::Dongle() const {
    std::lock_guard lock(FLock);
    return FDongle;
}

void TFakeBluetoothLEDevice::Bind(const std::shared_ptr<TVirtualDongle>& dongle) {
    std::shared_ptr<TVirtualDongle> previous;
    {
        std::lock_guard lock(FLock);
        FName = dongle->Name();
        if (FDongle == dongle)
            return;
        previous = std::exchange(FDongle, dongle);
    }
    if (previous)
        previous->SetSink({});
    dongle->SetSink(
        {[this](uint16_t handle, uint16_t, const vdongle::TBytes& value) { OnNotify(handle, value); },
         [this] { OnLinkDropped(); }});
}

void TFakeBluetoothLEDevice::Unbind() {
    std::shared_ptr<TVirtualDongle> dongle;
    {
        std::lock_guard lock(FLock);
        dongle = std::move(FDongle);
    }
    if (dongle)
        dongle->SetSink({});
}

TFakeBluetoothLEDevice::TLink TFakeBluetoothLEDevice::CurrentLink() const {
    auto dongle = Dongle();
    if (!dongle || !FManager.FRadio.Present() || !dongle->Connected())
        return {};
    return {dongle, dongle->ConnectCount()};
}

bool TFakeBluetoothLEDevice::SameLink(const TLink& link) const {
    const TLink now = CurrentLink();
    return link.dongle && now.dongle == link.dongle && now.connectCount == link.connectCount;
}

uint16_t TFakeBluetoothLEDevice::HandleOf(const TBluetoothGattCharacteristic& c) const {
    std::lock_guard lock(FLock);
    auto it = FCharHandles.find(&c);
    return it == FCharHandles.end() ? 0 : it->second;
}

bool TFakeBluetoothLEDevice::IsConnected() const {
    return CurrentLink().dongle != nullptr;
}

bool TFakeBluetoothLEDevice::DiscoverServices() {
    if (!FManager.FRadio.Present())
        return false;
    auto dongle = FManager.FRadio.Find(FAddress);
    if (!dongle)
        return false;  // out of range
    if (const auto slow = FManager.FDiscoveryDelay.load(); slow.count() > 0) {
        // The stack is slow to answer this connect's discovery; only this caller waits for it.
        std::this_thread::sleep_for(slow);
    }
    Bind(dongle);
    if (!dongle->Connect())
        return false;  // neither connected nor connectable

    TBluetoothGattServiceList services;
    {
        std::lock_guard lock(FLock);
        if (FServicesOf != dongle) {
            // A dongle seen for the first time at this address: build its objects. Earlier ones stay
            // alive for callers that still hold them, but no longer receive anything.
            FServices.clear();
            FByHandle.clear();
            for (const auto& def : dongle->Gatt()) {
                auto service = std::make_unique<TBluetoothGattService>(TBluetoothUuid::FromShort(def.uuid));
                for (const auto& cs : def.characteristics) {
                    auto* c = service->AddCharacteristic(std::make_unique<TBluetoothGattCharacteristic>(
                        TBluetoothUuid::FromShort(cs.uuid), cs.properties));
                    FCharHandles[c] = cs.handle;
                    FByHandle[cs.handle] = c;
                    for (const auto& ds : cs.descriptors) {
                        auto* d = c->AddDescriptor(
                            std::make_unique<TBluetoothGattDescriptor>(TBluetoothUuid::FromShort(ds.uuid)));
                        d->SetValue(ds.value);
                        FDescHandles[d] = ds.handle;
                    }
                }
                FServices.push_back(service.get());
                FOwnedServices.push_back(std::move(service));
            }
            FServicesOf = dongle;
        }
        services = FServices;
    }
    RaiseServicesDiscovered(services);
    return true;
}

TBluetoothGattServiceList TFakeBluetoothLEDevice::Services() const {
    std::lock_guard lock(FLock);
    return FServices;
}

void TFakeBluetoothLEDevice::ReadCharacteristic(TBluetoothGattCharacteristic& c) {
    const TLink link = CurrentLink();
    const uint16_t handle = HandleOf(c);
    const auto delay = link.dongle ? link.dongle->WriteDelay() : 0us;
    FManager.FWorkers.Post(delay, [this, &c, link, handle] {
        std::optional<vdongle::TBytes> value;
        uint16_t status = GattStatusFailure;
        if (handle != 0 && SameLink(link))
            status = vdongle::ReadAsBluez(*link.dongle, handle, &value);
        if (!value) {
            RaiseCharacteristicRead(c, status == GattStatusSuccess ? GattStatusFailure : status, {});
            return;
        }
        c.SetValue(*value);
        RaiseCharacteristicRead(c, GattStatusSuccess, *value);
    });
}

void TFakeBluetoothLEDevice::WriteCharacteristic(TBluetoothGattCharacteristic& c,
                                                 std::span<const uint8_t> value) {
    Write(c, value, !c.Has(PropWriteNoResponse));
}

void TFakeBluetoothLEDevice::WriteCharacteristicWithResponse(TBluetoothGattCharacteristic& c,
                                                             std::span<const uint8_t> value) {
    Write(c, value, c.Has(PropWrite) || !c.Has(PropWriteNoResponse));
}

void TFakeBluetoothLEDevice::Write(TBluetoothGattCharacteristic& c, std::span<const uint8_t> value,
                                   bool withResponse) {
    c.SetValue(TBytes(value.begin(), value.end()));
    if (withResponse) {
        // As the product's backend on BlueZ: requests go one at a time (Qt's queue of operations,
        // and ATT allows one request outstanding); a write without response is not held behind
        // them.
        std::lock_guard lock(FLock);
        if (FRequestOut) {
            FWaitingRequests.push_back({&c, TBytes(value.begin(), value.end())});
            return;
        }
        FRequestOut = true;
    }
    Send(c, value, withResponse);
}

std::optional<TFakeBluetoothLEDevice::TWaitingRequest> TFakeBluetoothLEDevice::RequestDone() {
    std::lock_guard lock(FLock);
    if (FWaitingRequests.empty()) {
        FRequestOut = false;
        return std::nullopt;
    }
    TWaitingRequest next = std::move(FWaitingRequests.front());
    FWaitingRequests.pop_front();
    return next;
}

void TFakeBluetoothLEDevice::Send(TBluetoothGattCharacteristic& c, std::span<const uint8_t> value,
                                  bool withResponse) {
    const TLink link = CurrentLink();
    const uint16_t handle = HandleOf(c);
    vdongle::TWriteOutcome outcome{GattStatusFailure, 0us};
    auto complete = 0us;
    if (link.dongle && handle != 0) {
        const auto kind = withResponse ? vdongle::TWriteKind::Request : vdongle::TWriteKind::Command;
        // bluetoothd pairs by itself where a request meets a dongle that wants encryption.
        outcome = vdongle::WriteAsBluez(*link.dongle, handle, value, kind);
        // As bluetoothd does: a write without response is answered as soon as it is queued for
        // the air (a failure at the dongle shows only in its records); a write with response once
        // it has reached the dongle, after everything queued before it.
        if (kind == vdongle::TWriteKind::Command) {
            outcome.status = GattStatusSuccess;
        } else {
            complete = outcome.delay + outcome.answerLate;
            if (!outcome.answered) {
                // bluetoothd gives up on a request the peer never answers after its ATT time-out.
                complete = std::max(complete, std::chrono::microseconds(FManager.FLostAnswerTimeout.load()));
                outcome.status = GattStatusFailure;
            }
        }
    }
    if (link.dongle && outcome.delay < complete)
        FManager.FWorkers.Post(outcome.delay, [dongle = link.dongle] { dongle->DeliverDue(); });
    if (link.dongle && outcome.delay > complete)
        FManager.FWorkers.Post(outcome.delay, [dongle = link.dongle] { dongle->DeliverDue(); });
    Complete(c, link, outcome.status, withResponse, complete, false);
}

void TFakeBluetoothLEDevice::Complete(TBluetoothGattCharacteristic& c, const TLink& link, uint16_t status,
                                      bool withResponse, std::chrono::microseconds in, bool delayed) {
    FManager.FWorkers.Post(in, [this, &c, link, status, withResponse, delayed] {
        // A backend thread held up (StallBackend) raises what fell due meanwhile when it is free.
        const auto held = FManager.HeldUntil();
        if (std::chrono::steady_clock::now() < held) {
            Complete(c, link, status, withResponse,
                     std::chrono::ceil<std::chrono::microseconds>(held - std::chrono::steady_clock::now()),
                     true);
            return;
        }
        if (link.dongle)
            link.dongle->DeliverDue();
        // The place is free (or the next request's) by the time the completion is seen, as the
        // backend's queue starts its next operation before a write asked for meanwhile.
        const auto next = withResponse ? RequestDone() : std::nullopt;
        RaiseCharacteristicWrite(c, SameLink(link) ? status : GattStatusFailure, delayed);
        if (next)
            Send(*next->characteristic, next->value, true);
    });
}

void TFakeBluetoothLEDevice::WriteDescriptor(TBluetoothGattDescriptor& descriptor) {
    const TLink link = CurrentLink();
    uint16_t handle = 0;
    {
        std::lock_guard lock(FLock);
        auto it = FDescHandles.find(&descriptor);
        if (it != FDescHandles.end())
            handle = it->second;
    }
    if (link.dongle && handle != 0)
        link.dongle->WriteDescriptor(handle, descriptor.Value());
}

bool TFakeBluetoothLEDevice::SetCharacteristicNotification(TBluetoothGattCharacteristic& c, bool enable) {
    if (!c.Has(PropNotify) && !c.Has(PropIndicate))
        return false;
    const auto& ds = c.Descriptors();
    if (std::none_of(ds.begin(), ds.end(),
                     [](const auto* d) { return d->UUID() == ClientCharacteristicConfigurationUuid; }))
        return false;
    const TLink link = CurrentLink();
    const uint16_t handle = HandleOf(c);
    return link.dongle && handle != 0 && link.dongle->SetNotifying(handle, enable);
}

void TFakeBluetoothLEDevice::Disconnect() {
    const TLink link = CurrentLink();
    if (!link.dongle)
        return;
    link.dongle->Disconnect();
    FManager.FNotifier.Post(0us, [this] { RaiseDisconnect(); });
}

void TFakeBluetoothLEDevice::OnNotify(uint16_t handle, const vdongle::TBytes& value) {
    FManager.FNotifier.Post(0us, [this, handle, value] {
        TBluetoothGattCharacteristic* c = nullptr;
        {
            std::lock_guard lock(FLock);
            auto it = FByHandle.find(handle);
            if (it != FByHandle.end())
                c = it->second;
        }
        if (!c)
            return;  // not discovered: nobody can be subscribed
        c->SetValue(value);
        RaiseCharacteristicRead(*c, GattStatusSuccess, value);
    });
}

void TFakeBluetoothLEDevice::OnLinkDropped() {
    // A pairing runs over the link: it ends with it, before the drop is told.
    bool pairing = false;
    {
        std::lock_guard lock(FLock);
        pairing = FPairingLink.has_value();
        FPairingLink.reset();
    }
    if (pairing)
        FinishPairing(TPairingResult::TOutcome::Canceled, "the link went during pairing");
    FManager.FNotifier.Post(0us, [this] { RaiseDisconnect(); });
}

// ---------------------------------------------------------------------------------------------

TFakeBluetoothLEManager::TFakeBluetoothLEManager() {
    FScanner = std::thread([this] { ScanLoop(); });
}

TFakeBluetoothLEManager::~TFakeBluetoothLEManager() {
    {
        std::lock_guard lock(FScanLock);
        FStop = true;
    }
    FScanWake.notify_all();
    FScanner.join();
    {
        std::lock_guard lock(FDevicesLock);
        for (auto& [address, device] : FDevices)
            device->Unbind();
    }
    FNotifier.Stop();
    FWorkers.Stop();
}

int TFakeBluetoothLEManager::ConnectionState() const {
    return FRadio.Present() ? Connected : 0;
}

std::string TFakeBluetoothLEManager::UnavailableReason() const {
    std::lock_guard lock(FRadioLock);
    return RadioProblemText(FRadioProblem);
}

void TFakeBluetoothLEManager::RequestRadioState() {
    TRadioProblem problem;
    {
        std::lock_guard lock(FRadioLock);
        problem = FRadioProblem;
    }
    RaiseRadioChanged(problem);
}

void TFakeBluetoothLEManager::SetRadioProblem(TRadioProblem problem) {
    {
        std::lock_guard lock(FRadioLock);
        FRadioProblem = problem;
    }
    FRadio.SetPresent(problem == TRadioProblem::None);
    FNotifier.Post(0us, [this, problem] { RaiseRadioChanged(problem); });
}

std::shared_ptr<TVirtualDongle> TFakeBluetoothLEManager::AddDongle(vdongle::TDongleConfig config) {
    return FRadio.AddDongle(std::move(config));
}

TFakeBluetoothLEDevice& TFakeBluetoothLEManager::Device(const std::string& address) {
    std::lock_guard lock(FDevicesLock);
    auto& slot = FDevices[address];
    if (!slot)
        slot = std::make_unique<TFakeBluetoothLEDevice>(*this, address);
    return *slot;
}

void TFakeBluetoothLEManager::StallBackend(std::chrono::milliseconds duration) {
    std::lock_guard lock(FHeldLock);
    FHeldUntil = std::chrono::steady_clock::now() + duration;
}

std::chrono::steady_clock::time_point TFakeBluetoothLEManager::HeldUntil() const {
    std::lock_guard lock(FHeldLock);
    return FHeldUntil;
}

bool TFakeBluetoothLEManager::WaitIdle(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A task of one queue may post to the other: idle means both idle with nothing moving between.
    while (!(FWorkers.Idle() && FNotifier.Idle() && FWorkers.Idle())) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TFakeBluetoothLEManager::TThreadRole TFakeBluetoothLEManager::RoleOf(std::thread::id id) const {
    if (FWorkers.Owns(id))
        return TThreadRole::Worker;
    if (FNotifier.Owns(id))
        return TThreadRole::Notifier;
    if (id == FScanner.get_id())
        return TThreadRole::Scanner;
    return TThreadRole::Other;
}

bool TFakeBluetoothLEManager::Scanning() const {
    std::lock_guard lock(FScanLock);
    return FScanActive;
}

bool TFakeBluetoothLEManager::StartDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids,
                                             bool /*forceConnect*/) {
    if (!FRadio.Present())
        return false;
    {
        std::lock_guard lock(FScanLock);
        if (FScanActive)
            return false;
        FScanActive = true;
        ++FScanGeneration;
        FScanDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        FScanFilter.clear();
        for (const auto& u : serviceUuids) {
            if (auto s = ShortForm(u))
                FScanFilter.push_back(*s);
        }
        // A filter of UUIDs no dongle can advertise matches nothing (not everything).
        FScanMatchesNothing = !serviceUuids.empty() && FScanFilter.empty();
        FScanFound.clear();
    }
    FScanWake.notify_all();
    return true;
}

void TFakeBluetoothLEManager::CancelDiscovery() {
    std::vector<TBluetoothLEDevice*> found;
    {
        std::lock_guard lock(FScanLock);
        if (FScanActive) {
            FScanActive = false;
            ++FScanGeneration;  // the scanner raises nothing more for it
            found = FScanFound;
        }
    }
    FScanWake.notify_all();
    RaiseDiscoveryLEEnd(found);
}

void TFakeBluetoothLEManager::ScanLoop() {
    std::unique_lock lock(FScanLock);
    while (!FStop) {
        if (!FScanActive) {
            FScanWake.wait(lock);
            continue;
        }
        const uint64_t generation = FScanGeneration;
        const auto filter = FScanFilter;
        const bool nothing = FScanMatchesNothing;
        lock.unlock();

        // One pass over the air; a find is raised once per scan (dongles that start advertising
        // later are found on a later pass).
        std::vector<std::shared_ptr<TVirtualDongle>> finds;
        if (!nothing)
            finds = FRadio.Scan(filter);
        for (const auto& dongle : finds) {
            TFakeBluetoothLEDevice& device = Device(dongle->Address());
            {
                std::lock_guard scan(FScanLock);
                if (FScanGeneration != generation)
                    break;
                if (std::find(FScanFound.begin(), FScanFound.end(), &device) != FScanFound.end())
                    continue;
                FScanFound.push_back(&device);
            }
            device.Bind(dongle);
            RaiseDiscoverLEDevice(device, dongle->Rssi(), dongle->ScanResponse());
        }

        lock.lock();
        if (FScanGeneration != generation)
            continue;
        const auto next = std::min(FScanDeadline, std::chrono::steady_clock::now() + 20ms);
        FScanWake.wait_until(lock, next, [&] { return FStop || FScanGeneration != generation; });
        if (FStop || FScanGeneration != generation)
            continue;
        if (std::chrono::steady_clock::now() >= FScanDeadline) {
            FScanActive = false;
            const auto found = FScanFound;
            lock.unlock();
            RaiseDiscoveryLEEnd(found);
            lock.lock();
        }
    }
}

// ---- pairing: as bluetoothd with this program's agent registered (KeyboardDisplay). A dongle
// that demands authentication shows a passkey for the user to type; any other pairs Just Works.

TLinkSecurity TFakeBluetoothLEDevice::LinkSecurity() const {
    const TLink link = CurrentLink();
    if (!link.dongle)
        return TLinkSecurity::NotEncrypted;
    switch (link.dongle->LinkSecurity()) {
        case vdongle::TLinkSecurity::Open:
            return TLinkSecurity::NotEncrypted;
        case vdongle::TLinkSecurity::Encrypted:
        case vdongle::TLinkSecurity::Authenticated:
            return link.dongle->Bonded() ? TLinkSecurity::EncryptedPaired : TLinkSecurity::Encrypted;
    }
    return TLinkSecurity::NotEncrypted;
}

bool TFakeBluetoothLEDevice::Paired() const {
    const auto dongle = Dongle();
    return dongle && dongle->Bonded();
}

void TFakeBluetoothLEDevice::FinishPairing(TPairingResult::TOutcome outcome, std::string detail) {
    FManager.FNotifier.Post(0us, [this, outcome, detail = std::move(detail)] {
        FManager.RaisePairingFinished(*this, TPairingResult{outcome, detail});
    });
}

void TFakeBluetoothLEDevice::Pair() {
    const TLink link = CurrentLink();
    if (!link.dongle) {
        FinishPairing(TPairingResult::TOutcome::Unavailable, "not connected");
        return;
    }
    {
        std::lock_guard lock(FLock);
        if (FPairingLink) {
            // bluetoothd: InProgress. The pairing that runs ends by itself and is told.
            return;
        }
    }
    if (link.dongle->Bonded()) {
        FinishPairing(TPairingResult::TOutcome::Paired, "already paired");
        return;
    }
    if (link.dongle->Security() != vdongle::TSecurity::Authenticated) {
        const bool ok = link.dongle->PairJustWorks();
        FinishPairing(ok ? TPairingResult::TOutcome::Paired : TPairingResult::TOutcome::Failed,
                      ok ? "" : "refused by the device");
        return;
    }
    if (!link.dongle->StartPasskeyPairing()) {
        FinishPairing(TPairingResult::TOutcome::Canceled, "the link went during pairing");
        return;
    }
    {
        std::lock_guard lock(FLock);
        FPairingLink = link;
    }
    FManager.FNotifier.Post(0us, [this] {
        FManager.RaisePairingQuestion(*this, TPairingQuestion{TPairingQuestion::TKind::EnterPasskey, 0});
    });
}

void TFakeBluetoothLEDevice::Answer(const TBluetoothLEManager::TPairingAnswer& answer) {
    std::optional<TLink> link;
    {
        std::lock_guard lock(FLock);
        link = std::exchange(FPairingLink, std::nullopt);
    }
    if (!link)
        return;
    if (answer.Cancel) {
        link->dongle->CancelPairing();
        FinishPairing(TPairingResult::TOutcome::Canceled, "canceled");
        return;
    }
    if (!SameLink(*link)) {
        FinishPairing(TPairingResult::TOutcome::Canceled, "the link went during pairing");
        return;
    }
    const bool ok = link->dongle->FinishPasskeyPairing(answer.Passkey);
    FinishPairing(ok ? TPairingResult::TOutcome::Paired : TPairingResult::TOutcome::Failed,
                  ok ? "" : "Authentication Failed");
}

void TFakeBluetoothLEDevice::CancelPairing() {
    Answer({true, 0, false});
}

bool TFakeBluetoothLEDevice::ForgetPairing() {
    const auto dongle = Dongle();
    if (!dongle)
        return false;
    CancelPairing();
    dongle->ForgetBond();
    // bluetoothd removes the device: its link goes with it.
    if (CurrentLink().dongle)
        Disconnect();
    return true;
}

void TFakeBluetoothLEManager::AnswerPairingQuestion(TBluetoothLEDevice& device,
                                                    const TPairingAnswer& answer) {
    if (auto* fake = dynamic_cast<TFakeBluetoothLEDevice*>(&device))
        fake->Answer(answer);
}
