#include "app/UnitMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QGroupBox>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "app/CorvastelApplication.h"
#include "app/DeviceEvents.h"
#include "app/RouteSettings.h"
#include "app/TargetState.h"
#include "app/TextTyping.h"
#include "app/TrayIcon.h"
#include "app/TypingDialog.h"
#include "device/UnitCorvastelDevice.h"

// The pictures are compiled into this static library; a library's resources must be registered
// by hand, or the linker drops them.
static void RegisterPictures() {
    Q_INIT_RESOURCE(pictures);
}

namespace {
const QRect DesignClientRect(0, 0, MainWindowWidth, MainWindowHeight);

QFont WindowFont() {
    // The design font, then fonts that carry the Chinese captions where it is missing (Linux).
    QFont font;
    font.setFamilies(
        {"Segoe UI", "Microsoft YaHei UI", "WenQuanYi Micro Hei", "Noto Sans CJK SC", "DejaVu Sans"});
    font.setPointSize(9);
    return font;
}

QFont KeyDisplayFont(int pixelSize) {
    // The key display's font is rarely installed outside Windows; fall back to fonts with the
    // arrows and keypad symbols the key labels use.
    QFont::insertSubstitutions("Microsoft PhagsPa", {"DejaVu Sans", "WenQuanYi Micro Hei", "Noto Sans"});
    QFont font;
    font.setFamilies({"Microsoft PhagsPa", "DejaVu Sans", "WenQuanYi Micro Hei"});
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers) {
    TShiftState shift = 0;
    if (modifiers.testFlag(Qt::ShiftModifier)) {
        shift |= ssShift;
    }
    if (modifiers.testFlag(Qt::AltModifier)) {
        shift |= ssAlt;
    }
    if (modifiers.testFlag(Qt::ControlModifier)) {
        shift |= ssCtrl;
    }
    return shift;
}

// The virtual-key code of a Qt key for the keys the window reacts to (letters and digits share
// their codes); 0 for the rest.
uint16_t VirtualKeyOf(int qtKey) {
    if ((qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) || (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)) {
        return static_cast<uint16_t>(qtKey);
    }
    return 0;
}

QPushButton* MakeButton(QWidget* parent, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setAutoDefault(false);
    return button;
}
}  // namespace

TFormCorvastelPc::TFormCorvastelPc(TBluetoothLEManager& bleManager,
                                   std::shared_ptr<THookPlatform> hookPlatform, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowSystemMenuHint | Qt::MSWindowsFixedSizeDialogHint),
      BleManager(bleManager),
      // A worker's report goes through the queue: it runs on this thread, and not once the window
      // closed it (ReleaseSessions).
      Connections(
          *this, [this](std::function<void()> Work) { FUiQueue->Post(std::move(Work)); }, ConnectionEvents()),
      FHookPlatform(std::move(hookPlatform)),
      FUiQueue(TUiQueue::Create(this)) {
    TextQuery = [this](const QString& Title, QString& Text, TTypingSettings* Settings, const QString& Note) {
        return TypeTextDialog(this, Title, Text, Settings, Note,
                              {&KeySequenceOption, [this](const QString& Sequence) {
                                   RunReportingErrors([&] { SaveKeySequence(Sequence, FKeySequenceScope); });
                               }});
    };
    SettingsQuery = [this](const QString& Title, TTypingSettings& Settings) {
        return TypingSettingsDialog(this, Title, Settings);
    };
    ConfirmQuery = [this](const QString& Question) { return ConfirmDialog(this, Question); };
    RouteSettingsQuery = [this](TRouteLeader& Leader) { return RouteSettingsDialog(this, Leader); };
    CreateControls();
    SetMessageOwner(this);
    FormCreate();
}

