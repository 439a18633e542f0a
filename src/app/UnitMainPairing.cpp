// Pairing with a dongle: asked from its menu (Pair / Forget pairing), its questions (a passkey the
// dongle shows, or a number to compare) in a small dialog with Cancel, and how it ended in the
// status bar in plain words. The stack's events come on its own threads and reach the window
// through its queue.

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QVBoxLayout>

#include <cstdio>

#include "app/TargetState.h"
#include "app/TypingSettings.h"
#include "app/UnitMain.h"
#include "platform/GeneralError.h"

QString TFormCorvastelPc::SecurityText(TLinkSecurity Security) {
    switch (Security) {
        case TLinkSecurity::EncryptedPaired:
            return QStringLiteral("encrypted, paired");
        case TLinkSecurity::Encrypted:
            return QStringLiteral("encrypted");
        case TLinkSecurity::NotEncrypted:
            break;
    }
    return QStringLiteral("not encrypted");
}

void TFormCorvastelPc::WirePairing() {
    std::shared_ptr<TUiQueue> queue = FUiQueue;
    BleManager.OnPairingQuestion = [queue, this](TBluetoothLEManager&, TBluetoothLEDevice& device,
                                                 const TPairingQuestion& question) {
        queue->Post(
            [this, &device, question] { RunReportingErrors([&] { PairingQuestion(device, question); }); });
    };
    BleManager.OnPairingFinished = [queue, this](TBluetoothLEManager&, TBluetoothLEDevice& device,
                                                 const TPairingResult& result) {
        queue->Post(
            [this, &device, result] { RunReportingErrors([&] { PairingFinished(device, result); }); });
    };
}

bool TFormCorvastelPc::PairDongle(const std::string& Address) {
    const int slot = FoundSlotOf(Address);
    if (slot < 0) {
        return false;
    }
    TBluetoothLEDevice& device = *FoundDevices[slot];
    const QString name = FoundCaption(device);
    if (!device.CanPair()) {
        SetNotice(TNotice::Pairing, QStringLiteral("%1 cannot be paired from this app here: pair it in the "
                                                   "system's Bluetooth settings")
                                        .arg(name));
        return false;
    }
    if (!device.IsConnected()) {
        SetNotice(TNotice::Pairing, QStringLiteral("Connect %1 first, then pair it").arg(name));
        return false;
    }
    SetNotice(TNotice::Pairing, QStringLiteral("Pairing with %1\u2026").arg(name));
    device.Pair();
    return true;
}

void TFormCorvastelPc::ForgetDonglePairing(const std::string& Address) {
    const int slot = FoundSlotOf(Address);
    if (slot < 0) {
        return;
    }
    TBluetoothLEDevice& device = *FoundDevices[slot];
    const QString name = FoundCaption(device);
    if (device.ForgetPairing()) {
        SetNotice(TNotice::Pairing,
                  QStringLiteral("%1 is no longer paired: its next link is not encrypted until "
                                 "you pair it again")
                      .arg(name));
    } else {
        SetNotice(
            TNotice::Pairing,
            QStringLiteral("The pairing with %1 could not be removed: the Bluetooth service refused. Try "
                           "again, or remove it in the system's Bluetooth settings")
                .arg(name));
    }
    UpdateTargetState();
}

void TFormCorvastelPc::SecurityWanted(const std::string& Address) {
    const int slot = FoundSlotOf(Address);
    if (slot < 0 || !FAutoPairing.empty()) {
        return;
    }
    TBluetoothLEDevice& device = *FoundDevices[slot];
    if (!device.CanPair()) {
        SetNotice(TNotice::Pairing,
                  QStringLiteral("%1 wants a paired, encrypted link: pair it in the system's "
                                 "Bluetooth settings, then connect again")
                      .arg(FoundCaption(device)));
        return;
    }
    if (PairDongle(Address)) {
        FAutoPairing = Address;
    }
}

