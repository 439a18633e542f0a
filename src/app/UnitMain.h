#pragma once
// The main window: the one fixed-size window of the application, and the owner of everything the
// application holds at run time (both input hooks, the device-event subscription, the found-dongle
// table and the session table). The window's handlers live in one file per group:
//   UnitMain.cpp              creation, layout, FormCreate, key routing, close handling
//   UnitMainDiscovery.cpp     scanning and the device list
//   UnitMainConnection.cpp    connecting and device events shown, report broadcast; the session
//                             table and its connect workers are TConnections' (Connections.h)
//   UnitMainNickname.cpp      nicknames
//   UnitMainPassThrough.cpp   pass-through mode, shortcut buttons, key display, hook handlers
//   UnitMainReconnect.cpp     dongles brought back after a drop, shown; the schedule is
//                             TReconnectTries' (ReconnectTries.h)
//   UnitMainRoute.cpp         where input goes, shown: the list mark and the route notice;
//                             what it decides is TRouteControl's (RouteControl.h)
//   UnitMainTargetState.cpp   each dongle's lock lights, link latency and details
//   UnitMainTyping.cpp        typing a text into dongles
//   UnitMainKeySequences.cpp  key sequences: typed, saved, played from the menus
// Parts it owns that hold no widget: TConnections (Connections.h) holds the session table, sets up
// connections on workers and names sessions across event loops; TReconnectTries (ReconnectTries.h)
// keeps the schedule of dongles being brought back; TRouteControl (RouteControl.h) decides where
// input goes; TNotices (Notices.h) holds the notices and decides what the status bar shows;
// TTypingPump (TypingPump.h) runs a text being typed.
//
// Threads: everything here runs on the window's thread. Events raised elsewhere (the Bluetooth
// stack's discovery callbacks, device events, connect workers) are carried over by FUiQueue in the
// order they were raised, so the tables and controls below need no lock.

#include <QStringList>
#include <QWidget>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Connections.h"
#include "app/FormControls.h"
#include "app/KeySequenceSettings.h"
#include "app/NicknameFile.h"
#include "app/Notices.h"
#include "app/ReconnectPolicy.h"
#include "app/ReconnectTries.h"
#include "app/RouteControl.h"
#include "app/TypingPump.h"
#include "app/TypingSettings.h"
#include "app/UiQueue.h"
#include "device/UnitCorvastelDevice.h"
#include "hid/UnitCorvHid.h"
#include "input/UnitInputForwarding.h"
#include "input/UnitKeyHook.h"
#include "platform/ble/BluetoothLE.h"

class QCheckBox;
class QDialog;
class QGroupBox;
class QItemSelection;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;

class TCorvastelDevice;
class TLayoutKeys;
class TLockLights;
class TTrayIcon;
struct TTrayState;
class TTypingDialog;
struct TBleDeviceMessage;

// Milliseconds of a monotonic clock, cut to 32 bits (wraps about every 49.7 days).
uint32_t MonotonicTickCount();
// Where the nickname file is: next to the executable when it is there or that folder can be
// written, else in the user's configuration folder.
std::filesystem::path NicknameFileLocation();
// Shows the modal input dialog over parent; returns true and the edited text on OK.
bool InputQueryDialog(QWidget* Parent, const QString& Title, const QString& Prompt, QString& Text);

// DeviceSlots, the capacity of the found-dongle table and of the session table, comes with the
// session table (Connections.h).

// Until the first scan, the one thing to do; shown only while a scan can work.
inline constexpr char StartHint[] = "Press 搜索设备 (Alt+S) to find dongles";

// Two captions per control, picked by a Boolean (entry 0 for false, entry 1 for true).
using TCaptionPair = std::array<const char*, 2>;
inline constexpr TCaptionPair ScanCaptions{"搜索设备(&S)", "停止搜索(&S)"};
inline constexpr TCaptionPair ConnectCaptions{"连接(&C)", "断开连接(&C)"};
inline constexpr TCaptionPair HookCaptions{"键鼠直传(&T)", "CTRL-SHIFT-F12 退出"};

