#include "device/MessageBus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Ping {
    int n = 0;
};
struct Other {
    std::string text;
};

// Counts its copies so a test sees when the bus disposes of the message's value.
struct Tracked {
    static inline std::atomic<int> alive{0};
    Tracked() { ++alive; }
    Tracked(const Tracked&) { ++alive; }
    Tracked(Tracked&&) noexcept { ++alive; }
    ~Tracked() { --alive; }
};

}  // namespace

TEST(MessageBus, DeliversByTypeSynchronouslyOnTheSenderThreadThenDisposes) {
    TMessageManager bus;
    std::vector<std::string> seen;
    const auto sender = std::this_thread::get_id();
    const int a = bus.Subscribe<Ping>([&](const TMessage<Ping>& m) {
        EXPECT_EQ(std::this_thread::get_id(), sender);
        seen.push_back("a" + std::to_string(m.Value().n));
    });
    bus.Subscribe<Ping>([&](const TMessage<Ping>& m) { seen.push_back("b" + std::to_string(m.Value().n)); });
    bus.Subscribe<Other>([&](const TMessage<Other>& m) { seen.push_back(m.Value().text); });
    EXPECT_GT(a, 0);

    bus.SendMessage(nullptr, Ping{1});
    bus.SendMessage(nullptr, Other{"o"});
    EXPECT_EQ(seen, (std::vector<std::string>{"a1", "b1", "o"}));

    int trackedCalls = 0;
    bus.Subscribe<Tracked>([&](const TMessage<Tracked>&) {
        ++trackedCalls;
        EXPECT_GT(Tracked::alive.load(), 0);
    });
    bus.SendMessage(nullptr, std::make_unique<TMessage<Tracked>>(Tracked{}));
    EXPECT_EQ(trackedCalls, 1);
    EXPECT_EQ(Tracked::alive.load(), 0);
}

TEST(MessageBus, UnsubscribeStopsDeliveryAtOnceAndIgnoresUnknownIds) {
    TMessageManager bus;
    int a = 0, b = 0;
    const int ida = bus.Subscribe<Ping>([&](const TMessage<Ping>&) { ++a; });
    const int idb = bus.Subscribe<Ping>([&](const TMessage<Ping>&) { ++b; });
    bus.Unsubscribe<Ping>(ida);
    bus.Unsubscribe<Other>(idb);  // wrong type: nothing happens
    bus.Unsubscribe<Ping>(12345);
    bus.SendMessage(nullptr, Ping{});
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
    bus.Unsubscribe<Ping>(idb);
    bus.SendMessage(nullptr, Ping{});
    EXPECT_EQ(b, 1);
}

TEST(MessageBus, ListenersMayUnsubscribeThemselvesOthersAndSendFromInside) {
    TMessageManager bus;
    std::vector<int> calls;
    int idSelf = 0, idNext = 0;
    idSelf = bus.Subscribe<Ping>([&](const TMessage<Ping>& m) {
        calls.push_back(1);
        bus.Unsubscribe<Ping>(idSelf);  // must not deadlock on its own call
        bus.Unsubscribe<Ping>(idNext);  // the next one must not run for this send already
        if (m.Value().n == 0)
            bus.SendMessage(nullptr, Other{"nested"});
    });
    idNext = bus.Subscribe<Ping>([&](const TMessage<Ping>&) { calls.push_back(2); });
    bus.Subscribe<Other>([&](const TMessage<Other>&) { calls.push_back(3); });
    bus.SendMessage(nullptr, Ping{0});
    bus.SendMessage(nullptr, Ping{1});
    EXPECT_EQ(calls, (std::vector<int>{1, 3}));
}

TEST(MessageBus, ListenerErrorsReachTheSenderAfterEveryListenerRan) {
    TMessageManager bus;
    int after = 0;
    bus.Subscribe<Ping>([](const TMessage<Ping>&) { throw std::runtime_error("first"); });
    bus.Subscribe<Ping>([](const TMessage<Ping>&) { throw std::logic_error("second"); });
    bus.Subscribe<Ping>([&](const TMessage<Ping>&) { ++after; });
    try {
        bus.SendMessage(nullptr, Ping{});
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first");
    }
    EXPECT_EQ(after, 1);
}

// Unsubscribe from another thread while the listener runs: it waits for that call to end, and the
// listener is never entered again once Unsubscribe has returned.
TEST(MessageBus, UnsubscribeFromAnotherThreadWaitsForTheCallInProgress) {
    TMessageManager bus;
    std::promise<void> entered;
    std::atomic<bool> release{false}, unsubscribed{false}, calledAfter{false}, inside{false};
    const int id = bus.Subscribe<Ping>([&](const TMessage<Ping>& m) {
        if (unsubscribed)
            calledAfter = true;
        inside = true;
        if (m.Value().n == 0) {
            entered.set_value();
            while (!release)
                std::this_thread::yield();
        }
        inside = false;
    });
    std::thread sender([&] { bus.SendMessage(nullptr, Ping{0}); });
    entered.get_future().wait();
    auto done = std::async(std::launch::async, [&] {
        bus.Unsubscribe<Ping>(id);
        EXPECT_FALSE(inside.load()) << "returned while the listener still ran";
        unsubscribed = true;
    });
    EXPECT_EQ(done.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    release = true;
    done.get();
    sender.join();
    bus.SendMessage(nullptr, Ping{1});
    EXPECT_FALSE(calledAfter.load());
}

// Many senders and a churn of subscribe/unsubscribe on other threads: no call reaches a listener
// after its Unsubscribe returned, nothing deadlocks, and TSan sees no race.
TEST(MessageBus, ConcurrentSendsAndUnsubscribes) {
    TMessageManager bus;
    std::atomic<bool> stop{false};
    std::atomic<int> lateCalls{0}, delivered{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < 2; ++s) {
        senders.emplace_back([&] {
            while (!stop)
                bus.SendMessage(nullptr, Ping{});
        });
    }
    for (int round = 0; round < 300; ++round) {
        auto gone = std::make_shared<std::atomic<bool>>(false);
        const int id = bus.Subscribe<Ping>([&, gone](const TMessage<Ping>&) {
            if (*gone)
                ++lateCalls;
            ++delivered;
        });
        // Let the senders reach this listener at least once, so that the unsubscribe below races
        // with deliveries in progress even on a loaded machine.
        const int before = delivered.load();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (delivered.load() == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        bus.Unsubscribe<Ping>(id);
        *gone = true;
    }
    stop = true;
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_GT(delivered.load(), 0);
}

TEST(MessageBus, DefaultManagerIsOneBus) {
    EXPECT_EQ(&TMessageManager::DefaultManager(), &TMessageManager::DefaultManager());
    int got = 0;
    const int id = TMessageManager::DefaultManager().Subscribe<Ping>(
        [&](const TMessage<Ping>& m) { got = m.Value().n; });
    TMessageManager::DefaultManager().SendMessage(nullptr, Ping{7});
    TMessageManager::DefaultManager().Unsubscribe<Ping>(id);
    EXPECT_EQ(got, 7);
}
