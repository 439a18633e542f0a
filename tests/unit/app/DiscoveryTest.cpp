// Scanning, the found-dongle list and its selection.
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <fstream>
#include <thread>

#include "DiscoveryTestSupport.h"
#include "platform/ble/fake/FakeBluetoothLE.h"

namespace {
void WriteFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}
}  // namespace

// ---- The scan's states.

TEST_F(TDiscoveryFixture, Scan_Start_ListsNothingYetStartsAFilteredTimedScanAndShowsProgress) {
    window->ProgressBar1->setValue(40);
    QTest::mouseClick(window->BtnScan, Qt::LeftButton);

    ASSERT_EQ(ble.Starts.size(), 1u);
    EXPECT_EQ(ble.Starts[0].TimeoutMs, 3000);
    EXPECT_EQ(ble.Starts[0].Filter, std::vector<TBluetoothUuid>{TBluetoothUuid::FromShort(0xF800)});
    EXPECT_FALSE(ble.Starts[0].ForceConnect);
    EXPECT_TRUE(window->Scanning);
    EXPECT_EQ(window->ScanningStart, now);
    EXPECT_EQ(window->BtnScan->text(), Utf8("停止搜索(&S)"));
    EXPECT_TRUE(window->BtnScan->isEnabled());
    EXPECT_TRUE(window->Timer1->isActive());
    EXPECT_FALSE(window->ProgressBar1->isHidden());
    EXPECT_EQ(window->ProgressBar1->value(), 0);
    EXPECT_EQ(window->DeviceListView->count(), 0);
}

TEST_F(TDiscoveryFixture, Scan_Endings_LeaveIdleWithTheBarHidden) {
    struct TRow {
        const char* Ending;
        std::function<void(TDiscoveryFixture&)> End;
        int Cancels;
        bool BarVisible;
        int BarValue;
    };
    const TRow rows[] = {
        {"button", [](TDiscoveryFixture& f) { QTest::mouseClick(f.window->BtnScan, Qt::LeftButton); }, 1,
         false, 100},
        {"timer reaches the end",
         [](TDiscoveryFixture& f) {
             f.now += 3000;
             f.window->Timer1Timer(f.window->Timer1);
         },
         1, false, 100},
        {"the stack's time-out, raised on its own thread",
         [](TDiscoveryFixture& f) {
             std::thread([&] { f.ble.RaiseEnd(); }).join();
             ASSERT_TRUE(WaitFor([&] { return !f.window->Scanning; }));
         },
         0, false, 100},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Ending);
        ble.Cancels = 0;
        window->btnScanClick(window->BtnScan);
        now += 1000;
        window->Timer1Timer(window->Timer1);
        ASSERT_TRUE(window->Scanning);
        ASSERT_EQ(window->ProgressBar1->value(), 33);

        row.End(*this);

        EXPECT_EQ(ble.Cancels, row.Cancels);
        EXPECT_FALSE(window->Scanning);
        EXPECT_EQ(window->BtnScan->text(), Utf8("搜索设备(&S)"));
        EXPECT_FALSE(window->Timer1->isActive());
        EXPECT_EQ(!window->ProgressBar1->isHidden(), row.BarVisible);
        EXPECT_EQ(window->ProgressBar1->value(), row.BarValue);
        // The next tick of a timer that was already due finds no scan and changes nothing.
        window->Timer1Timer(window->Timer1);
        EXPECT_EQ(ble.Cancels, row.Cancels);
    }
}