inline constexpr char MainWindowCaption[] = "Corvastel® 仿真键鼠";
inline constexpr char MainWindowClassName[] = "TFormCorvastelPc";
inline constexpr char KeyboardCaption[] = "键盘(&K)";
inline constexpr char MouseCaption[] = "鼠标(&M)";
inline constexpr char RenameCaption[] = "设置昵称";
inline constexpr char NoDeviceText[] = "--------";

// Client area at 96 dpi; Qt scales it per monitor.
inline constexpr int MainWindowWidth = 642;
inline constexpr int MainWindowHeight = 401;

// Indices into ImageList1: the connection state a device list item shows.
enum TDeviceImage : int {
    DeviceImageFound = 0,
    DeviceImageConnected = 1,
    DeviceImageConnecting = 2,
    DeviceImageDisconnecting = 3,
};

// Modifier keys held with a key, as the key-down handler receives them.
using TShiftState = uint8_t;
inline constexpr TShiftState ssShift = 1;
inline constexpr TShiftState ssAlt = 2;
inline constexpr TShiftState ssCtrl = 4;

using TPoint = THookPoint;

// TMouseGrandTotal (the mouse fields' type) comes with the forwarding logic.

class TFormCorvastelPc : public QWidget, public TDeviceUi {
  public:
    // bleManager: the process-wide Bluetooth LE manager (it outlives the window).
    // hookPlatform: the OS side of the input hooks.
    TFormCorvastelPc(TBluetoothLEManager& bleManager, std::shared_ptr<THookPlatform> hookPlatform,
                     QWidget* parent = nullptr);
    ~TFormCorvastelPc() override;
    TFormCorvastelPc(const TFormCorvastelPc&) = delete;
    TFormCorvastelPc& operator=(const TFormCorvastelPc&) = delete;

    // Brings the window to the front when it is visible (a second start asked for it).
    void BringToFront();

    // ---- Controls (owned by the window through Qt's parent chain).
    QPushButton* BtnScan = nullptr;
    QPushButton* BtnConnect = nullptr;
    QListWidget* DeviceListView = nullptr;
    QGroupBox* gbDeviceInfo = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    TElidedLabel* lbName = nullptr;  // elided where long, whole in its tooltip
    QLabel* lbMacAddress = nullptr;
    QPushButton* BtnRename = nullptr;
    QCheckBox* cbKeyboard = nullptr;
    QCheckBox* cbMouse = nullptr;
    QPushButton* BtnHook = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* lbKeyPrimary = nullptr;
    QLabel* lbKeySecond = nullptr;
    TStatusBar* StatusBar1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QFrame* PanelCorvInfo = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* lbFirmware = nullptr;
    QLabel* lbVer = nullptr;
    QTimer* Timer1 = nullptr;
    TImageList ImageList1{QSize(32, 32)};

    // ---- The window's own state.
    int32_t SubscriptionId = 0;
    bool Scanning = false;
    uint32_t ScanningStart = 0;
    THook* FHook = nullptr;       // keyboard hook; Active is pass-through on/off
    THook* FHookMouse = nullptr;  // mouse hook
    TPoint MouseStartPt{};
    TMouseGrandTotal MouseXgt;
    TMouseGrandTotal MouseYgt;
    TMouseGrandTotal MouseZgt;

    // ---- Dongles and sessions.
    TBluetoothLEManager& BleManager;
    std::array<TBluetoothLEDevice*, DeviceSlots> FoundDevices{};  // borrowed from BleManager
    int FoundDeviceCount = 0;
    int SelectedDevice = -1;  // slot of FoundDevices selected in the list, -1 for none
    // Slot of FoundDevices (and row of the list) holding the dongle with this address; -1 for none.
    int FoundSlotOf(const std::string& Address) const;
    // The session table with the connections being set up (Connections.h). The handlers read the
    // table as Sessions and SessionCount; its sessions are owned there (see ReleaseSessions).
    TConnections Connections;
    std::array<TCorvastelDevice*, DeviceSlots>& Sessions = Connections.Sessions;
    int& SessionCount = Connections.Count;

