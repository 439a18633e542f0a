// What the window says where it is seen: the notices in the status bar (capture impossible here,
// no dongle takes the keys, the keypad mouse, dongles that dropped), the hook's reason in the
// error box, the English help on every control, and dongles that drop coming back by themselves.
// Over the in-process fake central and hook backend.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "QtTestEnvironment.h"
#include "app/CorvastelApplication.h"
#include "app/ReconnectPolicy.h"
#include "app/UnitMain.h"
#include "device/UnitCorvastelDevice.h"
#include "platform/ble/fake/FakeBluetoothLE.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

namespace {
using namespace std::chrono_literals;

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

const char WaylandReason[] =
    "This is a Wayland session, where no program may take over the whole keyboard and mouse. Log in "
    "with an X11 (Xorg) session to use keyboard and mouse pass-through.";

struct TNoticeFixture : testing::Test {
    TFakeBluetoothLEManager ble;
    std::shared_ptr<TFakeHookPlatform> hooks = std::make_shared<TFakeHookPlatform>();
    std::unique_ptr<TFormCorvastelPc> window;
    std::vector<QString> errors;
    TGeneralErrorReporter previousReporter;
    TReconnectPolicy::TTime now = TReconnectPolicy::TClock::now();

    void SetUp() override {
        ResetInputStateForTests();
        previousReporter =
            InstallGeneralErrorReporter([this](const QString& text) { errors.push_back(text); });
    }
    void Open() {
        window = std::make_unique<TFormCorvastelPc>(ble, hooks);
        window->ReconnectClock = [this] { return now; };
    }
    void TearDown() override {
        window.reset();
        SetGeneralErrorReporter(previousReporter);
        ResetInputStateForTests();
    }

    // A virtual dongle in range, listed as a scan lists it; returns its slot.
    int AddDongle(const std::string& address) {
        const std::string name = "Corvastel-" + address.substr(15);
        ble.AddDongle(vdongle::TDongleConfig::Standard(name, address, "1.1.9", vdongle::Identity0451_16B4));
        const int k = window->FoundDeviceCount++;
        window->FoundDevices[k] = &ble.Device(address);
        // Captioned as a scan captions it: by name (no nickname here).
        auto* item = new QListWidgetItem(QString::fromStdString(name), window->DeviceListView);
        window->SetDeviceImage(item, DeviceImageFound);
        return k;
    }
    std::shared_ptr<vdongle::TVirtualDongle> Dongle(int k) {
        return ble.Radio().Find(window->FoundDevices[k]->Address());
    }
    int Image(int k) const { return ItemImageIndex(window->DeviceListView->item(k)); }
    void Click(int k) {
        window->SelectedDevice = k;
        window->BtnConnectClick(window->BtnConnect);
    }
    void Connect(int k) {
        Click(k);
        ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }, 5000));
    }
    void Settle() {
        ASSERT_TRUE(ble.WaitIdle());
        WaitFor([] { return false; }, 40);
    }
    // Lets the schedule's clock run on and starts whatever try fell due.
    void Advance(std::chrono::milliseconds by) {
        now += by;
        window->ReconnectDue();
        Settle();
    }
    intptr_t Key(uint32_t scan, bool release) {
        const THookKeyboardRecord record{0, scan, release ? LLKHF_UP : 0u, 0, 0};
        return hooks->Feed(WH_KEYBOARD_LL, release ? WM_KEYUP : WM_KEYDOWN, record);
    }
};

const QString NoDongleText = Utf8("No dongle connected — keys go nowhere; Ctrl+Shift+F12 ends");

// The window as it is, for a person to look at: artifacts/widget/radio/<name>.png.
void Shot(QWidget& window, const char* name) {
    const QString folder = QStringLiteral(CORVASTEL_DEFAULT_ARTIFACTS_DIR "/widget/radio");
    QDir().mkpath(folder);
    window.grab().save(folder + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
}

// Answers every box while it lives with OK, keeping its text.
class TBoxAnswerer {
  public:
    TBoxAnswerer() {
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                Texts.push_back(box->text());
                box->accept();
            }
        });
        FTimer.start(10);
    }
    std::vector<QString> Texts;

  private:
    QTimer FTimer;
};

}  // namespace

