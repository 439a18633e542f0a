// Nicknames: the rename dialog, the file, and where the names show.
#include <QInputDialog>
#include <QPushButton>
#include <QTest>

#include <fstream>
#include <sstream>

#include "DiscoveryTestSupport.h"
#include "app/CorvastelApplication.h"

namespace {
std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

// One dialog the window asked for, and how the test answers it.
struct TQuery {
    QString Title;
    QString Prompt;
    QString Offered;
};

struct TRenameFixture : TDiscoveryFixture {
    std::vector<TQuery> queries;
    bool answerOk = true;
    QString answer;

    void SetUp() override {
        TDiscoveryFixture::SetUp();
        window->InputQuery = [this](const QString& title, const QString& prompt, QString& text) {
            queries.push_back({title, prompt, text});
            text = answer;
            return answerOk;
        };
    }
    void Rename(const QString& text, bool ok = true) {
        answer = text;
        answerOk = ok;
        QTest::mouseClick(window->BtnRename, Qt::LeftButton);
    }
};
}  // namespace

TEST_F(TRenameFixture, Rename_ChineseName_ShowsAtOnceAndIsStoredAndReadBack) {
    TStubDevice& desk = Device("C0:FF:EE:00:00:01", "Corvastel-1A2B");
    TStubDevice& other = Device("C0:FF:EE:00:00:02", "Corvastel-3C4D");
    Discover(desk);
    Discover(other);
    ASSERT_EQ(window->SelectedDevice, 0);

    Rename(Utf8("书房电脑"));

    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].Title, Utf8("设置昵称"));
    // The prompt says which dongle it is, and how to take the nickname away again.
    EXPECT_EQ(queries[0].Prompt, QStringLiteral("Nickname for Corvastel-1A2B (C0:FF:EE:00:00:01):\n"
                                                "(leave it empty to remove the nickname)"));
    EXPECT_EQ(queries[0].Offered, "CustomName");
    EXPECT_EQ(window->lbName->text(), Utf8("书房电脑"));
    EXPECT_EQ(window->DeviceListView->item(0)->text(), Utf8("书房电脑"));
    EXPECT_EQ(window->DeviceListView->item(1)->text(), "Corvastel-3C4D") << "other dongles keep their names";
    EXPECT_EQ(ReadFile(NicknameFile()), "[Nickname]\nC0:FF:EE:00:00:01=书房电脑\n");

    // The dialog offers the stored name next time; later reports and the next run show it.
    Rename(Utf8("书房电脑"), false);
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[1].Offered, Utf8("书房电脑"));
    EXPECT_TRUE(queries[1].Prompt.startsWith(Utf8("Nickname for 书房电脑 (C0:FF:EE:00:00:01):")))
        << queries[1].Prompt.toStdString();
    Discover(desk);
    EXPECT_EQ(window->DeviceListView->item(0)->text(), Utf8("书房电脑"));

    TFormCorvastelPc next(ble, std::make_shared<TFakeHookPlatform>());
    next.NicknameFilePath = NicknameFile();
    next.DeviceDiscovered(ble, other, -50, {});
    next.DeviceDiscovered(ble, desk, -50, {});
    EXPECT_EQ(next.DeviceListView->item(0)->text(), "Corvastel-3C4D");
    EXPECT_EQ(next.DeviceListView->item(1)->text(), Utf8("书房电脑"));
    next.DeviceListView->setCurrentRow(1);
    EXPECT_EQ(next.lbName->text(), Utf8("书房电脑"));
}

TEST_F(TRenameFixture, Rename_OkOnTheOfferedText_StoresCustomName) {
    Discover(Device("C0:FF:EE:00:00:01", "Corvastel-1A2B"));
    Rename("CustomName");
    EXPECT_EQ(ReadFile(NicknameFile()), "[Nickname]\nC0:FF:EE:00:00:01=CustomName\n");
    EXPECT_EQ(window->lbName->text(), "CustomName");
}

TEST_F(TRenameFixture, Rename_Cancel_ChangesNothing) {
    const std::string before = "[Nickname]\nC0:FF:EE:00:00:01=Desk\n";
    WriteFile(NicknameFile(), before);
    Discover(Device("C0:FF:EE:00:00:01", "Corvastel-1A2B"));
    Rename("Other", false);
    EXPECT_EQ(ReadFile(NicknameFile()), before);
    EXPECT_EQ(window->lbName->text(), "Desk");
    EXPECT_EQ(window->DeviceListView->item(0)->text(), "Desk");
}

TEST_F(TRenameFixture, Rename_Emptied_RemovesTheNicknameAndNamesTheDongleAsItAdvertises) {
    TStubDevice& dongle = Device("C0:FF:EE:00:00:01", "Corvastel-1A2B");
    for (const char* text : {"", "   "}) {
        SCOPED_TRACE(std::string("answer '") + text + "'");
        WriteFile(NicknameFile(), "; mine\n[Nickname]\nC0:FF:EE:00:00:01=Desk\nC0:FF:EE:00:00:02=Lab\n");
        Discover(dongle);
        ASSERT_EQ(window->DeviceListView->item(0)->text(), "Desk");
        Rename(text);
        EXPECT_EQ(ReadFile(NicknameFile()), "; mine\n[Nickname]\nC0:FF:EE:00:00:02=Lab\n");
        EXPECT_EQ(window->lbName->text(), "Corvastel-1A2B");
        EXPECT_EQ(window->DeviceListView->item(0)->text(), "Corvastel-1A2B");
    }
}

