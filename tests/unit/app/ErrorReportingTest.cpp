// Errors reach the user in one box titled with the application title, on the UI thread, and the
// application keeps running.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <stdexcept>
#include <thread>
#include <vector>

#include "QtTestEnvironment.h"
#include "app/CorvastelApplication.h"
#include "app/UiQueue.h"
#include "platform/GeneralError.h"

namespace {
struct TShown {
    QString Text;
    bool OnUiThread;
};

struct TReporterFixture : testing::Test {
    std::vector<TShown> shown;
    TGeneralErrorReporter previous;
    void SetUp() override {
        previous = InstallGeneralErrorReporter([this](const QString& text) {
            shown.push_back({text, QThread::currentThread() == qApp->thread()});
        });
    }
    void TearDown() override { SetGeneralErrorReporter(previous); }
};
}  // namespace

TEST_F(TReporterFixture, ErrorOnUiThread_IsShownAtOnce) {
    ReportGeneralError("Unable to write to /x/cvinfo.ini");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Text, "Unable to write to /x/cvinfo.ini");
    EXPECT_TRUE(shown[0].OnUiThread);
}

TEST_F(TReporterFixture, ErrorsFromOtherThread_AreShownOnUiThreadInOrder) {
    std::thread([] {
        ReportGeneralError("first");
        ReportGeneralError("second");
    }).join();
    EXPECT_TRUE(shown.empty()) << "shown only when the UI thread gets to it";
    ASSERT_TRUE(WaitFor([&] { return shown.size() == 2; }));
    EXPECT_EQ(shown[0].Text, "first");
    EXPECT_EQ(shown[1].Text, "second");
    EXPECT_TRUE(shown[0].OnUiThread && shown[1].OnUiThread);
}

TEST_F(TReporterFixture, ExceptionEscapingHandlers_IsReportedAndTheAppGoesOn) {
    // A bare timer callback reaches the application's event delivery; a click handler wrapped as
    // the window wraps its handlers is stopped before Qt's widget code.
    QTimer::singleShot(0, qApp, [] { throw std::runtime_error("timer handler failed"); });
    QPushButton button;
    QObject::connect(&button, &QPushButton::clicked,
                     ReportingErrors([] { throw std::runtime_error("click handler failed"); }));
    button.show();
    ASSERT_TRUE(WaitFor([&] { return shown.size() == 1; }));
    QTest::mouseClick(&button, Qt::LeftButton);

    bool stillRunning = false;
    QTimer::singleShot(0, qApp, [&] { stillRunning = true; });
    ASSERT_TRUE(WaitFor([&] { return stillRunning; }));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].Text, "timer handler failed");
    EXPECT_EQ(shown[1].Text, "click handler failed");
    EXPECT_FALSE(button.isDown()) << "the button finished its click";
}

TEST_F(TReporterFixture, ErrorInQueuedWork_IsReportedAndLaterWorkStillRuns) {
    QObject context;
    auto queue = TUiQueue::Create(&context);
    bool later = false;
    std::thread([&] {
        queue->Post([] { throw std::runtime_error("device event failed"); });
        queue->Post([&] { later = true; });
    }).join();
    ASSERT_TRUE(WaitFor([&] { return later; }));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Text, "device event failed");
}

TEST(ErrorReporting, DefaultPresenter_ShowsModalBoxTitledWithApplicationTitle) {
    TGeneralErrorReporter previous = InstallGeneralErrorReporter();
    QString title;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    QTimer::singleShot(50, qApp, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        title = box->windowTitle();
        text = box->text();
        format = box->textFormat();
        box->button(QMessageBox::Ok)->click();
    });
    // A device's own name in the text: shown as it is, not as markup.
    ReportGeneralError(
        "Another program has taken the keyboard \"<b>Kbd</b>\" for itself.");  // returns when closed
    SetGeneralErrorReporter(previous);
    EXPECT_EQ(title, "CorvastelPcApp");
    EXPECT_EQ(text, "Another program has taken the keyboard \"<b>Kbd</b>\" for itself.");
    EXPECT_EQ(format, Qt::PlainText);
}