TEST_F(TNoticeFixture, CaptureImpossibleHere_SaidAtStart_AndTheKeyboardHookBoxCarriesTheReason) {
    hooks->UnavailableReason = WaylandReason;
    Open();
    EXPECT_TRUE(window->NoticeText(TNotice::CaptureUnavailable).contains(Utf8(WaylandReason)))
        << window->NoticeText(TNotice::CaptureUnavailable).toStdString();
    EXPECT_TRUE(window->StatusBar1->PanelText(0).startsWith("Pass-through cannot capture here"));

    window->BtnHook->click();
    EXPECT_FALSE(window->FHook->Active());
    EXPECT_EQ(window->BtnHook->text(), Utf8("键鼠直传(&T)"));
    EXPECT_TRUE(window->cbKeyboard->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return !errors.empty(); }));
    // Plain words and the platform's reason; never the hook's class name.
    EXPECT_EQ(errors[0], Utf8("Pass-through cannot start: this computer's keyboard cannot be captured.\n") +
                             Utf8(WaylandReason));
    EXPECT_TRUE(window->NoticeText(TNotice::NoDongle).isEmpty()) << "pass-through never came on";
}

TEST_F(TNoticeFixture, CapturePossible_OnlyTheStartHintAtStart) {
    Open();
    EXPECT_TRUE(window->NoticeText(TNotice::CaptureUnavailable).isEmpty());
    EXPECT_EQ(window->StatusBar1->PanelText(0), Utf8("Press 搜索设备 (Alt+S) to find dongles"));
}

TEST_F(TNoticeFixture, PassThrough_NoDongleAndKeypadHint_ComeAndGoWithIt) {
    Open();
    window->BtnHook->click();
    ASSERT_TRUE(window->FHook->Active());
    EXPECT_EQ(window->NoticeText(TNotice::NoDongle), NoDongleText);
    EXPECT_TRUE(window->NoticeText(TNotice::KeypadHint).contains("keypad"));
    EXPECT_TRUE(window->StatusBar1->PanelToolTip(0).contains(NoDongleText));
    EXPECT_TRUE(window->BtnHook->toolTip().contains(
        Utf8("按住CTRL+SHIFT+小键盘模拟鼠标  按住CTRL+SHIFT暂停鼠标直传")))
        << "the described hint stays";

    // A dongle connected during pass-through takes the keys: the warning goes, the hint stays.
    const int k = AddDongle("C0:FF:EE:00:02:01");
    Connect(k);
    EXPECT_TRUE(window->NoticeText(TNotice::NoDongle).isEmpty());
    EXPECT_FALSE(window->NoticeText(TNotice::KeypadHint).isEmpty());

    // The exit chord ends it: both go.
    for (uint32_t scan : {0x1Du, 0x2Au, 0x58u}) {
        Key(scan, false);
    }
    EXPECT_FALSE(window->FHook->Active());
    EXPECT_TRUE(window->NoticeText(TNotice::NoDongle).isEmpty());
    EXPECT_TRUE(window->NoticeText(TNotice::KeypadHint).isEmpty());
}

TEST_F(TNoticeFixture, EveryControl_HasEnglishHelpAndKeepsItsCaption) {
    Open();
    const std::vector<QWidget*> controls = {
        window->BtnScan,       window->BtnConnect,   window->DeviceListView, window->BtnRename,
        window->cbKeyboard,    window->cbMouse,      window->BtnHook,        window->Memo2,
        window->Panel1,        window->ProgressBar1, window->Button1,        window->Button2,
        window->PanelCorvInfo, window->gbDeviceInfo};
    for (QWidget* control : controls) {
        SCOPED_TRACE(control->metaObject()->className());
        EXPECT_FALSE(control->accessibleName().isEmpty());
        const QString tip = control->toolTip();
        ASSERT_FALSE(tip.isEmpty());
        int latin = 0;
        for (QChar c : tip) {
            latin += c.unicode() < 0x80 ? 1 : 0;
        }
        EXPECT_GT(latin * 10, tip.size() * 8) << "mostly English: " << tip.toStdString();
        // Qt wraps a rich-text tooltip to a readable width; a plain one is one line however long.
        EXPECT_TRUE(Qt::mightBeRichText(tip)) << tip.toStdString();
    }
    EXPECT_EQ(window->BtnScan->text(), Utf8("搜索设备(&S)"));
    EXPECT_EQ(window->BtnHook->text(), Utf8("键鼠直传(&T)"));
}