    // ---- Creation and close handling (UnitMain.cpp).
    void FormCreate();
    void FormClose();
    // The process must end now and no event loop will run again (the display went away): every
    // dongle with a link is sent its all-released reports and then disconnected, waiting at most
    // bound for both. Touches no control and no display. The window's thread.
    void ReleaseDonglesForExit(std::chrono::milliseconds bound);
    void FormKeyDown(QObject* Sender, uint16_t& Key, TShiftState Shift);

    // ---- Scanning and the device list (UnitMainDiscovery.cpp).
    void btnScanClick(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void DeviceDiscovered(TBluetoothLEManager& Sender, TBluetoothLEDevice& ADevice, int Rssi,
                          const TBytes& ScanResponse);
    void DiscoveryEnded(TBluetoothLEManager& Sender, const std::vector<TBluetoothLEDevice*>& ADeviceList);
    // The stack could not start the scan asked for: said in a box, and no scan shows.
    void ScanRefused(const std::string& Reason);
    void DeviceListViewSelectItem(QObject* Sender, QListWidgetItem* Item, bool Selected);
    // What the last scan found, and what to do next (the guide notice after a scan).
    QString FoundText() const;
    // A dongle's caption in the list: its nickname, or the name it advertises.
    QString FoundCaption(TBluetoothLEDevice& Device);
    // Lists a dongle in the next free slot of FoundDevices, showing this image; the caller checks
    // that a slot is free.
    void AppendFoundDevice(TBluetoothLEDevice& Device, TDeviceImage Image);
    // The millisecond tick count a scan's progress is measured with: monotonic, 32 bits, wrapping.
    // Replaceable so the progress can be driven without waiting.
    std::function<uint32_t()> TickCount = MonotonicTickCount;

    // ---- Connection and device events (UnitMainConnection.cpp; the session table: Connections.h).
    void BtnConnectClick(QObject* Sender);
    void DeviceMessageReceived(const TBleDeviceMessage& M);
    void SendReportToActive(TReportType ReportType, bool Empty);
    // Whether input goes to this session now: it is active, was sent its all-released reports, and
    // the user's choice of where input goes includes it. Whatever sends input to dongles (hooks,
    // shortcut buttons, typed texts) and whatever shows a target's state asks this.
    bool TakesInput(const TCorvastelDevice* Session) const;
    // A connection being set up that makes no progress for this long is given up and reported.
    std::chrono::milliseconds SetupBound{10000};
    // Slot of the first session on the device with this address; -1 for none.
    int FindSession(const std::string& Address) const { return Connections.Find(Address); }
    // Waits for the connect workers and destroys the sessions still in Sessions; the window's
    // destructor calls it.
    void ReleaseSessions();
    // A session named across an event loop (TSessionHandle, Connections.h).
    TSessionHandle HandleOf(const TCorvastelDevice* Session) const { return Connections.HandleOf(Session); }
    // The session the handle names while it is still in the table; null once it left.
    TCorvastelDevice* Resolve(const TSessionHandle& Handle) const { return Connections.Resolve(Handle); }
    // TDeviceUi: a session's message, shown on this window's thread while the session's thread waits.
    void ShowMessageAndWait(const std::string& text) override;

    // ---- Where input goes (UnitMainRoute.cpp).
    // The route keys' digit: 0 every dongle, 1 to 9 the dongle with that number (DongleNumber),
    // held while it is away. False when it names no dongle (the route stays, the notice says why).
    bool SelectRoute(int Digit);
    // Input to the dongle with this address only (connected, or numbered and away: the route then
    // holds); an empty address: to every dongle.
    void RouteInputTo(const std::string& Address);
    // The number (1 to 9) the route keys pick this dongle by: given when it connects (smallest free
    // first), kept while it is connected or being brought back. 0 for none.
    int DongleNumber(const std::string& Address) const;
    const TInputRoute& Route() const { return FRouteControl.Route(); }
    // A session that is active and was sent its all-released reports: it takes input whenever the
    // route includes it.
    bool InputReady(const TCorvastelDevice* Session) const { return Connections.InputReady(Session); }
    std::vector<TCorvastelDevice*> ConnectedInListOrder() const;
    // Whether the route is held (its dongle is not connected, so input reaches no dongle) changed
    // since the last call.
    bool CheckRoute();
    // The route is to one dongle that is not connected: input reaches no dongle.
    bool RouteHeld() const;
    // Brings the dongles' numbers up to date, shows them on the list items, marks the routed
    // dongle's item and says the route in the notice line.
    void ShowRoute();
    // Whether a list item carries the routed dongle's mark.
    static bool RouteMarked(const QListWidgetItem* Item);
    // How the user knows a dongle, the same everywhere (DongleName: nickname, else advertised name,
    // else identifier): its caption in the list, else the rule without the nickname, else the address.
    QString DongleLabel(const std::string& Address) const;
    // The same with its address, for boxes that must tell it apart beyond doubt.
    std::string DongleTitle(const std::string& Address) const;
    // Says which dongles the user is connecting or disconnecting now (a try to bring one back has
    // its own notice).
    void UpdateProgressNotice();

    // ---- Settings and the tray (UnitMainSettings.cpp).
    // The key that leads the route keys, as remembered in the settings file (read at start).
    TRouteLeader RouteLeader() const { return FRouteControl.Leader(); }
    // Reads the leader from the settings file and uses it; a value that cannot be used is said in
    // the notices.
    void LoadRouteLeader();
    // The settings dialog (the device list's and the window's context menu): the choice is used at
    // once and remembered.
    void ChooseSettings();
    // Asks for the leader (the current one on entry); true and the choice on OK. Replaceable for tests.
    std::function<bool(TRouteLeader& Leader)> RouteSettingsQuery;
    // The window's own context menu (a click on its background): the settings.
    void ShowWindowMenu(const QPoint& Pos);
    void FillWindowMenu(QMenu& Menu);
    // The tray icon; it shows nothing where the desktop has no tray.
    TTrayIcon* Tray = nullptr;
    // What the tray shows, from the window's state.
    TTrayState TrayState() const;
    // Brings the tray up to date once the change under way is done.
    void TrayChanged();

    // ---- The device list's context menu (UnitMainDeviceMenu.cpp).
    // Opens the menu for the item at Pos (in the list's viewport coordinates), if it has entries.
    void ShowDeviceMenu(const QPoint& Pos);
    // Adds the entries for Item (null: the click was beside every item) to Menu.
    void FillDeviceMenu(QMenu& Menu, QListWidgetItem* Item);
    // A double click on an item: connects a found dongle, shows the details of a connected one.
    void DeviceListViewDblClick(QListWidgetItem* Item);
    // Selects the listed dongle with this address; true when it is the selected one now.
    bool SelectDongle(const std::string& Address);

    // ---- Nicknames (UnitMainNickname.cpp).
    void BtnRenameClick(QObject* Sender);
    // The nickname stored for an address, or "" (the file is read again when it changed). A file
    // that cannot be used is said in the notices.
    std::string ReadNickname(const std::string& Address);
    // Throws TNicknameWriteError ("Unable to write to <path>: <reason>") when the file cannot or may
    // not be written.
    void WriteNickname(const std::string& Address, const std::string& Nickname);
    // The nickname file; empty: next to the executable, or in the user's configuration folder where
    // the executable's folder cannot be written.
    std::filesystem::path NicknameFilePath;
    // The modal input dialog: title, prompt and the text to edit; true when the user pressed OK.
    std::function<bool(const QString& Title, const QString& Prompt, QString& Text)> InputQuery =
        [this](const QString& Title, const QString& Prompt, QString& Text) {
            return InputQueryDialog(this, Title, Prompt, Text);
        };

    // ---- Pass-through, shortcut buttons, key display, hook handlers (UnitMainPassThrough.cpp).
    void BtnHookClick(QObject* Sender);
    void LeavePassThrough();
    void BtnShortcutMouseDown(QObject* Sender, Qt::MouseButton Button, TShiftState Shift, int X, int Y);
    void BtnShortcutMouseUp(QObject* Sender, Qt::MouseButton Button, TShiftState Shift, int X, int Y);
    void ShowPressedKey(const TIntArray& Keys);
    void ShowKeypadMouse(const QString& Primary, const QString& Second);
    bool IsCtrlShiftPressed(const TIntArray& Keys) const;
    bool IsExitChordPressed(const TIntArray& Keys) const;
    void KeyboardHookHandler(THook& Hook, THookMessage& HookMsg);
    void MouseHookHandler(THook& Hook, THookMessage& HookMsg);
    // The exit chord: pass-through ends as by the button, from inside the keyboard hook.
    void ExitPassThrough();

    // ---- Dongles that dropped without the user asking (UnitMainReconnect.cpp). While one is
    // scheduled its item shows connecting and the connect button reads disconnect: clicking it
    // lets the dongle go. A try is a connection set up as the button does, without boxes.
    TReconnectTries Reconnect;
    // The clock the schedule is kept by; replaceable so tests need not wait.
    std::function<TReconnectPolicy::TTime()> ReconnectClock = [] { return TReconnectPolicy::TClock::now(); };
    QTimer* ReconnectTimer = nullptr;
    // Starts every try that fell due and sets the timer for the next one.
    void ReconnectDue();
    // The user let a dongle go: no further tries for it. True when one was scheduled.
    bool StopReconnecting(const std::string& Address);

    // ---- The radio (UnitMainRadio.cpp).
    // The stack said what keeps the radio from use (None: nothing). The radio's notice stands until
    // the next change and says what to do; the start hint shows only while a scan can work; dongles
    // waiting to be brought back wait for the radio, and are tried at once when it is back.
    void RadioChanged(TRadioProblem Problem);
    // The stack said the radio cannot be used now (before it said anything, it counts as usable).
    bool RadioDown() const { return FRadioProblem != TRadioProblem::None; }

    // ---- Notices and help texts (UnitMainNotices.cpp; what stands and what shows: Notices.h).
    // Brings the notices about links and pass-through up to date: which dongles are being
    // reconnected, that keys go nowhere, how to use the keypad mouse.
    void UpdateLinkNotices();
    // Names the dongles that leave a write unanswered while input waits (DongleNotAnswering).
    void ShowNotAnswering();
    // Whether pass-through is on as the user sees it (a shortcut button held keeps it on).
    bool PassThroughOn() const;
    // The mouse goes to the dongles now (pass-through on with 鼠标 ticked).
    bool MouseForwarded() const;

    // ---- The target at a glance (UnitMainTargetState.cpp).
    TLockLights* LockLights = nullptr;  // large, in the key display: the one dongle that takes input
    QTimer* LinkTimer = nullptr;        // refreshes the link latencies
    // Shows every connected dongle's lights and latency on its item, and the large lights.
    void UpdateTargetState();
    // The sessions input goes to now, in table order.
    std::vector<TCorvastelDevice*> InputSessions() const;
    // The session of the found dongle in this slot of FoundDevices; null when not connected.
    TCorvastelDevice* SessionOfSlot(int Slot) const;
    // Everything known about the found dongle in this slot, as plain text: first in a user's words,
    // then the internals under a line "Technical".
    QString DeviceDetailsText(int Slot);
    // The part of the details before "Technical" (what hovering an item shows).
    QString DeviceSummaryText(int Slot);
    // An item of the device list changed: the list is repainted whole, its tooltips refreshed.
    void DeviceListChanged();
    // Opens (or refreshes and raises) the details view of the found dongle in this slot.
    void ShowDeviceDetails(int Slot);
    QDialog* DetailsDialog = nullptr;

    // ---- Pairing (UnitMainPairing.cpp). The stack's pairing events reach the window through its
    // queue; a question is asked in a small dialog that does not block the window.
    void WirePairing();
    void PairingQuestion(TBluetoothLEDevice& Device, const TPairingQuestion& Question);
    void PairingFinished(TBluetoothLEDevice& Device, const TPairingResult& Result);
    // Asks the stack to pair; false (and a notice says why) when it cannot start.
    bool PairDongle(const std::string& Address);
    void ForgetDonglePairing(const std::string& Address);
    void ClosePairingDialog();
    // The dongle refused for want of a secure link: pair, unless a pairing runs or failed already
    // for this link (then the setup's time-out or the user ends it).
    void SecurityWanted(const std::string& Address);
    std::string FAutoPairing;  // the dongle paired because it asked, until that pairing ends
    // "encrypted, paired", "encrypted", "not encrypted".
    static QString SecurityText(TLinkSecurity Security);
    QDialog* PairingDialog = nullptr;
    std::string PairingAddress;  // the dongle the open question is about
    // "Send input only over encrypted links" (settings.ini, [Security] EncryptedOnly): input skips
    // a dongle whose link is not encrypted, and a notice names it.
    bool FEncryptedOnly = false;
    void LoadEncryptedOnly();
    void SetEncryptedOnly(bool On);
    // Input is kept from this session because its link is not encrypted.
    bool SkippedAsInsecure(const TCorvastelDevice* Session) const;
    void UpdateSecurityNotice();
    bool FDeviceListRefresh = false;  // a refresh of the items' tooltips is queued

    // ---- Typing a text (UnitMainTyping.cpp).
    // Types Text into the sessions (null: every session that takes input). Refused with a notice
    // during pass-through, while another text is typed, with nothing to type or nowhere to type it;
    // characters the dongle's layout cannot type are skipped only when ConfirmQuery says yes. Chosen:
    // the layout and pace for Session just chosen (else each dongle's remembered ones). True when
    // typing started.
    bool TypeText(const QString& Text, TCorvastelDevice* Session, const TTypingSettings* Chosen = nullptr);
    void TypeClipboard(TCorvastelDevice* Session);
    // Asks for the text in a small dialog (pre-filled with Prefill), then types it.
    void TypeTextAsked(TCorvastelDevice* Session, const QString& Prefill);
    // The same for a dongle named across an event loop (a menu): refused with a notice when it went.
    bool TypeText(const QString& Text, const TSessionHandle& Target);
    void TypeClipboard(const TSessionHandle& Target);
    void TypeTextAsked(const TSessionHandle& Target);
    void CancelTyping();
    bool TypingText() const;
    // The dialog that shows the typing's progress (with its cancel button); null when none runs.
    TTypingDialog* TypingProgress() const { return FTypingDialog; }
    // Asks for a text to type (and, with Settings, that dongle's layout and pace; Note says more);
    // true and the text on OK. Replaceable for tests.
    std::function<bool(const QString& Title, QString& Text, TTypingSettings* Settings, const QString& Note)>
        TextQuery;
    // The clock a dongle's pace is kept by; replaceable so tests need not wait.
    std::function<std::chrono::steady_clock::time_point()> TypingClock = [] {
        return std::chrono::steady_clock::now();
    };
    // Asks for a dongle's layout and pace; true and the choice on OK. Replaceable for tests.
    std::function<bool(const QString& Title, TTypingSettings& Settings)> SettingsQuery;
    // ---- Each dongle's layout and pace (UnitMainTypingLayout.cpp).
    // The settings file: beside the nickname file.
    std::filesystem::path TypingSettingsPath() const;
    // The dongle's remembered layout and pace (US at the link's pace when none).
    TTypingSettings TypingSettingsOf(const std::string& Address);
    // Remembers them; false (and a notice) when the file cannot be written.
    bool StoreTypingSettings(const std::string& Address, const TTypingSettings& Settings);
    // The reverse table of a layout, built once per run (TLayoutKeysCache); null and *Error when it
    // cannot be used.
    std::shared_ptr<const TLayoutKeys> LayoutKeysOf(const std::string& Name, QString* Error,
                                                    TTargetSystem System = TTargetSystem::Linux);
    // The context menu's "Keyboard layout…" on the found dongle in this slot.
    void ChooseTypingSettings(int Slot);
    // Asks a yes/no question (shown as plain text); true for yes. Replaceable for tests.
    std::function<bool(const QString& Question)> ConfirmQuery;

    // ---- Key sequences (UnitMainKeySequences.cpp).
    // Types Text read as a key sequence ({Enter}, {Ctrl+Alt+Del}, {F2 hold 3s}, {wait 500ms}; see
    // hid/KeySequence.h) as TypeText types a text, its text parts for each dongle's layout. A wrong
    // sequence is refused with a notice saying where and why, and nothing is sent to any dongle.
    bool TypeKeySequence(const QString& Text, TCorvastelDevice* Session,
                         const TTypingSettings* Chosen = nullptr);
    // Whether the Type text dialog reads {…} as keys: its check box, kept while the program runs.
    bool KeySequenceOption = false;
    // The saved sequences, read again from the settings file (what it holds that cannot be used is
    // left out and said in the notices).
    const std::vector<TSavedKeySequence>& SavedKeySequences();
    // Saves Text under a name asked with InputQuery, for the dongle with this address (empty: for
    // every dongle); a saved one of that name for the same dongles is replaced. False when the text
    // is no valid sequence, the name is unusable, or the file cannot be written (said in the notices).
    bool SaveKeySequence(const QString& Text, const std::string& Dongle);
    // Forgets a saved sequence after asking with ConfirmQuery; false when not.
    bool RemoveKeySequence(const TSavedKeySequence& Saved);
    // Plays a saved sequence: into Target when given, else into its dongle, else (one for every
    // dongle) into every dongle that takes input. Refused with a notice as TypeKeySequence is, or
    // when its dongle is not connected.
    bool PlayKeySequence(const TSavedKeySequence& Saved, const TSessionHandle* Target);
    // Adds the submenu of saved sequences to the device list's menu: those for this dongle and for
    // every dongle, played into it; with no session, those for every dongle, played into all.
    void AddKeySequenceMenu(QMenu& Menu, TCorvastelDevice* Session);

    // ---- For the handlers.
    // Carries work from other threads onto this window's thread (see the top of this file).
    const std::shared_ptr<TUiQueue>& UiQueue() const { return FUiQueue; }
    // Shows a notice of this kind, replacing the previous one of that kind; an empty text takes it
    // away. The text is shown as plain text.
    void SetNotice(TNotice Kind, const QString& Text);
    QString NoticeText(TNotice Kind) const;
    // Sets the image a device list item shows.
    void SetDeviceImage(QListWidgetItem* Item, TDeviceImage Image);

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The nickname file where it is now, with what was last read from it.
    TNicknameFile& Nicknames();
    // A cache of the file: reading a nickname does not change the window.
    std::unique_ptr<TNicknameFile> FNicknames;

    void CreateControls();
    // English tooltips and accessible names for every control; the captions stay as they are.
    void ApplyControlHelp();
    // The pass-through button's tooltip while pass-through is off.
    void ShowHookButtonHelp();
    // Sets up a connection to a found dongle as the connect button does. Quiet: a try of the
    // reconnect schedule, whose failures go to the notice instead of a box.
    TConnections::TStart StartConnection(TBluetoothLEDevice* Device, bool Quiet);
    // What the session table reports, turned into the list, the button, the progress and boxes.
    TConnectionEvents ConnectionEvents();
    // Shows the listed dongle with this address with Image; true when it is the selected one.
    bool ShowDongleImage(const std::string& Address, TDeviceImage Image);
    // A connection that ended without a link: the dongle shows as found, ready for another try.
    void ShowFoundAgain(const std::string& Address);
    void LinkDropped(TBluetoothLEDevice* Device);
    // A try ended: the dongle is back (Back) or not yet.
    void ReconnectTryEnded(const std::string& Address, bool Back);
    void ArmReconnectTimer();
    // The device list paints the routed dongle's mark (UnitMainRoute.cpp).
    void InstallRouteMarks();
    void SetTabOrder();
    void SubscribeDeviceEvents();
    void UnsubscribeDeviceEvents();
    bool RouteKeyDown(QKeyEvent* event);
    // Runs a hook handler; an error it raises is reported once the hook has returned.
    void RunHookHandler(const std::function<void()>& handler);
    void RouteSelectionChange(const QItemSelection& selected, const QItemSelection& deselected);

    // Pass-through (UnitMainPassThrough.cpp): the forwarding logic's view of this window.
    TForwardTarget& Forwarding();
    // Puts the window in Off after a hook failed to install and raises the error for the user.
    [[noreturn]] void AbandonPassThrough(const EHookError& Error);
    std::unique_ptr<TForwardTarget> FForwarding;
    // A shortcut button took the hooks off at its mouse-down; its mouse-up puts them back.
    bool FShortcutHeld = false;

    // The notice of each kind, and which the status bar shows (Notices.h).
    TNotices FNotices;
    // The radio as the stack last said it (UnitMainRadio.cpp).
    bool FRadioKnown = false;
    TRadioProblem FRadioProblem = TRadioProblem::None;
    bool FTrayRefresh = false;  // an update of the tray is queued
    void CreateTray();

    // Typing (UnitMainTyping.cpp; the text under way: TypingPump.h).
    void PumpTyping();
    // Says how the typing ended and closes its progress dialog.
    void EndTyping(const TTypingEnd& End);
    // The dongles with these addresses as the list names them, joined by commas.
    QString DongleLabels(const std::vector<std::string>& Addresses) const;
    void CreateTargetStateControls();
    // TypeText and TypeKeySequence: Keys reads {…} as keys.
    bool TypeTextOrKeys(const QString& Text, TCorvastelDevice* Session, const TTypingSettings* Chosen,
                        bool Keys);
    // Whom a sequence saved from the open Type text dialog is for (empty: every dongle).
    std::string FKeySequenceScope;
    std::vector<TSavedKeySequence> FKeySequences;  // as last read
    bool FTypingKeys = false;                      // the text under way is a key sequence
    TTypingPump FTyping;
    TTypingDialog* FTypingDialog = nullptr;
    bool FPlanningText = false;  // a long text is being planned on a thread of its own
    QTimer* FTypingTimer = nullptr;
    QTimer* FTypingNoticeTimer = nullptr;
    TLayoutKeysCache FLayoutKeys;
    void ShowNotices();
    // Shows the progress bar while a scan or a connection runs, and only then.
    void ShowProgress();
    // Back to the device list after the connect button acted.
    void FocusDeviceList();

    std::shared_ptr<THookPlatform> FHookPlatform;
    // Owns the hook containers: the hooks live exactly as long as the window.
    TComponent FComponents;
    std::shared_ptr<TUiQueue> FUiQueue;
    bool FClosed = false;
    // The key press whose key-down was already handled when Qt asked whether it is a shortcut.
    struct TKeyStamp {
        unsigned long long Time = 0;
        int Key = 0;
        bool Routed = false;
        bool Taken = false;
    } FKeyDownTaken;

    // ---- Connection (UnitMainConnection.cpp). Touched on this window's thread only.
    // A connect worker ended (TWorkerEnd): the list, the button and the progress follow.
    void ConnectWorkerEnded(TWorkerEnd End, const std::string& Address);
    // A session in the table that is not connected yet (no all-released reports sent).
    bool InSetup(const TCorvastelDevice* Session) const { return Connections.InSetup(Session); }
    // Gives up a connection being set up: the link is closed, the session goes and the dongle
    // shows as found. A non-empty message is reported to the user (the user's own cancel has none).
    void EndSetup(TCorvastelDevice* Session, const std::string& Message);
    void SetupWatchTimer();
    QTimer* FSetupWatch = nullptr;

    // ---- Where input goes (UnitMainRoute.cpp).
    // The route, why a choice was not taken, and the leader (app/RouteControl.h).
    TRouteControl FRouteControl{RouteKeys};
};
