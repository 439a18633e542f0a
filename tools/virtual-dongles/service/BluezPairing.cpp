// Pairing as bluetoothd 5.66 offers it over D-Bus: org.bluez.AgentManager1 at /org/bluez
// (RegisterAgent, UnregisterAgent, RequestDefaultAgent), Device1.Pair / CancelPairing with the
// Paired and Bonded properties, and the calls bluetoothd makes to a registered org.bluez.Agent1.
//
// Which agent a pairing asks (src/agent.c, agent_get): the one registered by the caller of Pair,
// else the default agent, else none. Its capability decides the method against the dongle's: a
// dongle that demands authentication shows a passkey (a display, no input), so only a keyboard
// ("KeyboardOnly", "KeyboardDisplay") can authenticate; every other pairing is Just Works, which
// such a dongle refuses ("Authentication Failed", as the SMP authentication requirements fail).
// Other dongles have neither display nor input: Just Works, nobody is asked.

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <chrono>
#include <cstdio>

#include "BluezService.h"

namespace {

const QString IfDevice = QStringLiteral("org.bluez.Device1");
const QString IfAgent = QStringLiteral("org.bluez.Agent1");
const QString IfAgentManager = QStringLiteral("org.bluez.AgentManager1");

const QString ErrAlreadyExists = QStringLiteral("org.bluez.Error.AlreadyExists");
const QString ErrDoesNotExist = QStringLiteral("org.bluez.Error.DoesNotExist");
const QString ErrInvalidArgs = QStringLiteral("org.bluez.Error.InvalidArguments");
const QString ErrInProgress = QStringLiteral("org.bluez.Error.InProgress");
const QString ErrAuthFailed = QStringLiteral("org.bluez.Error.AuthenticationFailed");
const QString ErrAuthCanceled = QStringLiteral("org.bluez.Error.AuthenticationCanceled");
const QString ErrConnectFailed = QStringLiteral("org.bluez.Error.ConnectionAttemptFailed");

// The kernel gives up a pairing whose peer stays silent after SMP's 30 s (net/bluetooth/smp.c,
// SMP_TIMEOUT); a user who leaves the passkey question open meets it.
constexpr auto PairingTimeout = std::chrono::seconds(30);
// Just Works takes the radio a few exchanges.
constexpr int JustWorksMs = 5;

bool ValidCapability(const QString& c) {
    return c.isEmpty() || c == QLatin1String("DisplayOnly") || c == QLatin1String("DisplayYesNo") ||
           c == QLatin1String("KeyboardOnly") || c == QLatin1String("NoInputNoOutput") ||
           c == QLatin1String("KeyboardDisplay");
}

}  // namespace

const TBluezService::TAgent* TBluezService::AgentFor(const QString& sender) const {
    for (const TAgent& a : FAgents) {
        if (a.owner == sender)
            return &a;
    }
    for (const TAgent& a : FAgents) {
        if (a.owner == FDefaultAgent)
            return &a;
    }
    return nullptr;
}

bool TBluezService::HandleAgentManager(const QDBusMessage& m) {
    const QString member = m.member();
    const QString sender = m.service();
    const QString path = m.arguments().value(0).value<QDBusObjectPath>().path();
    auto registered =
        std::find_if(FAgents.begin(), FAgents.end(), [&](const TAgent& a) { return a.owner == sender; });
    if (member == QStringLiteral("RegisterAgent")) {
        // Capability "" stands for KeyboardDisplay.
        QString capability = m.arguments().value(1).toString();
        if (path.isEmpty() || !ValidCapability(capability)) {
            Reply(m.createErrorReply(ErrInvalidArgs, QStringLiteral("Invalid arguments in method call")));
            return true;
        }
        if (registered != FAgents.end()) {
            Reply(m.createErrorReply(ErrAlreadyExists, QStringLiteral("Already Exists")));
            return true;
        }
        if (capability.isEmpty())
            capability = QStringLiteral("KeyboardDisplay");
        FAgents.push_back({sender, path, capability});
        if (!FAgentWatcher) {
            FAgentWatcher = new QDBusServiceWatcher(this);
            FAgentWatcher->setConnection(FBus);
            FAgentWatcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
            connect(FAgentWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
                    [this](const QString& owner) { AgentVanished(owner); });
        }
        FAgentWatcher->addWatchedService(sender);
        Reply(m.createReply());
    } else if (member == QStringLiteral("UnregisterAgent") ||
               member == QStringLiteral("RequestDefaultAgent")) {
        if (registered == FAgents.end() || registered->path != path) {
            Reply(m.createErrorReply(ErrDoesNotExist, QStringLiteral("Does Not Exist")));
            return true;
        }
        if (member == QStringLiteral("RequestDefaultAgent"))
            FDefaultAgent = sender;
        else
            AgentVanished(sender);
        Reply(m.createReply());
    } else {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
    }
    return true;
}

void TBluezService::AgentVanished(const QString& owner) {
    FAgents.erase(
        std::remove_if(FAgents.begin(), FAgents.end(), [&](const TAgent& a) { return a.owner == owner; }),
        FAgents.end());
    if (FDefaultAgent == owner)
        FDefaultAgent.clear();
    if (FAgentWatcher)
        FAgentWatcher->removeWatchedService(owner);
    // A pairing that waits for this agent's answer cannot get one.
    for (auto& e : FEntries) {
        if (e->pairing && e->pairAgentOwner == owner) {
            e->pairAgentOwner.clear();
            AbandonPairing(*e, ErrAuthFailed, QStringLiteral("Authentication Failed"));
        }
    }
}