TEST_F(TNoticeFixture, Drop_NoticeAndRetriesUntilBack_ThenItStartsWithNothingHeld) {
    Open();
    const int k = AddDongle("C0:FF:EE:00:02:02");
    Connect(k);
    Settle();
    window->BtnHook->click();
    ASSERT_TRUE(window->FHook->Active());
    Key(0x1E, false);  // 'a' held
    Settle();
    ASSERT_EQ(Dongle(k)->Target().keysHeld, std::vector<uint8_t>{4});

    // Out of range: no box, a notice at once, and capture stays with a way out named.
    Dongle(k)->SetAdvertising(false);
    Dongle(k)->DropLink();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 0; }));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(window->NoticeText(TNotice::LinkLost),
              "Keys go nowhere (Ctrl+Shift+F12 ends): Corvastel-02 dropped; reconnecting by itself");
    EXPECT_TRUE(window->StatusBar1->PanelText(0).startsWith("Keys go nowhere (Ctrl+Shift+F12 ends)"));
    EXPECT_TRUE(window->FHook->Active());
    EXPECT_EQ(Image(k), DeviceImageConnecting);
    EXPECT_EQ(window->BtnConnect->text(), Utf8("断开连接(&C)"));
    if (const char* shot = std::getenv("CORVASTEL_NOTICE_SCREENSHOT")) {
        window->grab().save(QString::fromUtf8(shot));  // the README's picture of this moment
    }

    // Tries fail while it is away, each waiting twice as long as the one before.
    const int connects = Dongle(k)->ConnectCount();
    Advance(999ms);
    EXPECT_FALSE(window->Reconnect.Trying(Dongle(k)->Address())) << "not due yet";
    for (auto wait : {1ms, 2000ms, 4000ms}) {
        Advance(wait);
        ASSERT_TRUE(WaitFor([&] { return !window->Reconnect.Trying(Dongle(k)->Address()); }));
    }
    EXPECT_EQ(window->Reconnect.Delay(Dongle(k)->Address()), 8000ms);
    EXPECT_EQ(Dongle(k)->ConnectCount(), connects) << "it never answered";
    EXPECT_TRUE(errors.empty()) << "failed tries make no box";

    // Back in range: the next try brings it back, released before any key reaches it.
    Key(0x1E, true);
    Dongle(k)->SetAdvertising(true);
    const size_t before = Dongle(k)->Writes().size();
    Advance(8000ms);
    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }, 5000));
    Settle();
    EXPECT_FALSE(Dongle(k)->Target().AnyInputHeld());
    const auto writes = Dongle(k)->Writes();
    ASSERT_GT(writes.size(), before);
    EXPECT_FALSE(window->Reconnect.Scheduled(Dongle(k)->Address()));
    EXPECT_TRUE(window->NoticeText(TNotice::LinkLost).isEmpty());
    EXPECT_TRUE(window->NoticeText(TNotice::NoDongle).isEmpty());

    // And it takes the keys again.
    Key(0x30, false);  // 'b'
    Settle();
    EXPECT_EQ(Dongle(k)->Target().keysHeld, std::vector<uint8_t>{5});
    Key(0x30, true);
}

TEST_F(TNoticeFixture, UsersOwnDisconnect_IsNeverRetried) {
    Open();
    const int k = AddDongle("C0:FF:EE:00:02:03");
    Connect(k);
    Settle();
    const int connects = Dongle(k)->ConnectCount();
    Click(k);
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 0; }));
    EXPECT_FALSE(window->Reconnect.Scheduled(Dongle(k)->Address()));
    EXPECT_EQ(Image(k), DeviceImageFound);
    EXPECT_TRUE(window->NoticeText(TNotice::LinkLost).isEmpty());
    Advance(60s);
    EXPECT_EQ(Dongle(k)->ConnectCount(), connects);
    EXPECT_EQ(window->SessionCount, 0);
}

TEST_F(TNoticeFixture, ADroppedDongle_TheUserLetsGo_IsNotTriedAgain) {
    Open();
    const int k = AddDongle("C0:FF:EE:00:02:04");
    Connect(k);
    Settle();
    Dongle(k)->DropLink();
    ASSERT_TRUE(WaitFor([&] { return window->Reconnect.Scheduled(Dongle(k)->Address()); }));
    const int connects = Dongle(k)->ConnectCount();

    Click(k);  // the button reads disconnect meanwhile
    EXPECT_FALSE(window->Reconnect.Scheduled(Dongle(k)->Address()));
    EXPECT_EQ(Image(k), DeviceImageFound);
    EXPECT_EQ(window->BtnConnect->text(), Utf8("连接(&C)"));
    EXPECT_TRUE(window->NoticeText(TNotice::LinkLost).isEmpty());
    Advance(60s);
    EXPECT_EQ(Dongle(k)->ConnectCount(), connects);
}

