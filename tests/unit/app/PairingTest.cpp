// Pairing through the real window over the fake central: dongles that demand an encrypted or
// authenticated link, the passkey question, what the window says, the lock and the Details line,
// and "send input only over encrypted links".
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

#include "ConnectedWindow.h"
#include "QtTestEnvironment.h"
#include "app/CorvastelApplication.h"
#include "app/TargetState.h"
#include "app/UnitMain.h"
#include "platform/ble/fake/FakeBluetoothLE.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

namespace vd = vdongle;

namespace {

struct TPairingFixture : testing::Test {
    TFakeBluetoothLEManager ble;
    std::shared_ptr<TFakeHookPlatform> hooks = std::make_shared<TFakeHookPlatform>();
    std::vector<QString> errors;
    TGeneralErrorReporter previousReporter;
    std::unique_ptr<TFormCorvastelPc> window;
    QTemporaryDir settingsDir;

    void SetUp() override {
        ResetInputStateForTests();
        previousReporter =
            InstallGeneralErrorReporter([this](const QString& text) { errors.push_back(text); });
        window = std::make_unique<TFormCorvastelPc>(ble, hooks);
        window->NicknameFilePath = std::filesystem::path(settingsDir.path().toStdString()) / "cvinfo.ini";
    }
    void TearDown() override {
        window.reset();
        SetGeneralErrorReporter(previousReporter);
        ResetInputStateForTests();
    }

    // A dongle with firmware that asks the identity (the first request of a setup), found and
    // Connect pressed.
    QListWidgetItem* Add(const std::string& address, vd::TSecurity security,
                         std::shared_ptr<vd::TVirtualDongle>* dongle) {
        auto config = vd::TDongleConfig::Standard("Corvastel-" + address.substr(15), address, "1.2.0");
        config.security = security;
        return AddFoundAndConnect(*window, ble, config, QString::fromStdString(address), dongle);
    }
    QDialog* Dialog() const { return window->PairingDialog; }
    bool DialogShown() const { return Dialog() != nullptr && Dialog()->isVisible(); }
    // Types the passkey into the open dialog and presses OK.
    void Enter(uint32_t passkey) {
        auto* edit = Dialog()->findChild<QLineEdit*>(QStringLiteral("Passkey"));
        ASSERT_NE(edit, nullptr);
        edit->setText(QStringLiteral("%1").arg(passkey, 6, 10, QLatin1Char('0')));
        auto* buttons = Dialog()->findChild<QDialogButtonBox*>();
        ASSERT_TRUE(buttons->button(QDialogButtonBox::Ok)->isEnabled());
        buttons->button(QDialogButtonBox::Ok)->click();
    }
    QString SecurityLine(int slot) {
        for (const QString& line : window->DeviceDetailsText(slot).split(QLatin1Char('\n'))) {
            if (line.startsWith(QStringLiteral("Security: ")))
                return line.mid(10);
        }
        return {};
    }
    static bool Connected(QListWidgetItem* item) { return ItemImageIndex(item) == DeviceImageConnected; }
};

}  // namespace

TEST_F(TPairingFixture, Encrypt_PairsWithoutAQuestionShowsTheLockAndTypesExactly) {
    std::shared_ptr<vd::TVirtualDongle> dongle;
    QListWidgetItem* item = Add("C0:FF:EE:00:03:01", vd::TSecurity::Encrypt, &dongle);
    ASSERT_TRUE(WaitFor([&] { return Connected(item); }, 20000));
    EXPECT_FALSE(DialogShown());
    EXPECT_TRUE(dongle->Bonded());
    EXPECT_EQ(SecurityLine(0), QStringLiteral("encrypted, paired"));
    window->UpdateTargetState();
    EXPECT_TRUE(item->data(ItemSecureRole).toBool());

    const QString text = QStringLiteral("Secret 42!\n");
    ASSERT_TRUE(window->TypeText(text, nullptr));
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }, 10000));
    EXPECT_TRUE(WaitFor([&] { return dongle->Target().text == text.toStdString(); }, 10000))
        << dongle->Target().text;
    EXPECT_TRUE(errors.empty());
}

