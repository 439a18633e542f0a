#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace {
// What a second copy sends; anything else on the socket is ignored.
constexpr char ComeForwardRequest[] = "come-forward\n";

QString RuntimeDirectory() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) {
        dir = QDir::tempPath();
    }
    return dir;
}
}  // namespace

TSingleInstance::TSingleInstance(QString name, QString directory)
    : FName(std::move(name)), FDirectory(directory.isEmpty() ? RuntimeDirectory() : std::move(directory)) {}

TSingleInstance::~TSingleInstance() {
#ifdef Q_OS_WIN
    if (FMutex != nullptr) {
        CloseHandle(static_cast<HANDLE>(FMutex));
    }
#endif
}

QString TSingleInstance::LockPath() const { return QDir(FDirectory).filePath(FName + ".lock"); }

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
    QDir().mkpath(FDirectory);
    FLock = std::make_unique<QLockFile>(LockPath());
    // Never stale by age: only a lock whose process is gone (a crashed copy) is taken over.
    FLock->setStaleLockTime(0);
    if (FLock->tryLock(0)) {
        return true;
    }
    // A lock that cannot even be written (no runtime directory) must not stop the start.
    return FLock->error() == QLockFile::PermissionError || FLock->error() == QLockFile::UnknownError;
#endif
}

bool TSingleInstance::AskFirstToComeForward(int timeoutMs) {
#ifdef Q_OS_WIN
    // Windows gives the foreground only to the process the user works with; pass that right on.
    AllowSetForegroundWindow(ASFW_ANY);
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.write(ComeForwardRequest);
    const bool written = socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    return written;
#else
    // Plain POSIX: this runs before (and instead of) the application object.
    (void)timeoutMs;  // a local connect and a short write do not block
    const QByteArray path = QFile::encodeName(SocketPath());
    sockaddr_un address{};
    if (static_cast<std::size_t>(path.size()) >= sizeof(address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool sent = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        const std::size_t length = sizeof(ComeForwardRequest) - 1;
        ssize_t n;
        do {
            n = ::send(fd, ComeForwardRequest, length, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        sent = n == static_cast<ssize_t>(length);
    }
    ::close(fd);
    return sent;
#endif
}

bool TSingleInstance::Listen(std::function<void()> onComeForward) {
    FOnComeForward = std::move(onComeForward);
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket file left by a crashed copy is nobody's.
    QLocalServer::removeServer(SocketPath());
    if (!FServer->listen(SocketPath())) {
        return false;
    }
    connect(FServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = FServer->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            auto drain = [this, client] {
                while (client->canReadLine()) {
                    if (client->readLine() == ComeForwardRequest && FOnComeForward) {
                        FOnComeForward();
                    }
                }
                if (client->bytesAvailable() > 256) {
                    client->abort();  // not one of ours
                }
            };
            connect(client, &QLocalSocket::readyRead, this, drain);
            drain();
        }
    });
    return true;
}
