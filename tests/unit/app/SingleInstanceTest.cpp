// One copy per session, in one process: the lock and the request to come forward.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <vector>

#include "QtTestEnvironment.h"
#include "app/SingleInstance.h"

namespace {
// Sets an environment variable for one scope.
class TScopedEnv {
  public:
    TScopedEnv(const char* name, const QByteArray& value) : FName(name) {
        if (qEnvironmentVariableIsSet(name))
            FOld = qgetenv(name);
        qputenv(name, value);
    }
    ~TScopedEnv() {
        if (FOld)
            qputenv(FName, *FOld);
        else
            qunsetenv(FName);
    }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

  private:
    const char* FName;
    std::optional<QByteArray> FOld;
};

// A second start runs in a process of its own while the first serves; here, on a thread of its own
// while this thread serves the first copy's socket.
template <typename Fn>
auto WhileServing(Fn fn) {
    auto done = std::async(std::launch::async, fn);
    while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done.get();
}

int ConnectTo(const QString& socketPath, int flags = 0) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
}  // namespace

TEST(SingleInstance, SecondCopy_FindsTheLockHeld_AndAsksTheFirstToComeForward) {
    QTemporaryDir dir;
    TSingleInstance first("test-one-copy", dir.path());
    ASSERT_TRUE(first.TryAcquire());
    int requests = 0;
    ASSERT_TRUE(first.Listen([&] { ++requests; }));

    TSingleInstance second("test-one-copy", dir.path());
    EXPECT_FALSE(second.TryAcquire());
    EXPECT_TRUE(WhileServing([&] { return second.AskFirstToComeForward(); }));
    EXPECT_EQ(requests, 1) << "answered once the window was asked forward";
}

TEST(SingleInstance, Start_SecondCopyIsAnsweredEvenBeforeTheFirstServes) {
    QTemporaryDir dir;
    TSingleInstance first("test-one-copy", dir.path());
    ASSERT_EQ(first.Start(), TSingleInstance::TRole::First);
    // The first copy has not got to Listen yet (still starting): the request waits for it.
    TSingleInstance second("test-one-copy", dir.path());
    auto started = std::async(std::launch::async, [&] { return second.Start(); });
    QThread::msleep(100);
    int requests = 0;
    ASSERT_TRUE(first.Listen([&] { ++requests; }));
    EXPECT_EQ(WhileServing([&] { return started.get(); }), TSingleInstance::TRole::Second);
    EXPECT_EQ(requests, 1);
}

TEST(SingleInstance, Start_LockHeldByAnotherLiveProgramThatNobodyAnswers_IsTakenOver) {
    // A crashed copy's lock whose process id now belongs to another live program (here sleep(1)):
    // the lock looks held, but nobody listens for requests.
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(WaitFor([&] {
        return QFileInfo(QStringLiteral("/proc/%1/exe").arg(other)).symLinkTarget().endsWith("/sleep");
    }));
    QTemporaryDir dir;
    TSingleInstance probe("test-one-copy", dir.path());
    {
        // Written as the lock's own format has it, then given to the other program.
        QLockFile written(probe.LockPath());
        ASSERT_TRUE(written.tryLock(0));
        QFile file(probe.LockPath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        file.close();
        ASSERT_GE(lines.size(), 3);
        lines[0] = QByteArray::number(other);
        lines[1] = "sleep";
        const QByteArray planted = lines.join('\n');
        written.unlock();
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(planted);
        file.close();
    }

    TSingleInstance next("test-one-copy", dir.path());
    EXPECT_EQ(next.Start(300), TSingleInstance::TRole::First);
    // And it serves the copy after it.
    int requests = 0;
    ASSERT_TRUE(next.Listen([&] { ++requests; }));
    TSingleInstance after("test-one-copy", dir.path());
    EXPECT_EQ(WhileServing([&] { return after.Start(); }), TSingleInstance::TRole::Second);
    EXPECT_EQ(requests, 1);
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
}

TEST(SingleInstance, Start_LockHeldByALiveCopyOfThisProgramThatDoesNotAnswer_IsLeftAlone) {
    // A copy of this program (here: this test, holding the lock itself) that is stuck: two copies
    // would fight over the same dongles, so the start ends, naming the stuck copy.
    QTemporaryDir dir;
    TSingleInstance probe("test-one-copy", dir.path());
    QLockFile stuck(probe.LockPath());
    stuck.setStaleLockTime(0);
    ASSERT_TRUE(stuck.tryLock(0));

    TSingleInstance next("test-one-copy", dir.path());
    EXPECT_EQ(next.Start(300), TSingleInstance::TRole::Unanswered);
    EXPECT_EQ(next.SilentHolder(), static_cast<qint64>(getpid()));
    EXPECT_TRUE(stuck.isLocked()) << "the lock stays with the stuck copy";
    EXPECT_TRUE(QFile::exists(probe.LockPath()));
}

// A first copy that is stopped (or stuck) keeps its lock and its socket, and the kernel queues
// connections to it until its backlog is full. Every start meanwhile ends, in bounded time, naming
// it: not silently (the request sits in the queue, unanswered), and not by hanging in connect once
// the queue is full.
TEST(SingleInstance, Start_FirstCopyStopped_EveryStartEndsNamingIt_AlsoOnceItsQueueIsFull) {
    QTemporaryDir dir;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t first = fork();
    ASSERT_GE(first, 0);
    if (first == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The same program file as the test: it counts as a copy of this program.
        TSingleInstance stopped("test-one-copy", dir.path());
        const char taken = static_cast<char>(stopped.TryAcquire() && QFileInfo::exists(stopped.SocketPath()));
        [[maybe_unused]] ssize_t n = write(ready[1], &taken, 1);
        raise(SIGSTOP);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char taken = 0;
    ASSERT_EQ(read(ready[0], &taken, 1), 1);
    close(ready[0]);
    ASSERT_TRUE(taken);
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, WUNTRACED), first);
    ASSERT_TRUE(WIFSTOPPED(status));

    // More starts than the socket's backlog holds.
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        TSingleInstance next("test-one-copy", dir.path());
        auto started = std::async(std::launch::async, [&] { return next.Start(300); });
        const bool ended = started.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (!ended) {
            kill(first, SIGKILL);  // closes the socket, which ends the connect that hangs
            ADD_FAILURE() << "the start hangs";
            break;
        }
        EXPECT_EQ(started.get(), TSingleInstance::TRole::Unanswered);
        EXPECT_EQ(next.SilentHolder(), static_cast<qint64>(first));
    }
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
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