TEST_F(TPairingFixture, Authenticated_AWrongPasskeyFailsPlainlyWithNothingTypedTheRightOneWorks) {
    std::shared_ptr<vd::TVirtualDongle> dongle;
    QListWidgetItem* item = Add("C0:FF:EE:00:03:02", vd::TSecurity::Authenticated, &dongle);
    ASSERT_TRUE(WaitFor([&] { return DialogShown(); }, 20000)) << "no passkey question";
    EXPECT_NE(window->NoticeText(TNotice::Pairing).indexOf(QStringLiteral("type the six digits")), -1)
        << window->NoticeText(TNotice::Pairing).toStdString();
    const auto shown = dongle->ShownPasskey();
    ASSERT_TRUE(shown.has_value());
    Enter((*shown + 1) % 1000000);
    ASSERT_TRUE(WaitFor([&] { return !errors.empty(); }, 20000)) << "the failed setup was not said";
    EXPECT_NE(errors.back().indexOf(QStringLiteral("pairing did not succeed")), -1)
        << errors.back().toStdString();
    EXPECT_NE(errors.back().indexOf(QStringLiteral("passkey was wrong")), -1) << errors.back().toStdString();
    EXPECT_FALSE(Connected(item));
    EXPECT_EQ(dongle->Target().keyboardReports, 0) << "something reached the target";
    EXPECT_FALSE(dongle->Bonded());

    // Again, with the passkey the dongle shows, once the closed link is told everywhere (a
    // user's click comes later than that).
    ASSERT_TRUE(ble.WaitIdle());
    WaitFor([] { return false; }, 100);
    errors.clear();
    window->SelectedDevice = 0;
    window->BtnConnectClick(window->BtnConnect);
    ASSERT_TRUE(WaitFor([&] { return DialogShown(); }, 20000))
        << window->NoticeText(TNotice::Pairing).toStdString() << "\n"
        << window->Memo2->toPlainText().toStdString();
    Enter(*dongle->ShownPasskey());
    ASSERT_TRUE(WaitFor([&] { return Connected(item); }, 20000));
    EXPECT_EQ(SecurityLine(0), QStringLiteral("encrypted, paired"));
    EXPECT_EQ(window->NoticeText(TNotice::Pairing).indexOf(QStringLiteral("Paired with")), 0);
    ASSERT_TRUE(window->TypeText(QStringLiteral("ok"), nullptr));
    EXPECT_TRUE(WaitFor([&] { return dongle->Target().text == "ok"; }, 20000)) << dongle->Target().text;
    EXPECT_TRUE(errors.empty());
}

TEST_F(TPairingFixture, EncryptedOnly_AnOpenDongleGetsNothingAndTheNoticeNamesIt) {
    std::shared_ptr<vd::TVirtualDongle> open;
    std::shared_ptr<vd::TVirtualDongle> secure;
    QListWidgetItem* openItem = Add("C0:FF:EE:00:03:03", vd::TSecurity::None, &open);
    ASSERT_TRUE(WaitFor([&] { return Connected(openItem); }, 20000));
    QListWidgetItem* secureItem = Add("C0:FF:EE:00:03:04", vd::TSecurity::Encrypt, &secure);
    ASSERT_TRUE(WaitFor([&] { return Connected(secureItem); }, 20000));
    ASSERT_TRUE(ble.WaitIdle());
    EXPECT_EQ(SecurityLine(0), QStringLiteral("not encrypted"));

    window->SetEncryptedOnly(true);
    // Named as the list names it, and only the open one.
    const QString insecure = window->NoticeText(TNotice::Insecure);
    EXPECT_TRUE(insecure.contains(QStringLiteral("Corvastel-03")) &&
                !insecure.contains(QStringLiteral("Corvastel-04")))
        << insecure.toStdString();
    const int before = open->Target().keyboardReports;
    ASSERT_TRUE(window->TypeText(QStringLiteral("abc"), nullptr));
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }, 10000));
    EXPECT_TRUE(WaitFor([&] { return secure->Target().text == "abc"; }, 10000));
    EXPECT_EQ(open->Target().keyboardReports, before) << "the unencrypted dongle got input";
    // Key sequences too, into every dongle or into the open one alone (refused, saying why).
    ASSERT_TRUE(window->TypeKeySequence(QStringLiteral("d{Enter}"), nullptr));
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }, 10000));
    EXPECT_TRUE(WaitFor([&] { return secure->Target().text == "abcd\n"; }, 10000)) << secure->Target().text;
    const int openSlot = window->FindSession("C0:FF:EE:00:03:03");
    ASSERT_GE(openSlot, 0);
    EXPECT_FALSE(window->TypeKeySequence(QStringLiteral("e"), window->Sessions[openSlot]));
    EXPECT_TRUE(window->NoticeText(TNotice::Typing).contains(QStringLiteral("not encrypted")))
        << window->NoticeText(TNotice::Typing).toStdString();
    ASSERT_TRUE(ble.WaitIdle());
    EXPECT_EQ(open->Target().keyboardReports, before) << "the unencrypted dongle got a key sequence";

    // Remembered for the next start.
    window.reset();
    window = std::make_unique<TFormCorvastelPc>(ble, hooks);
    window->NicknameFilePath = std::filesystem::path(settingsDir.path().toStdString()) / "cvinfo.ini";
    window->LoadEncryptedOnly();
    EXPECT_TRUE(window->FEncryptedOnly);
}