void TFormCorvastelPc::ClosePairingDialog() {
    if (PairingDialog != nullptr) {
        PairingDialog->hide();
        // Gone for anyone who looks for it by name, although Qt deletes it only later.
        PairingDialog->setObjectName(QString());
        PairingDialog->deleteLater();
        PairingDialog = nullptr;
    }
    PairingAddress.clear();
}

void TFormCorvastelPc::PairingQuestion(TBluetoothLEDevice& Device, const TPairingQuestion& Question) {
    ClosePairingDialog();
    const std::string address = Device.Address();
    const QString name = FoundCaption(Device);
    PairingAddress = address;
    auto* dialog = new QDialog(this);
    PairingDialog = dialog;
    dialog->setObjectName(QStringLiteral("PairingDialog"));
    dialog->setWindowTitle(QStringLiteral("Pair with %1").arg(name));
    auto* layout = new QVBoxLayout(dialog);
    auto* text = new QLabel(dialog);
    text->setTextFormat(Qt::PlainText);  // the name is the dongle's own: never rich text
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    const bool enter = Question.Kind == TPairingQuestion::TKind::EnterPasskey;
    QLineEdit* passkey = nullptr;
    if (enter) {
        text->setText(
            QStringLiteral("%1 shows six digits. Type them here to pair; nobody else can then read or "
                           "type over its link.")
                .arg(name));
        passkey = new QLineEdit(dialog);
        passkey->setObjectName(QStringLiteral("Passkey"));
        passkey->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,6}")), passkey));
        layout->addWidget(passkey);
        buttons->button(QDialogButtonBox::Ok)->setEnabled(false);
        connect(passkey, &QLineEdit::textChanged, buttons, [buttons](const QString& t) {
            buttons->button(QDialogButtonBox::Ok)->setEnabled(t.size() == 6);
        });
    } else {
        text->setText(QStringLiteral("Does %1 show %2? Pair only if it does.")
                          .arg(name, QStringLiteral("%1").arg(Question.Passkey, 6, 10, QLatin1Char('0'))));
        buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("It does"));
    }
    layout->addWidget(buttons);
    // The answer goes to the stack by address: the dialog may outlive the question (the dongle
    // stopped asking), and then the answer is ignored there.
    connect(buttons, &QDialogButtonBox::accepted, dialog, [this, address, passkey] {
        const int slot = FoundSlotOf(address);
        if (slot >= 0) {
            TBluetoothLEManager::TPairingAnswer answer;
            answer.Accepted = true;
            answer.Passkey = passkey != nullptr ? passkey->text().toUInt() : 0;
            BleManager.AnswerPairingQuestion(*FoundDevices[slot], answer);
        }
        ClosePairingDialog();
    });
    connect(buttons, &QDialogButtonBox::rejected, dialog, [this, address] {
        const int slot = FoundSlotOf(address);
        if (slot >= 0) {
            TBluetoothLEManager::TPairingAnswer answer;
            answer.Cancel = true;
            BleManager.AnswerPairingQuestion(*FoundDevices[slot], answer);
        }
        ClosePairingDialog();
    });
    SetNotice(TNotice::Pairing,
              enter ? QStringLiteral("Pairing with %1: type the six digits it shows").arg(name)
                    : QStringLiteral("Pairing with %1: compare the numbers").arg(name));
    dialog->open();
}