TEST_F(TDiscoveryFixture, Scan_CannotStart_SaysWhyAndChangesNothing) {
    const std::string bluezDown =
        "The Bluetooth service (BlueZ) is not running. Start it with: sudo systemctl "
        "start bluetooth";
    struct TRow {
        const char* Case;
        bool RadioOn;
        bool StartRefused;
        std::string Reason;
        size_t Starts;
    };
    const TRow rows[] = {
        {"radio off, no reason known", false, false, "", 0},
        {"BlueZ not running", false, false, bluezDown, 0},
        {"adapter switched off", false, false, "The Bluetooth adapter is switched off.", 0},
        {"the stack refuses the scan", true, true, "The Bluetooth stack refused to scan: busy", 1},
    };
    Discover(Device("C0:FF:EE:00:00:01", "Corvastel-1A2B"));
    ASSERT_EQ(window->SelectedDevice, 0);
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Case);
        ble.RadioOn = row.RadioOn;
        ble.StartRefused = row.StartRefused;
        ble.Reason = row.Reason;
        ble.Starts.clear();

        std::vector<std::pair<QString, QString>> boxes;  // title, text
        TModalAnswerer answerer([&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes.emplace_back(box->windowTitle(), box->text());
                box->accept();
            }
        });
        QTest::mouseClick(window->BtnScan, Qt::LeftButton);

        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].first, "CorvastelPcApp");
        // Why and what to do, without a first line that blames a disabled radio whatever the cause.
        const QString said = row.Reason.empty() ? QStringLiteral(
                                                      "The search for dongles could not start. Try "
                                                      "again; if it keeps failing, switch Bluetooth "
                                                      "off and on again.")
                                                : QString::fromStdString(row.Reason);
        EXPECT_EQ(boxes[0].second, said);
        EXPECT_EQ(window->NoticeText(TNotice::StackProblem), said)
            << "said in the window once the box is gone";
        EXPECT_EQ(ble.Starts.size(), row.Starts);
        EXPECT_FALSE(window->Scanning);
        EXPECT_EQ(window->BtnScan->text(), Utf8("搜索设备(&S)"));
        EXPECT_FALSE(window->Timer1->isActive());
        EXPECT_TRUE(window->ProgressBar1->isHidden());
        if (!row.StartRefused) {
            // Refused before anything changed: the list and the selection stay.
            EXPECT_EQ(window->DeviceListView->count(), 1);
            EXPECT_EQ(window->SelectedDevice, 0);
            EXPECT_EQ(window->lbMacAddress->text(), "C0:FF:EE:00:00:01");
            EXPECT_TRUE(window->BtnRename->isEnabled());
        }
    }
}

TEST_F(TDiscoveryFixture, Progress_FollowsElapsedTicksRoundedHalfToEvenAcrossTheWrap) {
    struct TRow {
        uint32_t Start;
        uint32_t Now;
        int Position;
        bool Ends;
    };
    const TRow rows[] = {
        {1000, 2000, 33, false},         // first tick
        {1000, 3000, 67, false},         // second tick
        {0, 15, 0, false},               // 0.5 rounds to even
        {0, 45, 2, false},               // 1.5 rounds to even
        {0, 75, 2, false},               // 2.5 rounds to even
        {0, 2984, 99, false},            // 99.47
        {0, 2985, 100, true},            // 99.5 rounds to even: the end
        {0xFFFFFC18u, 0, 33, false},     // the tick counter wrapped 1000 ms into the scan
        {0xFFFFFFFFu, 2999, 100, true},  // 3000 ms across the wrap
        {5000, 15000, 100, true},        // a late tick still shows a full bar
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(testing::Message() << row.Start << " -> " << row.Now);
        now = row.Start;
        window->btnScanClick(window->BtnScan);
        ble.Cancels = 0;
        now = row.Now;
        window->Timer1Timer(window->Timer1);
        EXPECT_EQ(window->ProgressBar1->value(), row.Position);
        EXPECT_EQ(window->Scanning, !row.Ends);
        EXPECT_EQ(ble.Cancels, row.Ends ? 1 : 0);
        EXPECT_EQ(window->ProgressBar1->isHidden(), row.Ends);
        if (window->Scanning) {
            window->btnScanClick(window->BtnScan);
        }
    }
}

// ---- Listing.

