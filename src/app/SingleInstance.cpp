#include "app/SingleInstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace {
// What a second copy sends; anything else on the socket is ignored.
constexpr char ComeForwardRequest[] = "come-forward\n";
// What the first copy answers once its window was brought forward. Sent from the thread that runs
// the window: a copy whose window cannot come forward (stopped, or stuck) does not answer.
constexpr char ComeForwardAnswer[] = "ok\n";

// The folder of ours under the user's home, when the runtime directory cannot be trusted.
constexpr char HomeFolderName[] = "CorvastelPcApp";
}  // namespace

bool TSingleInstance::IsPrivateDirectory(const QString& path) {
#ifdef Q_OS_WIN
    return !path.isEmpty() && QFileInfo(path).isDir();
#else
    struct stat st {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 0777) == 0700;
#endif
}

QString TSingleInstance::SafeDirectory() {
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
#else
    // Qt's own fallback for a missing XDG_RUNTIME_DIR is /tmp/runtime-<user>, which anybody can
    // create first, so only the variable itself is taken, and only when the folder is private.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (IsPrivateDirectory(runtime)) {
        return runtime;
    }
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty()) {
        return {};
    }
    const QString own = QDir(cache).filePath(QString::fromLatin1(HomeFolderName));
    const QByteArray path = QFile::encodeName(own);
    QDir().mkpath(cache);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        return {};
    }
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 0777) != 0700) {
        ::chmod(path.constData(), 0700);
    }
    return IsPrivateDirectory(own) ? own : QString();
#endif
}

TSingleInstance::TSingleInstance(QString name, QString directory)
    : FName(std::move(name)), FDirectory(directory.isEmpty() ? SafeDirectory() : std::move(directory)) {}

TSingleInstance::~TSingleInstance() {
    Release();
}

void TSingleInstance::Release() {
    // The connections go first, while the list they take themselves off is still there.
    delete std::exchange(FServer, nullptr);
#ifdef Q_OS_WIN
    if (FMutex != nullptr) {
        CloseHandle(static_cast<HANDLE>(std::exchange(FMutex, nullptr)));
    }
#else
    if (FListenFd >= 0) {
        ::close(std::exchange(FListenFd, -1));
    }
#endif
    FLock.reset();
}

QString TSingleInstance::LockPath() const {
    return QDir(FDirectory).filePath(FName + ".lock");
}

QString TSingleInstance::SocketPath() const {
#ifdef Q_OS_WIN
    return FName;  // a named pipe
#else
    return QDir(FDirectory).filePath(FName + ".socket");
#endif
}

bool TSingleInstance::TryAcquire() {
#ifdef Q_OS_WIN
    const std::wstring name = FName.toStdWString();
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    FMutex = mutex;
    // A mutex that cannot be created does not stop the start; neither does one whose owner ended
    // without releasing it (WAIT_ABANDONED hands it to us).
    return mutex == nullptr || WaitForSingleObject(mutex, 0) != WAIT_TIMEOUT;
#else
    if (FDirectory.isEmpty()) {
        return true;  // nowhere safe to keep a lock: run, without the guard
    }
    FLock = std::make_unique<QLockFile>(LockPath());
    // Never stale by age: only a lock whose process is gone (a crashed copy) is taken over.
    FLock->setStaleLockTime(0);
    if (!FLock->tryLock(0)) {
        // A lock that cannot even be written (no runtime directory) must not stop the start.
        return FLock->error() == QLockFile::PermissionError || FLock->error() == QLockFile::UnknownError;
    }
    // Listen at once, so a second start in the next moments reaches us while we are still
    // starting (its request waits in the socket's queue until Listen).
    const QByteArray path = QFile::encodeName(SocketPath());
    sockaddr_un address{};
    if (static_cast<std::size_t>(path.size()) < sizeof(address.sun_path)) {
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // We hold the lock, so a socket file left by a crashed copy is nobody's.
        ::unlink(path.constData());
        if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
            ::chmod(path.constData(), 0600) == 0 && ::listen(fd, 8) == 0) {
            FListenFd = fd;
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    return true;
#endif
}

TSingleInstance::TRole TSingleInstance::Start(int answerWaitMs) {
    if (TryAcquire()) {
        return TRole::First;
    }
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const int left = static_cast<int>(std::max<qint64>(0, answerWaitMs - waited.elapsed()));
        const TAsk asked = Ask(left);
        if (asked == TAsk::Answered) {
            return TRole::Second;
        }
        if (asked == TAsk::Unanswered || waited.elapsed() >= answerWaitMs) {
            break;  // the copy took the request and kept silent for the whole wait
        }
        // Nobody took the connection: the first copy may be between taking the lock and listening
        // (or its queue is full); give it a moment.
        QThread::msleep(50);
    }
    if (TakeOverSilentLock()) {
        return TRole::First;
    }
    return FSilentHolder > 0 ? TRole::Unanswered : TRole::Second;
}

bool TSingleInstance::HolderIsThisProgram(qint64 Pid) {
#if defined(Q_OS_WIN)
    (void)Pid;
    return false;
#else
    // The program file each process runs, as the kernel names it. A program replaced on disk since
    // it started (an update) is named with " (deleted)" after its path.
    const auto programOf = [](const QByteArray& link) {
        QByteArray target(4096, '\0');
        const ssize_t n =
            ::readlink(link.constData(), target.data(), static_cast<std::size_t>(target.size()));
        if (n <= 0 || n >= target.size()) {
            return QByteArray();
        }
        target.truncate(n);
        static const QByteArray deleted(" (deleted)");
        if (target.endsWith(deleted)) {
            target.chop(deleted.size());
        }
        return target;
    };
    const QByteArray holder = programOf("/proc/" + QByteArray::number(Pid) + "/exe");
    const QByteArray self = programOf("/proc/self/exe");
    // Where the system does not say (no /proc), it does not count as ours: as before the check, a
    // crashed copy's lock must not keep every later start from running.
    return !holder.isEmpty() && holder == self;
#endif
}

