// Work raised on other threads reaches the window's thread in order, and never after close.
#include <gtest/gtest.h>

#include <QObject>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

#include "QtTestEnvironment.h"
#include "app/UiQueue.h"

TEST(UiQueue, PostFromOtherThreads_RunsOnContextThreadInOrder) {
    QObject context;
    auto queue = TUiQueue::Create(&context);
    std::vector<int> order;
    std::atomic<int> offThread{0};
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) {
            queue->Post([&, i] {
                if (QThread::currentThread() != context.thread())
                    ++offThread;
                order.push_back(i);
            });
        }
    });
    producer.join();
    ASSERT_TRUE(WaitFor([&] { return order.size() == 100; }));
    EXPECT_EQ(offThread.load(), 0);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(UiQueue, Close_DropsQueuedAndLaterWork) {
    QObject context;
    auto queue = TUiQueue::Create(&context);
    int ran = 0;
    std::thread([&] { queue->Post([&] { ++ran; }); }).join();
    queue->Close();
    queue->Post([&] { ++ran; });
    queue->Run([&] { ++ran; });
    EXPECT_FALSE(queue->RunAndWait([&] { ++ran; }));
    std::thread([&] { EXPECT_FALSE(queue->RunAndWait([&] { ++ran; })); }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 0);
}

TEST(UiQueue, RunOnContextThread_RunsAtOnce) {
    QObject context;
    auto queue = TUiQueue::Create(&context);
    bool ran = false;
    queue->Run([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(UiQueue, RunAndWait_FromWorker_WaitsForTheContextThread) {
    QObject context;
    auto queue = TUiQueue::Create(&context);
    std::atomic<bool> ranOnContext{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> answer{false};
    std::thread worker([&] {
        answer = queue->RunAndWait([&] { ranOnContext = QThread::currentThread() == context.thread(); });
        returned = true;
    });
    ASSERT_TRUE(WaitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(answer.load());
    EXPECT_TRUE(ranOnContext.load());
}

TEST(UiQueue, RunAndWait_ClosedWhileWaiting_ReleasesTheWorker) {
    QObject context;
    auto queue = TUiQueue::Create(&context);
    std::atomic<bool> returned{false};
    bool answer = true;
    bool ran = false;
    std::thread worker([&] {
        answer = queue->RunAndWait([&] { ran = true; });
        returned = true;
    });
    // Close before the context thread gets to the call.
    QThread::msleep(50);
    queue->Close();
    ASSERT_TRUE(WaitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_FALSE(answer);
    EXPECT_FALSE(ran);
}