TEST_F(TDiscoveryFixture, Discovered_NameFilter_AsciiCaseOnly) {
    struct TRow {
        const char* Name;
        bool Listed;
    };
    const TRow rows[] = {
        {"Corvastel-1A2B", true},
        {"CORVASTEL", true},
        {"my cOrVaStEl 2", true},
        {"Corvast", false},
        {"", false},
        {"Korvastel", false},
        {"ＣＯＲＶＡＳＴＥＬ", false},  // full-width letters are not folded
        {"corvaſtel", false},           // nor is the long s
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        const int before = window->FoundDeviceCount;
        Discover(Device("C0:FF:EE:00:01:" + std::to_string(10 + before * 2 + !row.Listed), row.Name));
        EXPECT_EQ(window->FoundDeviceCount - before, row.Listed ? 1 : 0);
        EXPECT_EQ(window->DeviceListView->count(), window->FoundDeviceCount);
    }
}

TEST_F(TDiscoveryFixture, Discovered_SameDongleManyTimes_OneItemRefreshedInPlace) {
    TStubDevice& first = Device("C0:FF:EE:00:00:01", "Corvastel-1A2B");
    TStubDevice& other = Device("C0:FF:EE:00:00:02", "Corvastel-3C4D");
    Discover(first);
    Discover(other);
    window->SetDeviceImage(window->DeviceListView->item(0), DeviceImageConnecting);
    for (int i = 0; i < 5; ++i) {
        Discover(first);
    }
    EXPECT_EQ(window->FoundDeviceCount, 2);
    EXPECT_EQ(Captions(), (QStringList{"Corvastel-1A2B", "Corvastel-3C4D"}));

    // A nickname set meanwhile shows at the next report; the object reported last takes the slot;
    // the image keeps the connection state.
    WriteFile(NicknameFile(), "[Nickname]\nC0:FF:EE:00:00:01=Desk\n");
    TStubDevice& again = Device("C0:FF:EE:00:00:01", "Corvastel-1A2B");
    Discover(again);
    EXPECT_EQ(Captions(), (QStringList{"Desk", "Corvastel-3C4D"}));
    EXPECT_EQ(window->FoundDevices[0], &again);
    EXPECT_EQ(Images(), (std::vector<int>{DeviceImageConnecting, DeviceImageFound}));
}

TEST_F(TDiscoveryFixture, Discovered_OnlyTheFirstIntoAnEmptyList_IsSelected) {
    Discover(Device("C0:FF:EE:00:00:01", "Corvastel-1A2B"));
    EXPECT_EQ(window->SelectedDevice, 0);
    EXPECT_TRUE(window->DeviceListView->item(0)->isSelected());
    // Without a nickname, the list and the label show the advertised name.
    EXPECT_EQ(window->DeviceListView->item(0)->text(), "Corvastel-1A2B");
    EXPECT_EQ(window->lbName->text(), "Corvastel-1A2B");
    EXPECT_EQ(window->lbMacAddress->text(), "C0:FF:EE:00:00:01");

    window->DeviceListView->clearSelection();
    ASSERT_EQ(window->SelectedDevice, -1);
    Discover(Device("C0:FF:EE:00:00:02", "Corvastel-3C4D"));
    EXPECT_EQ(window->SelectedDevice, -1) << "the list was not empty";
    EXPECT_TRUE(window->DeviceListView->selectedItems().isEmpty());
}