// A copy that is ending (closing its links, which takes the stack seconds) lets go first: a start
// meanwhile becomes the running copy, and the next one asks that new copy, not the ending one.
TEST(SingleInstance, Release_WhileTheCopyIsStillAlive_TheNextStartRunsAFreshCopy) {
    QTemporaryDir dir;
    TSingleInstance ending("test-one-copy", dir.path());
    ASSERT_EQ(ending.Start(), TSingleInstance::TRole::First);
    int toEnding = 0;
    ASSERT_TRUE(ending.Listen([&] { ++toEnding; }));
    ending.Release();
    EXPECT_FALSE(ending.Listening());

    TSingleInstance fresh("test-one-copy", dir.path());
    EXPECT_EQ(fresh.Start(300), TSingleInstance::TRole::First);
    int toFresh = 0;
    ASSERT_TRUE(fresh.Listen([&] { ++toFresh; }));
    TSingleInstance after("test-one-copy", dir.path());
    EXPECT_EQ(WhileServing([&] { return after.Start(); }), TSingleInstance::TRole::Second);
    EXPECT_EQ(toFresh, 1);
    EXPECT_EQ(toEnding, 0);
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

TEST(SingleInstance, ConnectionFlood_UsesUpNoDescriptorsAndTheNextStartIsStillAnswered) {
    QTemporaryDir dir;
    TSingleInstance first("test-one-copy", dir.path());
    ASSERT_TRUE(first.TryAcquire());
    first.SetIdleTimeout(300);
    int requests = 0;
    ASSERT_TRUE(first.Listen([&] { ++requests; }));

    // Few descriptors for this process; the flood comes from another one, which holds every
    // connection open and says nothing.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 96;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t flooder = fork();
    ASSERT_GE(flooder, 0);
    if (flooder == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        rlimit wide = saved;
        setrlimit(RLIMIT_NOFILE, &wide);
        int opened = 0;
        for (int i = 0; i < 400; ++i)
            opened += ConnectTo(first.SocketPath()) >= 0 ? 1 : 0;
        const char done = static_cast<char>(opened > 0);
        [[maybe_unused]] ssize_t n = write(ready[1], &done, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    fcntl(ready[0], F_SETFL, O_NONBLOCK);
    int most = 0;
    char done = 0;
    bool reported = false;
    const auto watch = [&] {
        most = std::max(most, first.OpenConnections());
        reported = reported || read(ready[0], &done, 1) == 1;
        return reported;
    };
    ASSERT_TRUE(WaitFor(watch, 20000));
    reported = false;
    WaitFor(watch, 200);
    close(ready[0]);

    EXPECT_TRUE(done);
    EXPECT_LE(most, TSingleInstance::MaxConnections);
    EXPECT_TRUE(first.Listening());
    EXPECT_TRUE(QFileInfo::exists(first.SocketPath()));
    TSingleInstance second("test-one-copy", dir.path());
    EXPECT_EQ(WhileServing([&] { return second.Start(); }), TSingleInstance::TRole::Second);
    EXPECT_EQ(requests, 1);
    // Idle connections do not stay.
    EXPECT_TRUE(WaitFor([&] { return first.OpenConnections() == 0; }));

    kill(flooder, SIGKILL);
    waitpid(flooder, nullptr, 0);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(SingleInstance, RuntimeFolderThatIsNotPrivate_IsNotUsed) {
    QTemporaryDir base;
    const QString own = base.filePath("cache/CorvastelPcApp");
    TScopedEnv cache("XDG_CACHE_HOME", QFile::encodeName(base.filePath("cache")));
    const QString privateDir = base.filePath("private");
    ASSERT_EQ(mkdir(QFile::encodeName(privateDir).constData(), 0700), 0);

    struct TRow {
        const char* Case;
        QString Folder;
        bool Used;
    };
    std::vector<TRow> rows = {
        {"private", privateDir, true},
        {"unset", QString(), false},
        {"missing", base.filePath("missing"), false},
        {"writable by all", base.filePath("open"), false},
        {"readable by the group", base.filePath("group"), false},
        {"a link to a private folder", base.filePath("link"), false},
    };
    ASSERT_EQ(mkdir(QFile::encodeName(rows[3].Folder).constData(), 0700), 0);
    ASSERT_EQ(chmod(QFile::encodeName(rows[3].Folder).constData(), 01777), 0);
    ASSERT_EQ(mkdir(QFile::encodeName(rows[4].Folder).constData(), 0750), 0);
    ASSERT_EQ(
        symlink(QFile::encodeName(privateDir).constData(), QFile::encodeName(rows[5].Folder).constData()), 0);
    if (geteuid() == 0) {
        // Another user's folder, mode and all as it should be.
        const QString foreign = base.filePath("foreign");
        mkdir(QFile::encodeName(foreign).constData(), 0700);
        ASSERT_EQ(chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
        rows.push_back({"another user's", foreign, false});
    }
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Case);
        TScopedEnv runtime("XDG_RUNTIME_DIR", QFile::encodeName(row.Folder));
        if (row.Folder.isEmpty())
            qunsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(TSingleInstance::SafeDirectory(), row.Used ? row.Folder : own);
    }
    EXPECT_TRUE(TSingleInstance::IsPrivateDirectory(own));

    // Our own folder with a loose mode is tightened; a file in its place is not used.
    ASSERT_EQ(chmod(QFile::encodeName(own).constData(), 0755), 0);
    TScopedEnv runtime("XDG_RUNTIME_DIR", QFile::encodeName(rows[3].Folder));
    EXPECT_EQ(TSingleInstance::SafeDirectory(), own);
    EXPECT_TRUE(TSingleInstance::IsPrivateDirectory(own));
    ASSERT_TRUE(QDir(own).removeRecursively());
    QFile planted(own);
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.close();
    EXPECT_EQ(TSingleInstance::SafeDirectory(), QString());
}

TEST(SingleInstance, SquattedRuntimeFolder_NeitherEndsTheStartNorGetsTheRequest) {
    // Someone else made the folder the runtime directory points at, and keeps a live lock and a
    // listening socket there.
    QTemporaryDir base;
    const QString squatted = base.filePath("runtime-victim");
    ASSERT_EQ(mkdir(QFile::encodeName(squatted).constData(), 0700), 0);
    ASSERT_EQ(chmod(QFile::encodeName(squatted).constData(), 0777), 0);
    TSingleInstance planter("test-one-copy", squatted);
    ASSERT_TRUE(planter.TryAcquire());
    int stolen = 0;
    ASSERT_TRUE(planter.Listen([&] { ++stolen; }));
    TScopedEnv runtime("XDG_RUNTIME_DIR", QFile::encodeName(squatted));
    TScopedEnv cache("XDG_CACHE_HOME", QFile::encodeName(base.filePath("cache")));

    TSingleInstance victim("test-one-copy");
    EXPECT_EQ(victim.Start(300), TSingleInstance::TRole::First);
    EXPECT_TRUE(victim.LockPath().startsWith(base.filePath("cache/CorvastelPcApp/")));
    WaitFor([] { return false; }, 100);
    EXPECT_EQ(stolen, 0);
}
