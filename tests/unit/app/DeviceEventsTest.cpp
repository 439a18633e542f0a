// Bus messages sent on other threads reach the window's thread in order, and stop at close.
#include <gtest/gtest.h>

#include <QObject>
#include <QThread>

#include <string>
#include <thread>
#include <vector>

#include "QtTestEnvironment.h"
#include "app/DeviceEvents.h"

namespace {
struct TTestEvent {
    int Code;
    std::string Text;
};
}  // namespace

TEST(DeviceEvents, SentFromWorker_ArriveOnUiThreadInOrderWithTheirValues) {
    TMessageManager bus;
    QObject context;
    auto queue = TUiQueue::Create(&context);
    std::vector<TTestEvent> received;
    bool offThread = false;
    const int id = SubscribeOnUiQueue<TTestEvent>(bus, queue, [&](const TTestEvent& e) {
        offThread = offThread || QThread::currentThread() != context.thread();
        received.push_back(e);
    });
    std::thread worker([&] {
        for (int code : {1, 2, 3, 4, 8})
            bus.SendMessage(nullptr, TTestEvent{code, "12:34:56:78:9A:BC"});
    });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return received.size() == 5; }));
    EXPECT_FALSE(offThread);
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].Code, (std::vector<int>{1, 2, 3, 4, 8}[i]));
        EXPECT_EQ(received[i].Text, "12:34:56:78:9A:BC");
    }
    bus.Unsubscribe<TTestEvent>(id);
}

TEST(DeviceEvents, AfterUnsubscribeAndClose_NothingArrives_EvenWhatWasAlreadySent) {
    TMessageManager bus;
    QObject context;
    auto queue = TUiQueue::Create(&context);
    int received = 0;
    const int id = SubscribeOnUiQueue<TTestEvent>(bus, queue, [&](const TTestEvent&) { ++received; });
    std::thread([&] { bus.SendMessage(nullptr, TTestEvent{8, "gone"}); }).join();  // queued, not yet run
    // The window's close handling: unsubscribe, then close the queue.
    bus.Unsubscribe<TTestEvent>(id);
    queue->Close();
    std::thread([&] { bus.SendMessage(nullptr, TTestEvent{4, "late"}); }).join();
    WaitFor([] { return false; }, 100);
    EXPECT_EQ(received, 0);
}