TEST_F(TDiscoveryFixture, ScanStart_SessionsListedFirstInSessionOrder_SelectionCleared) {
    TStubDevice& a = Device("C0:FF:EE:00:00:0A", "Corvastel-A");
    TStubDevice& b = Device("C0:FF:EE:00:00:0B", "Corvastel-B");
    WriteFile(NicknameFile(), "[Nickname]\nC0:FF:EE:00:00:0A=Desk\n");
    Discover(Device("C0:FF:EE:00:00:99", "Corvastel-old"));  // selected, will be forgotten
    AddSession(b);
    AddSession(a);

    window->btnScanClick(window->BtnScan);

    EXPECT_EQ(Captions(), (QStringList{"Corvastel-B", "Desk"}));
    EXPECT_EQ(Images(), (std::vector<int>{DeviceImageConnected, DeviceImageConnected}));
    EXPECT_EQ(window->FoundDeviceCount, 2);
    EXPECT_EQ(window->FoundDevices[0], &b);
    EXPECT_EQ(window->FoundDevices[1], &a);
    EXPECT_EQ(window->SelectedDevice, -1);
    EXPECT_TRUE(window->DeviceListView->selectedItems().isEmpty());
    EXPECT_EQ(window->lbName->text(), "--------");
    EXPECT_EQ(window->lbMacAddress->text(), "--------");
    EXPECT_FALSE(window->BtnRename->isEnabled());
    // Emptying the list deselects the old item, as clicking empty space does.
    EXPECT_FALSE(window->BtnConnect->isEnabled());

    // Reports during the scan: a new dongle is appended unselected, a session's dongle keeps its image.
    Discover(Device("C0:FF:EE:00:00:0C", "Corvastel-C"));
    Discover(a);
    EXPECT_EQ(Captions(), (QStringList{"Corvastel-B", "Desk", "Corvastel-C"}));
    EXPECT_EQ(Images(), (std::vector<int>{DeviceImageConnected, DeviceImageConnected, DeviceImageFound}));
    EXPECT_EQ(window->SelectedDevice, -1);
}

// ---- Selection.

TEST_F(TDiscoveryFixture, Select_WithAndWithoutSession_ShowsDetailsAndConnectCaption) {
    TStubDevice& linked = Device("C0:FF:EE:00:00:01", "Corvastel-linked");
    TStubDevice& loose = Device("C0:FF:EE:00:00:02", "Corvastel-loose");
    TCorvastelDevice& session = AddSession(linked);
    session.Firmware = "1.2.0";
    session.infoValue = InfoFirmware;
    Discover(linked);
    Discover(loose);

    struct TRow {
        int Row;
        const char* Firmware;
        const char* Ver;
        const char* Connect;
        const char* Name;
    };
    const TRow rows[] = {
        {1, "", "", "连接(&C)", "Corvastel-loose"},
        {0, "1.2.0", "v0", "断开连接(&C)", "Corvastel-linked"},
        {1, "", "", "连接(&C)", "Corvastel-loose"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Row);
        window->ProgressBar1->setValue(60);
        window->DeviceListView->setCurrentRow(row.Row);
        EXPECT_EQ(window->SelectedDevice, row.Row);
        EXPECT_EQ(window->lbName->text(), row.Name);
        EXPECT_EQ(window->lbFirmware->text(), row.Firmware);
        EXPECT_EQ(window->lbVer->text(), row.Ver);
        EXPECT_EQ(window->BtnConnect->text(), Utf8(row.Connect));
        EXPECT_TRUE(window->BtnConnect->isEnabled());
        EXPECT_TRUE(window->BtnRename->isEnabled());
        EXPECT_EQ(window->ProgressBar1->value(), 0);
    }

    // A session whose firmware text has not arrived yet shows none (it may still be being written).
    session.infoValue = 0;
    window->DeviceListView->setCurrentRow(0);
    EXPECT_EQ(window->lbFirmware->text(), "");
    EXPECT_EQ(window->BtnConnect->text(), Utf8("断开连接(&C)"));
}

TEST_F(TDiscoveryFixture, Deselect_DisablesConnectOnlyAndResetsTheBar) {
    Discover(Device("C0:FF:EE:00:00:01", "Corvastel-1A2B"));
    window->ProgressBar1->setValue(60);
    window->DeviceListView->clearSelection();
    EXPECT_EQ(window->SelectedDevice, -1);
    EXPECT_FALSE(window->BtnConnect->isEnabled());
    EXPECT_TRUE(window->BtnRename->isEnabled());
    EXPECT_EQ(window->ProgressBar1->value(), 0);
    EXPECT_EQ(window->lbName->text(), "Corvastel-1A2B") << "the labels keep the last selection";
}

// ---- Capacity.

