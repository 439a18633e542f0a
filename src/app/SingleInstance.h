#pragma once
// One running copy per desktop session. The first copy holds a lock for its whole run and listens
// on a local socket; a second start finds the lock held, asks the first copy (through the socket)
// to bring its window forward, and ends without creating a window or an application object.
//
// Linux and macOS: a lock file in the user's runtime directory (a copy that crashed leaves a lock
// whose process is gone, which does not count) and a local socket beside it. Windows: the named
// mutex "hkCorvastelPcOneCopy" (an abandoned mutex counts as taken over), with the same local
// socket for the request; the second copy allows the first to take the foreground, which Windows
// otherwise refuses to a background process.

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;

inline constexpr char SingleInstanceName[] = "hkCorvastelPcOneCopy";

class TSingleInstance : public QObject {
public:
    // directory: where the lock and the socket live; empty for the user's runtime directory.
    explicit TSingleInstance(QString name = SingleInstanceName, QString directory = {});
    ~TSingleInstance() override;
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Tries to become the running copy; true when this is the first. Works before the application
    // object exists. What is taken is held until this object (or the process) ends.
    bool TryAcquire();

    // A second copy: asks the first to bring its window forward. True when the request was
    // delivered. Works before the application object exists.
    bool AskFirstToComeForward(int timeoutMs = 2000);

    // The first copy: listens for requests and calls onComeForward on this object's thread for each.
    // Needs the application's event loop. False when the socket cannot be opened (the copy runs
    // on; a second start then just ends).
    bool Listen(std::function<void()> onComeForward);

    QString LockPath() const;
    QString SocketPath() const;

private:
    QString FName;
    QString FDirectory;
    std::unique_ptr<QLockFile> FLock;
    void* FMutex = nullptr;  // Windows: the mutex handle
    QLocalServer* FServer = nullptr;
    std::function<void()> FOnComeForward;
};