void TBluezService::SetPaired(TEntry& e, bool paired) {
    if (e.paired == paired && e.bonded == paired)
        return;
    e.paired = paired;
    e.bonded = paired;
    // bluetoothd says Bonded before Paired, in two signals.
    EmitPropertiesChanged(e.path, IfDevice, {{QStringLiteral("Bonded"), paired}});
    EmitPropertiesChanged(e.path, IfDevice, {{QStringLiteral("Paired"), paired}});
}

void TBluezService::Pair(const QDBusMessage& m, TEntry& e) {
    if (e.pairing) {
        Reply(m.createErrorReply(ErrInProgress, QStringLiteral("In Progress")));
        return;
    }
    if (e.paired) {
        Reply(m.createErrorReply(ErrAlreadyExists, QStringLiteral("Already Exists")));
        return;
    }
    // bluetoothd would connect first; the imitation pairs only over a link that is up.
    if (!e.connected) {
        Reply(m.createErrorReply(ErrConnectFailed, QStringLiteral("Page Timeout")));
        return;
    }
    const TAgent* agent = AgentFor(m.service());
    const QString capability = agent ? agent->capability : QStringLiteral("NoInputNoOutput");
    const QString address = QString::fromStdString(e.dongle->Address());
    e.pairing = true;
    e.pairCall = m;
    const unsigned serial = ++e.pairSerial;

    if (e.dongle->Security() != vdongle::TSecurity::Authenticated) {
        QTimer::singleShot(JustWorksMs, this, [this, address, serial] {
            TEntry* entry = EntryByAddress(address);
            if (!entry || !entry->pairing || entry->pairSerial != serial)
                return;
            entry->pairing = false;
            if (!entry->dongle->PairJustWorks()) {
                Reply(
                    entry->pairCall.createErrorReply(ErrAuthFailed, QStringLiteral("Authentication Failed")));
                return;
            }
            SetPaired(*entry, true);
            Reply(entry->pairCall.createReply());
        });
        return;
    }
    const bool keyboard =
        capability == QLatin1String("KeyboardOnly") || capability == QLatin1String("KeyboardDisplay");
    if (!keyboard) {
        e.pairing = false;
        Reply(m.createErrorReply(ErrAuthFailed, QStringLiteral("Authentication Failed")));
        return;
    }
    const auto shown = e.dongle->StartPasskeyPairing();
    if (!shown) {
        e.pairing = false;
        Reply(m.createErrorReply(ErrAuthCanceled, QStringLiteral("Authentication Canceled")));
        return;
    }
    std::printf("%s (%s) shows passkey %06u\n", e.dongle->Name().c_str(), e.dongle->Address().c_str(),
                static_cast<unsigned>(*shown));
    std::fflush(stdout);
    e.pairAgentOwner = agent->owner;
    e.pairAgentPath = agent->path;
    QDBusMessage ask =
        QDBusMessage::createMethodCall(agent->owner, agent->path, IfAgent, QStringLiteral("RequestPasskey"));
    ask << QVariant::fromValue(QDBusObjectPath(e.path));
    auto* watcher = new QDBusPendingCallWatcher(
        FBus.asyncCall(ask, static_cast<int>(std::chrono::milliseconds(PairingTimeout).count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, address, serial](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                FinishPasskey(address, serial, w->reply());
            });
}

void TBluezService::FinishPasskey(const QString& address, unsigned serial, const QDBusMessage& answer) {
    TEntry* e = EntryByAddress(address);
    if (!e || !e->pairing || e->pairSerial != serial)
        return;  // cancelled or ended meanwhile
    if (answer.type() == QDBusMessage::ErrorMessage) {
        // The agent refused, or never answered: the kernel's pairing times out then.
        if (answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
            AbandonPairing(*e, ErrAuthCanceled, QStringLiteral("Authentication Canceled"));
        } else {
            e->pairAgentOwner.clear();  // it answered: nothing to cancel there
            AbandonPairing(*e, ErrAuthFailed, QStringLiteral("Authentication Failed"));
        }
        return;
    }
    bool ok = false;
    const uint passkey = answer.arguments().value(0).toUInt(&ok);
    e->pairing = false;
    e->pairAgentOwner.clear();
    if (!ok || answer.signature() != QLatin1String("u") || passkey > 999999 ||
        !e->dongle->FinishPasskeyPairing(passkey)) {
        e->dongle->CancelPairing();
        Reply(e->pairCall.createErrorReply(ErrAuthFailed, QStringLiteral("Authentication Failed")));
        return;
    }
    SetPaired(*e, true);
    Reply(e->pairCall.createReply());
}

void TBluezService::AbandonPairing(TEntry& e, const QString& error, const QString& text) {
    if (!e.pairing)
        return;
    e.pairing = false;
    ++e.pairSerial;
    e.dongle->CancelPairing();
    if (!e.pairAgentOwner.isEmpty()) {
        FBus.send(QDBusMessage::createMethodCall(e.pairAgentOwner, e.pairAgentPath, IfAgent,
                                                 QStringLiteral("Cancel")));
        e.pairAgentOwner.clear();
    }
    Reply(e.pairCall.createErrorReply(error, text));
}

void TBluezService::CancelPairing(const QDBusMessage& m, TEntry& e) {
    if (!e.pairing) {
        Reply(m.createErrorReply(ErrDoesNotExist, QStringLiteral("Does Not Exist")));
        return;
    }
    AbandonPairing(e, ErrAuthCanceled, QStringLiteral("Authentication Canceled"));
    Reply(m.createReply());
}
