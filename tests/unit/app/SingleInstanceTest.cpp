// One copy per session, in one process: the lock and the request to come forward.
#include <gtest/gtest.h>

#include <QLocalSocket>
#include <QTemporaryDir>
#include <QWidget>

#include "QtTestEnvironment.h"
#include "app/SingleInstance.h"

TEST(SingleInstance, SecondCopy_FindsTheLockHeld_AndAsksTheFirstToComeForward) {
    QTemporaryDir dir;
    TSingleInstance first("test-one-copy", dir.path());
    ASSERT_TRUE(first.TryAcquire());
    int requests = 0;
    ASSERT_TRUE(first.Listen([&] { ++requests; }));

    TSingleInstance second("test-one-copy", dir.path());
    EXPECT_FALSE(second.TryAcquire());
    EXPECT_TRUE(second.AskFirstToComeForward());
    ASSERT_TRUE(WaitFor([&] { return requests == 1; }));
}

TEST(SingleInstance, NoFirstCopyListening_RequestFailsQuietly) {
    QTemporaryDir dir;
    TSingleInstance lonely("test-one-copy", dir.path());
    EXPECT_FALSE(lonely.AskFirstToComeForward());
}

TEST(SingleInstance, LockReleased_NextCopyStarts) {
    QTemporaryDir dir;
    {
        TSingleInstance first("test-one-copy", dir.path());
        ASSERT_TRUE(first.TryAcquire());
    }
    TSingleInstance next("test-one-copy", dir.path());
    EXPECT_TRUE(next.TryAcquire());
}

TEST(SingleInstance, GarbageOnTheSocket_IsIgnored) {
    QTemporaryDir dir;
    TSingleInstance first("test-one-copy", dir.path());
    ASSERT_TRUE(first.TryAcquire());
    int requests = 0;
    ASSERT_TRUE(first.Listen([&] { ++requests; }));
    QLocalSocket socket;
    socket.connectToServer(first.SocketPath());
    ASSERT_TRUE(socket.waitForConnected(1000));
    socket.write("raise everything\n");
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    WaitFor([] { return false; }, 200);
    EXPECT_EQ(requests, 0);
}