TFormCorvastelPc::~TFormCorvastelPc() {
    if (!FClosed) {
        // Destroyed without being closed (the application ended otherwise): the same clean-up, so
        // no hook, scan or device event outlives the window.
        FormClose();
    }
    FUiQueue->Close();
    BleManager.SetOnRadioChanged(nullptr);
    qApp->removeEventFilter(this);
    // The list empties its model as it goes, after this object's own part is gone.
    DeviceListView->model()->disconnect(this);
    ReleaseSessions();
}

void TFormCorvastelPc::CreateControls() {
    RegisterPictures();
    setObjectName(MainWindowClassName);
    setWindowTitle(QString::fromUtf8(MainWindowCaption));
    setWindowIcon(IconFromSvg(":/corvastel/corvastel-pc.svg", {256, 128, 64}));
    setFixedSize(MainWindowWidth, MainWindowHeight);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    setFont(WindowFont());

    auto* placer = new TControlPlacer(this, DesignClientRect.size());

    // Created in z-order, bottom first: the memo lies beneath the key display and the version
    // panel, the device log above the lower part of the list, the progress bar and the shortcut
    // buttons above the status bar.
    BtnScan = MakeButton(this, ScanCaptions[0]);
    placer->Place(BtnScan, {8, 16, 105, 32});
    BtnConnect = MakeButton(this, ConnectCaptions[0]);
    placer->Place(BtnConnect, {210, 16, 105, 32});

    DeviceListView = new QListWidget(this);
    DeviceListView->setViewMode(QListView::IconMode);
    DeviceListView->setMovement(QListView::Static);
    DeviceListView->setResizeMode(QListView::Adjust);
    DeviceListView->setWrapping(true);
    DeviceListView->setIconSize(ImageList1.Size());
    DeviceListView->setSelectionMode(QAbstractItemView::SingleSelection);
    placer->Place(DeviceListView, {8, 62, 307, 224}, akLeft | akTop | akBottom);

    gbDeviceInfo = new QGroupBox("Information", this);
    placer->Place(gbDeviceInfo, {8, 296, 307, 73}, akLeft | akBottom);
    auto* infoPlacer = new TControlPlacer(gbDeviceInfo, {307, 73});
    Label1 = new QLabel("Name", gbDeviceInfo);
    infoPlacer->PlaceAutoSize(Label1, {18, 24, 32, 15});
    Label2 = new QLabel("MAC Addr", gbDeviceInfo);
    infoPlacer->PlaceAutoSize(Label2, {18, 48, 56, 15});
    lbName = new TElidedLabel(NoDeviceText, gbDeviceInfo);
    // Up to the nickname button: a long name is elided there rather than run under it.
    infoPlacer->PlaceAutoSize(lbName, {79, 24, 51, 15}, 207 - 79 - 4);
    lbMacAddress = new QLabel(NoDeviceText, gbDeviceInfo);
    infoPlacer->PlaceAutoSize(lbMacAddress, {80, 48, 93, 15});
    BtnRename = MakeButton(gbDeviceInfo, RenameCaption);
    infoPlacer->Place(BtnRename, {207, 20, 91, 25}, akTop | akRight);

    cbKeyboard = new QCheckBox(KeyboardCaption, this);
    placer->Place(cbKeyboard, {336, 12, 91, 17});
    cbMouse = new QCheckBox(MouseCaption, this);
    placer->Place(cbMouse, {336, 36, 91, 17});

    BtnHook = MakeButton(this, HookCaptions[0]);
    placer->Place(BtnHook, {472, 16, 162, 32}, akLeft | akTop | akRight);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    placer->Place(Memo1, {327, 62, 307, 307}, akLeft | akTop | akRight | akBottom);

    Memo2 = new QPlainTextEdit(this);
    Memo2->setReadOnly(true);
    Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    placer->Place(Memo2, {8, 184, 307, 106}, akLeft | akRight | akBottom);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::NoFrame);
    Panel1->setAutoFillBackground(true);
    Panel1->setBackgroundRole(QPalette::Light);
    placer->Place(Panel1, {336, 72, 290, 184}, akLeft | akTop | akRight | akBottom);
    auto* keyPlacer = new TControlPlacer(Panel1, {290, 184});
    lbKeyPrimary = new QLabel(Panel1);
    lbKeyPrimary->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lbKeyPrimary->setFont(KeyDisplayFont(85));
    lbKeyPrimary->setForegroundRole(QPalette::WindowText);
    keyPlacer->Place(lbKeyPrimary, {0, 88, 285, 137}, akLeft | akTop | akRight);
    lbKeySecond = new QLabel(Panel1);
    lbKeySecond->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lbKeySecond->setFont(KeyDisplayFont(56));
    {
        QPalette grey = lbKeySecond->palette();
        grey.setColor(QPalette::WindowText, grey.color(QPalette::Disabled, QPalette::WindowText));
        lbKeySecond->setPalette(grey);
    }
    keyPlacer->Place(lbKeySecond, {32, 24, 249, 121});

    // Two lines high: a notice that needs a second line gets it rather than being cut.
    StatusBar1 = new TStatusBar({322, 50}, this);
    placer->Place(StatusBar1, {0, 369, 642, 32}, akLeft | akRight | akBottom);

    // A slim bar of its own under the list, where the found dongles appear: it never covers what
    // the status bar says.
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    placer->Place(ProgressBar1, {8, 288, 307, 6}, akLeft | akBottom);

    Button1 = MakeButton(this, "Ctrl+Alt+Del");
    placer->Place(Button1, {432, 376, 92, 19}, akLeft | akRight);
    Button2 = MakeButton(this, "Win+L");
    placer->Place(Button2, {542, 376, 92, 19}, akRight | akBottom);
    for (QPushButton* shortcut : {Button1, Button2}) {
        shortcut->installEventFilter(this);
    }

    PanelCorvInfo = new QFrame(this);
    PanelCorvInfo->setFrameStyle(QFrame::NoFrame);
    placer->Place(PanelCorvInfo, {329, 308, 303, 59}, akLeft | akRight | akBottom);
    auto* versionPlacer = new TControlPlacer(PanelCorvInfo, {303, 59});
    Label5 = new QLabel("Firmware", PanelCorvInfo);
    versionPlacer->PlaceAutoSize(Label5, {16, 8, 49, 15});
    Label6 = new QLabel("Ver", PanelCorvInfo);
    versionPlacer->PlaceAutoSize(Label6, {16, 32, 16, 15});
    lbFirmware = new QLabel(PanelCorvInfo);
    versionPlacer->PlaceAutoSize(lbFirmware, {78, 8, 24, 15});
    lbVer = new QLabel(PanelCorvInfo);
    versionPlacer->PlaceAutoSize(lbVer, {77, 32, 12, 15});
    // These show what a dongle or the nickname file says: never as markup (a label would load the
    // images and styles a name like <img src=...> asks for).
    for (QLabel* label : std::initializer_list<QLabel*>{lbName, lbMacAddress, lbFirmware, lbVer}) {
        label->setTextFormat(Qt::PlainText);
    }

    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    Timer1->setTimerType(Qt::CoarseTimer);
    FSetupWatch = new QTimer(this);
    FSetupWatch->setInterval(250);
    ReconnectTimer = new QTimer(this);
    ReconnectTimer->setSingleShot(true);

    CreateTargetStateControls();
    InstallRouteMarks();
    // Typing is fed from this thread at the links' pace; a millisecond keeps a fast link busy.
    FTypingTimer = new QTimer(this);
    FTypingTimer->setInterval(1);
    FTypingTimer->setTimerType(Qt::PreciseTimer);
    connect(FTypingTimer, &QTimer::timeout, this, ReportingErrors([this] { PumpTyping(); }));
    FTypingNoticeTimer = new QTimer(this);
    FTypingNoticeTimer->setSingleShot(true);
    FTypingNoticeTimer->setInterval(10000);
    connect(FTypingNoticeTimer, &QTimer::timeout, this, [this] { SetNotice(TNotice::Typing, QString()); });

    for (const char* picture : {":/corvastel/usb-stick.svg", ":/corvastel/monitor-linked.svg",
                                ":/corvastel/monitor-connecting.svg", ":/corvastel/monitor-refused.svg"}) {
        ImageList1.AddSvg(picture);
    }

    SetTabOrder();

    // Event wiring.
    // Every handler is wrapped: its errors go to the general error reporting, not through Qt.
    connect(BtnScan, &QPushButton::clicked, this, ReportingErrors([this] { btnScanClick(BtnScan); }));
    connect(BtnConnect, &QPushButton::clicked, this, ReportingErrors([this] {
                BtnConnectClick(BtnConnect);
                FocusDeviceList();
            }));
    connect(BtnRename, &QPushButton::clicked, this, ReportingErrors([this] { BtnRenameClick(BtnRename); }));
    connect(BtnHook, &QPushButton::clicked, this, ReportingErrors([this] { BtnHookClick(BtnHook); }));
    connect(Timer1, &QTimer::timeout, this, ReportingErrors([this] { Timer1Timer(Timer1); }));
    connect(FSetupWatch, &QTimer::timeout, this, ReportingErrors([this] { SetupWatchTimer(); }));
    connect(ReconnectTimer, &QTimer::timeout, this, ReportingErrors([this] { ReconnectDue(); }));
    connect(DeviceListView, &QListWidget::itemDoubleClicked, this,
            ReportingErrors([this](QListWidgetItem* item) { DeviceListViewDblClick(item); }));
    DeviceListView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(DeviceListView, &QListWidget::customContextMenuRequested, this,
            ReportingErrors([this](const QPoint& pos) { ShowDeviceMenu(pos); }));
    // A click on the window's background: its own menu (the settings).
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            ReportingErrors([this](const QPoint& pos) { ShowWindowMenu(pos); }));
    connect(DeviceListView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            ReportingErrors([this](const QItemSelection& selected, const QItemSelection& deselected) {
                RouteSelectionChange(selected, deselected);
            }));
    // Key-down goes to FormKeyDown before the focused control sees it, whichever control has focus.
    qApp->installEventFilter(this);

    // Centred on the desktop when first shown.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desktop = screen->availableGeometry();
        move(desktop.center() - QPoint(MainWindowWidth / 2, MainWindowHeight / 2));
    }
}

