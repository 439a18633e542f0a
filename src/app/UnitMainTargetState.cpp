// The target at a glance: each connected dongle's keyboard lock lights and link latency on its
// device list item, the large lights of the one dongle that takes input, and a dongle's details.
//
// Everything a dongle sent is shown as plain text, one line per value (see PeerText).
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <exception>

#include "app/CorvastelApplication.h"
#include "app/TargetState.h"
#include "app/UnitMain.h"
#include "hid/TextKeys.h"

namespace {

QString Hex4(uint32_t value) {
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

QString FramingText(const TUSBDeviceID& Id) {
    switch (HidFraming(Id)) {
        case THidFraming::ReportId:
            return QStringLiteral("report IDs (keyboard 01 + 8 bytes, mouse 03 + 6 bytes, both on F801)");
        case THidFraming::Plain:
            return QStringLiteral("plain (keyboard 8 bytes on F801, mouse 6 bytes on F803)");
        case THidFraming::PlainKeyboardOnly:
            return QStringLiteral("plain, keyboard only (8 bytes on F801)");
        case THidFraming::None:
            break;
    }
    return QStringLiteral("unknown: no reports are sent");
}

}  // namespace

void TFormCorvastelPc::CreateTargetStateControls() {
    DeviceListView->setItemDelegate(new TDeviceItemDelegate(DeviceListView));
    // One cell per item, the same for all: a long caption, a bold routed caption or a latency that
    // gains a digit never makes an item wider than its place.
    DeviceListView->setUniformItemSizes(true);
    DeviceListView->setWordWrap(false);
    DeviceListView->setTextElideMode(Qt::ElideRight);
    DeviceListView->setGridSize(DeviceItemCellSize(DeviceListView->font(), DeviceListView->iconSize()) +
                                QSize(2, 2));
    // Any change to an item repaints the whole list, and its tooltips follow.
    QAbstractItemModel* model = DeviceListView->model();
    const auto changed = [this] { DeviceListChanged(); };
    connect(model, &QAbstractItemModel::dataChanged, this, changed);
    connect(model, &QAbstractItemModel::rowsInserted, this, changed);
    connect(model, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(model, &QAbstractItemModel::modelReset, this, changed);
    // Above the key display's labels, in the panel's empty top strip.
    LockLights = new TLockLights(Panel1);
    LockLights->setGeometry(QRect(QPoint(6, 4), QSize(Panel1->width() - 12, 20)));
    LockLights->setVisible(false);
    LinkTimer = new QTimer(this);
    LinkTimer->setInterval(500);
    connect(LinkTimer, &QTimer::timeout, this, [this] {
        if (SessionCount > 0) {
            RunReportingErrors([this] { UpdateTargetState(); });
        }
    });
    LinkTimer->start();
}

void TFormCorvastelPc::DeviceListChanged() {
    if (FClosed) {
        return;
    }
    DeviceListView->viewport()->update();
    if (FDeviceListRefresh) {
        return;
    }
    // Once the change is done (several item changes come together): the tooltips then say what the
    // items show.
    FDeviceListRefresh = true;
    FUiQueue->Post([this] {
        FDeviceListRefresh = false;
        RunReportingErrors([this] { UpdateTargetState(); });
    });
}

std::vector<TCorvastelDevice*> TFormCorvastelPc::InputSessions() const {
    std::vector<TCorvastelDevice*> out;
    for (int i = 0; i < SessionCount; ++i) {
        if (TakesInput(Sessions[i])) {
            out.push_back(Sessions[i]);
        }
    }
    return out;
}

TCorvastelDevice* TFormCorvastelPc::SessionOfSlot(int Slot) const {
    if (Slot < 0 || Slot >= FoundDeviceCount) {
        return nullptr;
    }
    const int i = FindSession(FoundDevices[Slot]->Address());
    return i >= 0 ? Sessions[i] : nullptr;
}

void TFormCorvastelPc::UpdateTargetState() {
    if (LockLights == nullptr) {
        return;
    }
    for (int k = 0; k < FoundDeviceCount; ++k) {
        QListWidgetItem* item = DeviceListView->item(k);
        if (item == nullptr) {
            continue;
        }
        const TCorvastelDevice* session = SessionOfSlot(k);
        // Lights and latency only while the session takes input: a link being set up or gone has
        // neither.
        if (session == nullptr || !InputReady(session)) {
            if (item->data(ItemLedRole).isValid()) {
                item->setData(ItemLedRole, QVariant());
                item->setData(ItemLinkRole, QVariant());
                item->setData(ItemBehindRole, QVariant());
            }
        } else {
            const TCorvastelDevice::TLinkStats stats = session->LinkStats();
            const int leds = session->LedStatus.load();
            const QString link = LinkLatencyText(stats);
            const bool late = LinkShownLate(stats);
            if (item->data(ItemLedRole) != QVariant(leds) || item->data(ItemLinkRole) != QVariant(link) ||
                item->data(ItemBehindRole) != QVariant(late)) {
                item->setData(ItemLedRole, leds);
                item->setData(ItemLinkRole, link);
                item->setData(ItemBehindRole, late);
            }
        }
        // The lock: the link is up and encrypted.
        const QVariant secure =
            session != nullptr && FoundDevices[k]->LinkSecurity() != TLinkSecurity::NotEncrypted
                ? QVariant(true)
                : QVariant();
        if (item->data(ItemSecureRole) != secure) {
            item->setData(ItemSecureRole, secure);
        }
        // The caption in full first: the item shows it on one line, cut where it is long.
        const QString tip = ToolTipText(item->text() + QStringLiteral("\n") + DeviceSummaryText(k));
        if (item->toolTip() != tip) {
            item->setToolTip(tip);
        }
    }
    UpdateSecurityNotice();
    const std::vector<TCorvastelDevice*> input = InputSessions();
    if (input.size() == 1) {
        const TCorvastelDevice::TLinkStats stats = input.front()->LinkStats();
        LockLights->SetState(input.front()->LedStatus.load(), LinkLatencyText(stats), LinkShownLate(stats));
    }
    LockLights->setVisible(input.size() == 1);
    // The tray's tooltip names each dongle's link too.
    TrayChanged();
    if (DetailsDialog != nullptr && DetailsDialog->isVisible()) {
        // By address: a new scan may have put another dongle into the slot.
        const std::string address = DetailsDialog->property("address").toString().toStdString();
        const int slot = FoundSlotOf(address);
        auto* text = DetailsDialog->findChild<QPlainTextEdit*>();
        const QString details = DeviceDetailsText(slot);
        if (text != nullptr && text->toPlainText() != details) {
            text->setPlainText(details);
        }
    }
}

QString TFormCorvastelPc::DeviceSummaryText(int Slot) {
    return DeviceDetailsText(Slot).section(QStringLiteral("\nTechnical\n"), 0, 0);
}

QString TFormCorvastelPc::DeviceDetailsText(int Slot) {
    if (Slot < 0 || Slot >= FoundDeviceCount) {
        return {};
    }
    const TBluetoothLEDevice& device = *FoundDevices[Slot];
    const std::string nickname = ReadNickname(device.Address());
    QStringList lines;
    const auto line = [&lines](const char* label, const QString& value) {
        lines << QStringLiteral("%1: %2").arg(QLatin1String(label), value);
    };
    // What a user asks about a dongle first, in words; what the app found out on the way under a
    // "Technical" line (the tooltip shows the first part only).
    line("Name", PeerText(device.DeviceName()));
    if (!nickname.empty()) {
        line("Nickname", PeerText(nickname));
    }
    line("Address", PeerText(device.Address(), 17));
    const TCorvastelDevice* session = SessionOfSlot(Slot);
    if (session == nullptr) {
        line("State", Reconnect.Scheduled(device.Address())
                          ? QStringLiteral("dropped; reconnecting by itself")
                          : QStringLiteral("not connected (double-click or 连接 to connect)"));
        return lines.join(QLatin1Char('\n'));
    }
    const bool ready = InputReady(session);
    line("State", ready ? (TakesInput(session) ? QStringLiteral("connected, takes input")
                                               : QStringLiteral("connected, input goes to another dongle"))
                        : QStringLiteral("connecting"));
    line("Security", SecurityText(device.LinkSecurity()));
    // The strings are written by Bluetooth threads before their arrival bits are set.
    const uint8_t info = session->infoValue.load();
    const auto value = [info](uint8_t bit, const std::string& text) {
        return (info & bit) != 0 ? PeerText(text) : QStringLiteral("\u2014");
    };
    const TUSBDeviceID id = session->HidId();
    const bool idKnown = id.vid != 0 || id.pid != 0;
    if (ready) {
        line("Lock lights", LockDescription(session->LedStatus.load()));
        line("Link", LinkSummary(session->LinkStats()));
    }
    line("Firmware", value(InfoFirmware, session->Firmware));
    line("Model", value(InfoModelNumber, session->ModelNumber));
    line("Serial number", value(InfoSerialNumber, session->SerialNumber));
    line("Manufacturer", value(InfoManufacture, session->Manufacture));
    // Older firmware is not asked: the app takes the identity such dongles present.
    bool assumed = false;
    if (idKnown && (info & InfoFirmware) != 0) {
        try {
            assumed = !session->UpdateSupport();
        } catch (const std::exception&) {
            assumed = false;
        }
    }
    QString presents = QStringLiteral("not known yet");
    if (idKnown) {
        switch (HidFraming(id)) {
            case THidFraming::PlainKeyboardOnly:
                presents = QStringLiteral("a keyboard");
                break;
            case THidFraming::None:
                presents = QStringLiteral("a device this app cannot send input to");
                break;
            default:
                presents = QStringLiteral("a keyboard and a mouse");
                break;
        }
        presents += QStringLiteral(", USB %1:%2").arg(Hex4(id.vid), Hex4(id.pid));
        if (assumed) {
            presents += QStringLiteral(", assumed (the dongle did not answer)");
        }
    }
    line("On its computer", presents);

    lines << QStringLiteral("Technical");
    line("Hardware revision", value(InfoHardware, session->Hardware));
    line("Software revision", value(InfoSoftware, session->Software));
    if ((info & InfoSystemId) != 0) {
        QStringList bytes;
        for (uint8_t b : session->SystemId) {
            bytes << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
        }
        line("System ID", bytes.join(QLatin1Char(' ')));
    }
    if (!idKnown) {
        line("USB identity", QStringLiteral("not known yet"));
    } else {
        line("USB identity", QStringLiteral("%1:%2 version %3%4")
                                 .arg(Hex4(id.vid), Hex4(id.pid))
                                 .arg(id.ver)
                                 .arg(assumed ? QStringLiteral(", assumed (the dongle did not answer)")
                                              : QStringLiteral(", as the dongle said")));
        line("Framing", FramingText(id));
    }
    line("Send path", LinkDescription(session->LinkStats(), MouseForwarded()));
    return lines.join(QLatin1Char('\n'));
}

void TFormCorvastelPc::ShowDeviceDetails(int Slot) {
    if (Slot < 0 || Slot >= FoundDeviceCount) {
        return;
    }
    if (DetailsDialog == nullptr) {
        DetailsDialog = new QDialog(this);
        DetailsDialog->setObjectName(QStringLiteral("DeviceDetails"));
        auto* layout = new QVBoxLayout(DetailsDialog);
        auto* text = new QPlainTextEdit(DetailsDialog);
        text->setReadOnly(true);
        text->setLineWrapMode(QPlainTextEdit::NoWrap);
        text->setMinimumSize(420, 260);
        layout->addWidget(text);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, DetailsDialog);
        QPushButton* copy = buttons->addButton(QStringLiteral("Copy"), QDialogButtonBox::ActionRole);
        copy->setObjectName(QStringLiteral("CopyDetails"));
        copy->setToolTip(QStringLiteral("Copy these details to the clipboard"));
        connect(copy, &QPushButton::clicked, DetailsDialog,
                [text] { QApplication::clipboard()->setText(text->toPlainText()); });
        connect(buttons, &QDialogButtonBox::rejected, DetailsDialog, &QDialog::close);
        layout->addWidget(buttons);
    }
    DetailsDialog->setProperty("address", QString::fromStdString(FoundDevices[Slot]->Address()));
    DetailsDialog->setWindowTitle(
        QStringLiteral("Details of %1").arg(DongleLabel(FoundDevices[Slot]->Address())));
    DetailsDialog->findChild<QPlainTextEdit*>()->setPlainText(DeviceDetailsText(Slot));
    DetailsDialog->show();
    DetailsDialog->raise();
    DetailsDialog->activateWindow();
}
