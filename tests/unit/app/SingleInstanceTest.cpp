// One copy per session, in one process: the lock and the request to come forward.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QLockFile>
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

TEST(SingleInstance, Start_SecondCopyIsAnsweredEvenBeforeTheFirstServes) {
    QTemporaryDir dir;
    TSingleInstance first("test-one-copy", dir.path());
    ASSERT_EQ(first.Start(), TSingleInstance::TRole::First);
    // The first copy has not got to Listen yet (still starting): the request waits for it.
    TSingleInstance second("test-one-copy", dir.path());
    EXPECT_EQ(second.Start(200), TSingleInstance::TRole::Second);
    int requests = 0;
    ASSERT_TRUE(first.Listen([&] { ++requests; }));
    EXPECT_TRUE(WaitFor([&] { return requests == 1; }));
}

TEST(SingleInstance, Start_LockHeldByLiveProcessThatNobodyAnswers_IsTakenOver) {
    // A crashed copy's lock whose process id now belongs to a live program: the lock looks held,
    // but nobody listens for requests. (Here the program is this test, holding the lock itself.)
    QTemporaryDir dir;
    TSingleInstance probe("test-one-copy", dir.path());
    QLockFile foreign(probe.LockPath());
    foreign.setStaleLockTime(0);
    ASSERT_TRUE(foreign.tryLock(0));

    TSingleInstance next("test-one-copy", dir.path());
    QElapsedTimer waited;
    waited.start();
    EXPECT_EQ(next.Start(300), TSingleInstance::TRole::First);
    EXPECT_GE(waited.elapsed(), 300) << "a starting first copy gets its moment to answer";
    // And it serves the copy after it.
    int requests = 0;
    ASSERT_TRUE(next.Listen([&] { ++requests; }));
    TSingleInstance after("test-one-copy", dir.path());
    EXPECT_EQ(after.Start(300), TSingleInstance::TRole::Second);
    EXPECT_TRUE(WaitFor([&] { return requests == 1; }));
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