bool TSingleInstance::TakeOverSilentLock() {
#ifdef Q_OS_WIN
    return false;  // a mutex cannot outlive its owners
#else
    // Held, yet nobody answers. Either the copy that took it is gone and its process id now belongs
    // to another program, which the lock's own check cannot tell: the lock is taken over. Or a copy
    // of this program holds it and does not answer (hung, or busy for longer than the wait): it is
    // left alone, as two copies would fight over the same dongles.
    qint64 pid = 0;
    QString host;
    QString application;
    if (FLock && FLock->getLockInfo(&pid, &host, &application) && pid > 0 && HolderIsThisProgram(pid)) {
        FSilentHolder = pid;
        return false;
    }
    FLock.reset();
    QFile::remove(LockPath());
    return TryAcquire();
#endif
}

bool TSingleInstance::AskFirstToComeForward(int answerWaitMs) {
    return Ask(answerWaitMs) == TAsk::Answered;
}

TSingleInstance::TAsk TSingleInstance::Ask(int answerWaitMs) {
#ifdef Q_OS_WIN
    (void)answerWaitMs;
    // Windows gives the foreground only to the process the user works with; pass that right on.
    AllowSetForegroundWindow(ASFW_ANY);
    // Plain Win32 (this runs before, and instead of, the application object): the first copy's
    // QLocalServer is the pipe \\.\pipe\<name>.
    const std::wstring pipe = L"\\\\.\\pipe\\" + FName.toStdWString();
    HANDLE handle = CreateFileW(pipe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return TAsk::NotTaken;
    }
    DWORD written = 0;
    const DWORD length = sizeof(ComeForwardRequest) - 1;
    const bool sent = WriteFile(handle, ComeForwardRequest, length, &written, nullptr) && written == length;
    CloseHandle(handle);
    return sent ? TAsk::Answered : TAsk::NotTaken;
#else
    // Plain POSIX: this runs before (and instead of) the application object. Nothing here may block
    // for longer than the wait: a first copy that is stopped still has its socket, and the kernel
    // queues connections to it until its backlog is full, after which a blocking connect would wait
    // for good.
    const QByteArray path = QFile::encodeName(SocketPath());
    sockaddr_un address{};
    if (FDirectory.isEmpty() || static_cast<std::size_t>(path.size()) >= sizeof(address.sun_path)) {
        return TAsk::NotTaken;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return TAsk::NotTaken;
    }
    // A local connect does not wait for the peer's accept: it succeeds while the backlog has room
    // and fails with EAGAIN once it is full.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return TAsk::NotTaken;
    }
    const std::size_t length = sizeof(ComeForwardRequest) - 1;
    ssize_t n;
    do {
        n = ::send(fd, ComeForwardRequest, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(length)) {
        ::close(fd);
        return TAsk::NotTaken;
    }
    QElapsedTimer waited;
    waited.start();
    QByteArray answer;
    while (!answer.endsWith('\n') && answer.size() < 16) {
        const qint64 left = answerWaitMs - waited.elapsed();
        if (left <= 0) {
            break;
        }
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        char buffer[16];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            break;  // closed without answering: a copy that dropped us (its queue was full)
        }
        answer.append(buffer, static_cast<int>(got));
    }
    ::close(fd);
    return answer == ComeForwardAnswer ? TAsk::Answered : TAsk::Unanswered;
#endif
}

bool TSingleInstance::Listen(std::function<void()> onComeForward) {
    FOnComeForward = std::move(onComeForward);
    FServer = new QLocalServer(this);
#ifdef Q_OS_WIN
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!FServer->listen(SocketPath())) {
        return false;
    }
#else
    if (FListenFd < 0 || !FServer->listen(static_cast<qintptr>(std::exchange(FListenFd, -1)))) {
        return false;
    }
#endif
    connect(FServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = FServer->nextPendingConnection()) {
            Serve(client);
        }
    });
    return true;
}

void TSingleInstance::Serve(QLocalSocket* client) {
    // Full: the oldest goes, the connection most likely left idle; the newest is the one a starting
    // copy has just opened.
    if (FClients.size() >= static_cast<std::size_t>(MaxConnections)) {
        Drop(FClients.front());
    }
    FClients.push_back(client);
    connect(client, &QObject::destroyed, this, [this, client] { std::erase(FClients, client); });
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    QTimer::singleShot(FIdleTimeoutMs, client, [this, client] { Drop(client); });
    auto drain = [this, client] {
        while (client->canReadLine()) {
            if (client->readLine() == ComeForwardRequest && FOnComeForward) {
                FOnComeForward();
                // Only once the window was asked to come forward: the second copy ends on it.
                client->write(ComeForwardAnswer);
                client->flush();
            }
        }
        if (client->bytesAvailable() > 256) {
            Drop(client);  // not one of ours
        }
    };
    connect(client, &QLocalSocket::readyRead, this, drain);
    drain();
}

void TSingleInstance::Drop(QLocalSocket* client) {
    std::erase(FClients, client);
    client->abort();
    client->deleteLater();
}

bool TSingleInstance::Listening() const {
    return FServer != nullptr && FServer->isListening();
}