TEST_F(TRenameFixture, Rename_NothingSelected_AsksNothing) {
    Discover(Device("C0:FF:EE:00:00:01", "Corvastel-1A2B"));
    window->DeviceListView->clearSelection();
    ASSERT_TRUE(window->BtnRename->isEnabled());
    Rename("Desk");
    EXPECT_TRUE(queries.empty());
    EXPECT_FALSE(std::filesystem::exists(NicknameFile()));
}

TEST_F(TRenameFixture, HandEditedFile_IsSeenAtTheNextRead) {
    TStubDevice& dongle = Device("C0:FF:EE:00:00:01", "Corvastel-1A2B");
    WriteFile(NicknameFile(), "[Other]\nC0:FF:EE:00:00:01=NotThis\n[Nickname]\nC0:FF:EE:00:00:01=Desk\n");
    Discover(dongle);
    EXPECT_EQ(window->DeviceListView->item(0)->text(), "Desk");
    EXPECT_EQ(window->lbName->text(), "Desk");

    WriteFile(NicknameFile(), "[Nickname]\nC0:FF:EE:00:00:01=Laptop\n");
    Discover(dongle);
    EXPECT_EQ(window->DeviceListView->item(0)->text(), "Laptop");

    // The entry deleted by hand: the advertised name in the list and the label.
    WriteFile(NicknameFile(), "[Nickname]\n");
    Discover(dongle);
    EXPECT_EQ(window->DeviceListView->item(0)->text(), "Corvastel-1A2B");
    window->DeviceListView->clearSelection();
    window->DeviceListView->setCurrentRow(0);
    EXPECT_EQ(window->lbName->text(), "Corvastel-1A2B");
}

TEST_F(TRenameFixture, Rename_UnwritableFile_ReportsTheErrorAndKeepsTheCaptions) {
    // A file where the folder should be cannot be written over, whoever runs the test.
    const std::filesystem::path blocker = NicknameFile().parent_path() / "not-a-folder";
    WriteFile(blocker, "x");
    window->NicknameFilePath = blocker / "cvinfo.ini";
    Discover(Device("C0:FF:EE:00:00:01", "Corvastel-1A2B"));

    std::vector<QString> reported;
    const TGeneralErrorReporter previous =
        InstallGeneralErrorReporter([&](const QString& text) { reported.push_back(text); });
    Rename("Desk");
    SetGeneralErrorReporter(previous);

    ASSERT_EQ(reported.size(), 1u);
    const QString start =
        QString::fromStdString("Unable to write to " + (blocker / "cvinfo.ini").string() + ": ");
    EXPECT_TRUE(reported[0].startsWith(start) && reported[0].size() > start.size())
        << reported[0].toStdString();
    EXPECT_EQ(window->lbName->text(), "Corvastel-1A2B");
    EXPECT_EQ(window->DeviceListView->item(0)->text(), "Corvastel-1A2B");
}

TEST_F(TRenameFixture, OversizedFile_IsNotReadAndTheWindowSaysSo) {
    TStubDevice& dongle = Device("C0:FF:EE:00:00:01", "Corvastel-1A2B");
    WriteFile(NicknameFile(),
              "[Nickname]\nC0:FF:EE:00:00:01=Desk\n;" + std::string(NicknameFileMaxBytes, 'x') + "\n");
    Discover(dongle);
    EXPECT_EQ(window->DeviceListView->item(0)->text(), "Corvastel-1A2B");
    const QString notice = window->NoticeText(TNotice::NicknameFile);
    EXPECT_TRUE(notice.contains(QString::fromStdString(NicknameFile().string())) && notice.contains("1 MiB"))
        << notice.toStdString();

    // Cut down by hand: read at the next discovery, and the notice goes.
    WriteFile(NicknameFile(), "[Nickname]\nC0:FF:EE:00:00:01=Desk\n");
    Discover(dongle);
    EXPECT_EQ(window->DeviceListView->item(0)->text(), "Desk");
    EXPECT_TRUE(window->NoticeText(TNotice::NicknameFile).isEmpty());
}

TEST_F(TDiscoveryFixture, RenameDialog_TheToolkitDialog_OffersTitlePromptAndText) {
    Discover(Device("C0:FF:EE:00:00:01", "Corvastel-1A2B"));
    TQuery shown;
    TModalAnswerer answerer([&](QWidget* modal) {
        if (auto* dialog = qobject_cast<QInputDialog*>(modal)) {
            shown = {dialog->windowTitle(), dialog->labelText(), dialog->textValue()};
            dialog->setTextValue(Utf8("客厅"));
            dialog->accept();
        }
    });
    QTest::mouseClick(window->BtnRename, Qt::LeftButton);

    EXPECT_EQ(shown.Title, Utf8("设置昵称"));
    EXPECT_TRUE(shown.Prompt.startsWith(QStringLiteral("Nickname for Corvastel-1A2B (C0:FF:EE:00:00:01):")))
        << shown.Prompt.toStdString();
    EXPECT_EQ(shown.Offered, "CustomName");
    EXPECT_EQ(window->lbName->text(), Utf8("客厅"));
    EXPECT_EQ(ReadFile(NicknameFile()), "[Nickname]\nC0:FF:EE:00:00:01=客厅\n");
}