TEST_F(TDiscoveryFixture, Capacity_A66thDongle_IsIgnored) {
    auto address = [](int i) {
        char text[18];
        std::snprintf(text, sizeof text, "C0:FF:EE:00:01:%02X", i);
        return std::string(text);
    };
    for (int i = 0; i < DeviceSlots + 1; ++i) {
        Discover(Device(address(i), "Corvastel-" + std::to_string(i)));
    }
    EXPECT_EQ(window->FoundDeviceCount, DeviceSlots);
    EXPECT_EQ(window->DeviceListView->count(), DeviceSlots);
    EXPECT_EQ(window->DeviceListView->item(DeviceSlots - 1)->text(), "Corvastel-64");
    // Known dongles are still refreshed when the table is full.
    WriteFile(NicknameFile(), "[Nickname]\n" + address(64) + "=Last\n");
    Discover(Device(address(64), "Corvastel"));
    EXPECT_EQ(window->DeviceListView->item(64)->text(), "Last");
}

TEST_F(TDiscoveryFixture, Capacity_FullSessionTableAtScanStart_NewFindsIgnored) {
    for (int i = 0; i < DeviceSlots; ++i) {
        AddSession(Device("C0:FF:EE:00:02:" + std::to_string(10 + i), "Corvastel"));
    }
    window->btnScanClick(window->BtnScan);
    EXPECT_EQ(window->FoundDeviceCount, DeviceSlots);
    Discover(Device("C0:FF:EE:00:03:01", "Corvastel-new"));
    EXPECT_EQ(window->FoundDeviceCount, DeviceSlots);
    EXPECT_EQ(window->DeviceListView->count(), DeviceSlots);
}

// ---- Through the in-process central: finds raised on its scanner thread, the platform time-out.

TEST(DiscoveryWithFakeCentral, Scan_FindsArriveOnTheWindowThreadInOrderAndTheTimeOutEndsIt) {
    TFakeBluetoothLEManager ble;
    ble.AddDongle(vdongle::TDongleConfig::Standard("Corvastel-1A2B", "C0:FF:EE:00:00:01"));
    ble.AddDongle(vdongle::TDongleConfig::Standard("Corvast", "C0:FF:EE:00:00:02"));
    auto unfiltered = vdongle::TDongleConfig::Standard("Corvastel-nosvc", "C0:FF:EE:00:00:03");
    unfiltered.advertisedServices = {0x180F};
    ble.AddDongle(unfiltered);
    ble.AddDongle(vdongle::TDongleConfig::Standard("CORVASTEL", "C0:FF:EE:00:00:04"));

    QTemporaryDir dir;
    TFormCorvastelPc window(ble, std::make_shared<TFakeHookPlatform>());
    window.NicknameFilePath = std::filesystem::path(dir.path().toStdString()) / "cvinfo.ini";
    window.TickCount = [] { return 0u; };  // the timer never fills the bar: only the stack ends this scan
    std::vector<bool> onWindowThread;
    window.DeviceListView->model()->connect(
        window.DeviceListView->model(), &QAbstractItemModel::rowsInserted,
        [&] { onWindowThread.push_back(QThread::currentThread() == window.thread()); });

    window.btnScanClick(window.BtnScan);
    ASSERT_TRUE(WaitFor([&] { return !window.Scanning; }, 6000));

    EXPECT_EQ(window.FoundDeviceCount, 2);
    EXPECT_EQ(window.DeviceListView->item(0)->text(), "Corvastel-1A2B");
    EXPECT_EQ(window.DeviceListView->item(1)->text(), "CORVASTEL");
    EXPECT_EQ(onWindowThread, (std::vector<bool>{true, true}));
    EXPECT_EQ(window.SelectedDevice, 0);
    EXPECT_EQ(window.lbName->text(), "Corvastel-1A2B");
    // The bar shows only while something runs; the notice says what the scan found.
    EXPECT_TRUE(window.ProgressBar1->isHidden());
    EXPECT_EQ(window.ProgressBar1->value(), 100);
    EXPECT_TRUE(window.NoticeText(TNotice::Guide).startsWith("Found 2 dongles"))
        << window.NoticeText(TNotice::Guide).toStdString();
    EXPECT_EQ(window.BtnScan->text(), Utf8("搜索设备(&S)"));
}