void TFormCorvastelPc::PairingFinished(TBluetoothLEDevice& Device, const TPairingResult& Result) {
    if (PairingAddress == Device.Address()) {
        ClosePairingDialog();
    }
    const QString name = FoundCaption(Device);
    using O = TPairingResult::TOutcome;
    QString text;
    switch (Result.Outcome) {
        case O::Paired:
            text = QStringLiteral("Paired with %1: its link is encrypted").arg(name);
            break;
        case O::Failed:
            text = QStringLiteral(
                       "Pairing with %1 failed: the passkey was wrong or %1 refused. Nothing was typed "
                       "there. Choose Pair in its menu to try again")
                       .arg(name);
            break;
        case O::Canceled:
            text = QStringLiteral("Pairing with %1 was stopped before it was done: its link is not encrypted")
                       .arg(name);
            break;
        case O::Unavailable:
            text = QStringLiteral("%1 cannot be paired now: the Bluetooth service refused (%2)")
                       .arg(name, PeerText(Result.Detail));
            break;
    }
    std::fprintf(stderr, "pairing with %s: %s\n", Device.Address().c_str(), Result.Detail.c_str());
    SetNotice(TNotice::Pairing, text);
    const bool asked = FAutoPairing == Device.Address();
    if (asked) {
        FAutoPairing.clear();
    }
    const int i = FindSession(Device.Address());
    TCorvastelDevice* session = i >= 0 ? Sessions[i] : nullptr;
    if (session != nullptr && Result.Outcome == O::Paired) {
        session->RetryAfterPairing();
    } else if (session != nullptr && asked && !InputReady(session)) {
        // The dongle takes nothing over this link: the setup ends now, with what happened.
        EndSetup(session,
                 (QStringLiteral("%1 accepts input only over a paired, encrypted link, and pairing did not "
                                 "succeed.\n\n")
                      .arg(name) +
                  text + QStringLiteral("."))
                     .toStdString());
    }
    UpdateTargetState();
}

// ---- send input only over encrypted links

namespace {
constexpr char SecurityGroup[] = "Security";
constexpr char EncryptedOnlyKey[] = "EncryptedOnly";

QString SettingsKey() {
    return QStringLiteral("%1/%2").arg(QLatin1String(SecurityGroup), QLatin1String(EncryptedOnlyKey));
}
QString FileText(const std::filesystem::path& File) {
    return QString::fromStdU16String(File.u16string());
}
}  // namespace

void TFormCorvastelPc::LoadEncryptedOnly() {
    const std::filesystem::path file = TypingSettingsPath();
    QString problem;
    if (!SettingsFileReadable(file, &problem)) {
        FEncryptedOnly = false;
        return;  // the leader's notice already says what is wrong with the file
    }
    QSettings settings(FileText(file), QSettings::IniFormat);
    const QString value = settings.value(SettingsKey()).toString().trimmed().toLower();
    // Anything but a plain yes reads as off, as the file is the user's to edit.
    FEncryptedOnly = value == QLatin1String("true") || value == QLatin1String("1");
}

void TFormCorvastelPc::SetEncryptedOnly(bool On) {
    FEncryptedOnly = On;
    const std::filesystem::path file = TypingSettingsPath();
    QString problem;
    if (!SettingsFileReadable(file, &problem)) {
        SetNotice(TNotice::Settings, problem + QStringLiteral(" The choice holds until the app ends."));
    } else {
        QSettings settings(FileText(file), QSettings::IniFormat);
        settings.setValue(SettingsKey(), On);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            SetNotice(TNotice::Settings,
                      QStringLiteral("%1 could not be written: the choice holds until the app ends.")
                          .arg(FileText(file)));
        }
    }
    UpdateTargetState();
}

bool TFormCorvastelPc::SkippedAsInsecure(const TCorvastelDevice* Session) const {
    return FEncryptedOnly && Session != nullptr && Session->Device != nullptr &&
           Session->Device->LinkSecurity() == TLinkSecurity::NotEncrypted;
}

void TFormCorvastelPc::UpdateSecurityNotice() {
    QStringList skipped;
    for (const TCorvastelDevice* session : ConnectedInListOrder()) {
        if (InputReady(session) && SkippedAsInsecure(session)) {
            const int slot = FoundSlotOf(session->Device->Address());
            skipped << (slot >= 0 ? FoundCaption(*FoundDevices[slot]) : PeerText(session->Device->Address()));
        }
    }
    SetNotice(TNotice::Insecure,
              skipped.isEmpty()
                  ? QString()
                  : QStringLiteral(
                        "No input goes to %1: the link is not encrypted (input only over encrypted links "
                        "is on). Pair it from its menu")
                        .arg(skipped.join(QStringLiteral(", "))));
}