TEST_F(TNoticeFixture, RadioUnusable_OneStandingNoticeWithWhatToDo_NoStartHint_AScanRefusedSaysWhyThere) {
    struct TCase {
        const char* Name;
        TRadioProblem Problem;
        const char* Said;  // what to do, in the notice and in the box
    };
    const TCase cases[] = {
        {"no-adapter", TRadioProblem::NoAdapter, "No Bluetooth adapter"},
        {"stack-not-running", TRadioProblem::NoStack, "sudo systemctl start bluetooth"},
        {"no-system-bus", TRadioProblem::NoBus, "D-Bus"},
        {"adapter-off", TRadioProblem::PoweredOff, "bluetoothctl power on"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ble.SetRadioProblem(c.Problem);
        Open();
        // As the panel shows it: two lines at most, the rest cut.
        const auto shown = [&] {
            return window->StatusBar1->PanelText(0).replace(QLatin1Char('\n'), QLatin1Char(' '));
        };
        ASSERT_TRUE(WaitFor([&] { return shown().contains(c.Said); })) << shown().toStdString();
        EXPECT_FALSE(shown().contains("Alt+S")) << "no scan can work here";
        Shot(*window, c.Name);

        TBoxAnswerer boxes;
        window->BtnScan->click();
        ASSERT_TRUE(WaitFor([&] { return !boxes.Texts.empty(); }));
        EXPECT_TRUE(boxes.Texts[0].contains(c.Said)) << boxes.Texts[0].toStdString();
        EXPECT_FALSE(boxes.Texts[0].contains("Cannot start BluetoothLE scan"))
            << boxes.Texts[0].toStdString();
        EXPECT_FALSE(window->Scanning);
        // Once the box is gone, the window still says why.
        EXPECT_TRUE(shown().contains(c.Said)) << shown().toStdString();
        window.reset();
    }

    // The radio comes: the notice says so, and now a scan can work.
    ble.SetRadioProblem(TRadioProblem::NoAdapter);
    Open();
    ASSERT_TRUE(WaitFor([&] { return window->RadioDown(); }));
    ble.SetRadioProblem(TRadioProblem::None);
    ASSERT_TRUE(WaitFor([&] { return !window->RadioDown(); }));
    EXPECT_EQ(window->StatusBar1->PanelText(0),
              Utf8("Bluetooth is back \u00b7 Press 搜索设备 (Alt+S) to find dongles"));
    window->BtnScan->click();
    EXPECT_TRUE(window->Scanning);
    EXPECT_TRUE(window->NoticeText(TNotice::StackProblem).isEmpty());
}

TEST_F(TNoticeFixture, BluetoothOffWhileConnected_SaysItIsOff_NoTries_OnAgainBringsTheDongleBackAtOnce) {
    Open();
    const int k = AddDongle("C0:FF:EE:00:02:05");
    Connect(k);
    Settle();
    const int connects = Dongle(k)->ConnectCount();

    ble.SetRadioProblem(TRadioProblem::PoweredOff);
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 0 && window->RadioDown(); }));
    Settle();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(window->NoticeText(TNotice::LinkLost),
              "Corvastel-05 dropped: Bluetooth is off; it reconnects as soon as Bluetooth is back");
    EXPECT_TRUE(window->NoticeText(TNotice::StackProblem).startsWith("Bluetooth is off"));
    EXPECT_EQ(Image(k), DeviceImageConnecting);
    Shot(*window, "adapter-off-while-connected");

    // Nothing is tried while it is off, however long.
    Advance(1s);
    Advance(2s);
    Advance(60s);
    EXPECT_FALSE(window->Reconnect.Trying(Dongle(k)->Address()));
    EXPECT_FALSE(window->ReconnectTimer->isActive());

    // On again: tried at once, not after a back-off (the clock stands still).
    ble.SetRadioProblem(TRadioProblem::None);
    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }, 5000));
    EXPECT_EQ(Dongle(k)->ConnectCount(), connects + 1);
    EXPECT_FALSE(window->Reconnect.Scheduled(Dongle(k)->Address()));
    EXPECT_TRUE(window->NoticeText(TNotice::LinkLost).isEmpty());
    EXPECT_EQ(window->NoticeText(TNotice::StackProblem), "Bluetooth is back");
}

TEST(ReconnectPolicy, WaitsDoubleUpToHalfAMinute_AndOnlyForWhatIsScheduled) {
    TReconnectPolicy policy;
    auto t = TReconnectPolicy::TClock::now();
    policy.Dropped("A", t);
    EXPECT_TRUE(policy.TakeDue(t + 999ms).empty());
    std::vector<long long> waits;
    for (int i = 0; i < 7; ++i) {
        const auto due = *policy.NextDue();
        waits.push_back(
            std::chrono::duration_cast<std::chrono::milliseconds>(due - t).count());  // since the last end
        ASSERT_EQ(policy.TakeDue(due), std::vector<std::string>{"A"});
        EXPECT_FALSE(policy.NextDue()) << "not due again while its try runs";
        EXPECT_TRUE(policy.TakeDue(due + 1h).empty());
        t = due + 100ms;  // the try took a while
        policy.AttemptFailed("A", t);
    }
    EXPECT_EQ(waits, (std::vector<long long>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));

    policy.Dropped("A", t);  // dropping again keeps its place
    EXPECT_EQ(policy.Delay("A"), 30s);
    policy.AttemptFailed("B", t);  // unknown: nothing
    EXPECT_FALSE(policy.Scheduled("B"));
    policy.Forget("A");
    EXPECT_TRUE(policy.Empty());
    EXPECT_FALSE(policy.NextDue());
}