void TFormCorvastelPc::SetNotice(TNotice Kind, const QString& Text) {
    if (FNotices.Set(Kind, Text)) {
        ShowNotices();
    }
}

QString TFormCorvastelPc::NoticeText(TNotice Kind) const {
    return FNotices.Text(Kind);
}

void TFormCorvastelPc::ShowNotices() {
    // Two lines at most, most pressing notice first; the tooltip holds every notice in full.
    StatusBar1->SetPanelWrapped(0, FNotices.Line(), 2);
    StatusBar1->SetPanelToolTip(0, FNotices.ToolTip());
    // The route and pass-through are said in the notices: the tray follows them.
    TrayChanged();
}

void TFormCorvastelPc::FocusDeviceList() {
    // The arrow keys then pick the next dongle, and a second Alt+C acts on that one, not again on
    // the dongle just connected (a focused button would keep both).
    if (FoundDeviceCount > 0 && !FClosed) {
        DeviceListView->setFocus(Qt::OtherFocusReason);
    }
}

void TFormCorvastelPc::ShowProgress() {
    // Only while something runs: a full bar after the end would say nothing.
    ProgressBar1->setVisible(Scanning || Connections.SettingUp());
    UpdateProgressNotice();
}

void TFormCorvastelPc::SetTabOrder() {
    // Controls that cannot take focus (the group box, the progress bar, the panels) keep their
    // place in the chain but are skipped by Tab.
    QWidget* order[] = {BtnScan,      BtnConnect, DeviceListView, gbDeviceInfo, BtnRename,
                        ProgressBar1, cbKeyboard, cbMouse,        BtnHook,      Memo1,
                        Memo2,        Panel1,     Button1,        Button2,      PanelCorvInfo};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
    BtnScan->setFocus();
}

void TFormCorvastelPc::FormCreate() {
    Scanning = false;
    ScanningStart = 0;
    MouseXgt = {};
    MouseYgt = {};
    MouseZgt = {};
    FoundDeviceCount = 0;
    SessionCount = 0;

    Memo1->setEnabled(false);
    Button1->setVisible(false);
    Button2->setVisible(false);
    StatusBar1->SetPanelText(1, QString());

    BtnScan->setText(ScanCaptions[Scanning]);

    BtnConnect->setText(ConnectCaptions[0]);
    BtnConnect->setEnabled(false);

    cbKeyboard->setText(KeyboardCaption);
    cbKeyboard->setChecked(true);
    cbMouse->setText(MouseCaption);
    cbMouse->setChecked(false);

    DeviceListView->clear();
    Memo2->clear();

    ProgressBar1->setVisible(Scanning);

    lbName->setText(NoDeviceText);
    lbMacAddress->setText(NoDeviceText);

    BtnRename->setText(RenameCaption);
    BtnRename->setEnabled(false);

    lbKeyPrimary->clear();
    lbKeySecond->clear();

    // Discovery events come from the stack's own threads; they reach the window through its queue.
    // A cancel on this thread ends the scan before CancelDiscovery returns, as callers expect.
    {
        std::shared_ptr<TUiQueue> queue = FUiQueue;
        BleManager.OnDiscoverLEDevice = [queue, this](TBluetoothLEManager& sender, TBluetoothLEDevice& device,
                                                      int rssi, const TBytes& scanResponse) {
            queue->Run([this, &sender, &device, rssi, scanResponse] {
                DeviceDiscovered(sender, device, rssi, scanResponse);
            });
        };
        BleManager.OnDiscoveryLEEnd = [queue, this](TBluetoothLEManager& sender,
                                                    const std::vector<TBluetoothLEDevice*>& devices) {
            queue->Run([this, &sender, devices] { DiscoveryEnded(sender, devices); });
        };
        BleManager.OnDiscoveryRefused = [queue, this](TBluetoothLEManager&, const std::string& reason) {
            queue->Run([this, reason] { ScanRefused(reason); });
        };
        BleManager.SetOnRadioChanged([queue, this](TBluetoothLEManager&, TRadioProblem problem) {
            queue->Run([this, problem] { RadioChanged(problem); });
        });
        // The start hint waits for the answer: it promises a scan that may not be possible.
        BleManager.RequestRadioState();
    }
    WirePairing();

    Memo2->setVisible(false);
    PanelCorvInfo->setVisible(false);

    SubscribeDeviceEvents();

    ClearPressedKeys();

    FHook = THookContainer<TLowLevelKeyboardHook>::Construct(&FComponents, FHookPlatform);
    FHook->SetOnPreExecute(
        [this](THook& hook, THookMessage& msg) { RunHookHandler([&] { KeyboardHookHandler(hook, msg); }); });
    FHookMouse = THookContainer<TLowLevelMouseHook>::Construct(&FComponents, FHookPlatform);
    FHookMouse->SetOnPreExecute(
        [this](THook& hook, THookMessage& msg) { RunHookHandler([&] { MouseHookHandler(hook, msg); }); });

    BtnHook->setText(HookCaptions[FHook->Active()]);
    ApplyControlHelp();

    // Said before anyone tries: where the platform cannot capture at all (a Wayland session, no X
    // server), pass-through cannot work, and the reason says what to do instead.
    const std::string unavailable = FHookPlatform ? FHookPlatform->CaptureUnavailableReason() : std::string();
    SetNotice(TNotice::CaptureUnavailable, unavailable.empty()
                                               ? QString()
                                               : QStringLiteral("Pass-through cannot capture here: ") +
                                                     QString::fromStdString(unavailable));

    LoadRouteLeader();
    LoadEncryptedOnly();
    SavedKeySequences();
    CreateTray();
}

void TFormCorvastelPc::RunHookHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        // The platform holds the event (and on Windows all input) until the hook returns: show the
        // error after it has, not from inside the hook.
        std::string text = "Unknown error";
        try {
            throw;
        } catch (const std::exception& e) {
            text = e.what();
        } catch (...) {
        }
        FUiQueue->Post([text] { ReportGeneralError(text); });
    }
}

void TFormCorvastelPc::FormClose() {
    if (FClosed) {
        return;
    }
    FClosed = true;
    // A text being typed stops with every key released before the sessions go.
    CancelTyping();
    const bool passThrough = FHook->Active();
    if (passThrough) {
        FHook->SetActive(false);
    }
    // Off whatever the keyboard hook said: a mouse hook left on would keep the desktop's mouse.
    FHookMouse->SetActive(false);
    if (passThrough) {
        // Nothing may stay held on the targets once the window is gone.
        LeavePassThrough();
    }
    Timer1->stop();
    ReconnectTimer->stop();
    if (Scanning) {
        // Ends the scan now; its end is handled while the window is still complete.
        BleManager.CancelDiscovery();
    }
    UnsubscribeDeviceEvents();
    // Device and discovery events already queued are dropped from here on.
    FUiQueue->Close();
    if (Tray != nullptr) {
        // Gone from the tray while the links close; deleted later, as a tray entry may be what
        // closed the window.
        Tray->Hide();
        Tray->deleteLater();
        Tray = nullptr;
    }
}

void TFormCorvastelPc::ReleaseDonglesForExit(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    // Nothing this thread would run is waited for any more (a worker showing a message goes on).
    FUiQueue->Close();
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    // Whatever the tables held, the targets are told nothing is.
    ClearPressedKeys();
    ClearMouseItems();
    // The releases must have reached the dongle, not only the stack's queue, before the link goes
    // (the session's one rule for closing on purpose); all links at once, within the bound.
    TCorvastelDevice::ReleaseForExit(std::span(Sessions.data(), static_cast<size_t>(SessionCount)), bound);
    for (int i = 0; i < SessionCount; ++i) {
        if (Sessions[i] != nullptr && Sessions[i]->Device != nullptr) {
            Sessions[i]->Device->Disconnect();
        }
    }
    Connections.CutSetupsShort();
    const auto linked = [this] {
        for (int i = 0; i < SessionCount; ++i) {
            if (Sessions[i] != nullptr && Sessions[i]->Device != nullptr &&
                Sessions[i]->Device->IsConnected()) {
                return true;
            }
        }
        return false;
    };
    while (linked() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void TFormCorvastelPc::closeEvent(QCloseEvent* event) {
    FormClose();
    QWidget::closeEvent(event);
}

void TFormCorvastelPc::BringToFront() {
    if (!isVisible()) {
        return;
    }
    if (isMinimized()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
    }
    raise();
    activateWindow();
    // A box or dialog waits for an answer: it comes forward with the window, ready for the answer.
    if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this) {
        modal->raise();
        modal->activateWindow();
    }
}

void TFormCorvastelPc::SetDeviceImage(QListWidgetItem* Item, TDeviceImage Image) {
    SetItemImageIndex(Item, ImageList1, Image);
}

void TFormCorvastelPc::FormKeyDown(QObject* /*Sender*/, uint16_t& Key, TShiftState Shift) {
    if (Shift == (ssCtrl | ssShift) && Key == 'V' && !FHook->Active()) {
        // Type a text into every dongle that takes input, starting from the clipboard's text.
        Key = 0;
        TypeTextAsked(nullptr, QApplication::clipboard()->text());
        return;
    }
    if ((Shift & ssAlt) == 0) {
        return;
    }
    switch (Key) {
        case 'S':
            if (BtnScan->isEnabled()) {
                btnScanClick(this);
                Key = 0;
            }
            break;
        case 'C':
            if (BtnConnect->isEnabled()) {
                BtnConnectClick(this);
                FocusDeviceList();
                Key = 0;
            }
            break;
        case 'T':
            if (!FHook->Active()) {
                BtnHookClick(this);
                Key = 0;
            }
            break;
        case 'M':
            if (!FHook->Active()) {
                cbMouse->setChecked(!cbMouse->isChecked());
                Key = 0;
            }
            break;
        default:
            break;
    }
}

bool TFormCorvastelPc::RouteKeyDown(QKeyEvent* event) {
    uint16_t key = VirtualKeyOf(event->key());
    if (key == 0) {
        return false;
    }
    RunReportingErrors([&] { FormKeyDown(this, key, ShiftStateOf(event->modifiers())); });
    return key == 0;
}

bool TFormCorvastelPc::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type == QEvent::ShortcutOverride || type == QEvent::KeyPress) && !FClosed) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && widget->window() == this) {
            auto* key = static_cast<QKeyEvent*>(event);
            bool taken = false;
            if (type == QEvent::ShortcutOverride) {
                // Qt asks first whether a key is a shortcut (a caption's accelerator). The window's
                // own keys come first, and a key it used must not click a control as well.
                taken = RouteKeyDown(key);
                FKeyDownTaken = {key->timestamp(), key->key(), true, taken};
            } else if (FKeyDownTaken.Routed && FKeyDownTaken.Time == key->timestamp() &&
                       FKeyDownTaken.Key == key->key()) {
                // The press that was just offered as a shortcut: routed already.
                taken = FKeyDownTaken.Taken;
                FKeyDownTaken = {};
            } else {
                taken = RouteKeyDown(key);
            }
            if (taken) {
                key->accept();
                return true;
            }
            return false;
        }
    }
    if ((watched == Button1 || watched == Button2) &&
        (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease)) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint at = mouse->position().toPoint();
        const TShiftState shift = ShiftStateOf(mouse->modifiers());
        RunReportingErrors([&] {
            if (type == QEvent::MouseButtonPress) {
                BtnShortcutMouseDown(watched, mouse->button(), shift, at.x(), at.y());
            } else {
                BtnShortcutMouseUp(watched, mouse->button(), shift, at.x(), at.y());
            }
        });
        // The button itself still sees the press and release.
    }
    return QWidget::eventFilter(watched, event);
}

void TFormCorvastelPc::RouteSelectionChange(const QItemSelection& selected,
                                            const QItemSelection& deselected) {
    // The item that lost the selection is reported before the one that gained it.
    for (const QModelIndex& index : deselected.indexes()) {
        DeviceListViewSelectItem(DeviceListView, DeviceListView->item(index.row()), false);
    }
    for (const QModelIndex& index : selected.indexes()) {
        DeviceListViewSelectItem(DeviceListView, DeviceListView->item(index.row()), true);
    }
}

// ---- Device-event subscription.
void TFormCorvastelPc::SubscribeDeviceEvents() {
    // Device events are published on connect workers and Bluetooth threads; the window takes them
    // on its own thread, in publish order.
    SubscriptionId = SubscribeOnUiQueue<TBleDeviceMessage>(
        TMessageManager::DefaultManager(), FUiQueue,
        ReportingErrors([this](const TBleDeviceMessage& m) { DeviceMessageReceived(m); }));
}

void TFormCorvastelPc::UnsubscribeDeviceEvents() {
    if (SubscriptionId != 0)
        TMessageManager::DefaultManager().Unsubscribe<TBleDeviceMessage>(SubscriptionId);
    SubscriptionId = 0;
}
