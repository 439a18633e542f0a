#pragma once
// One running copy per desktop session. The first copy holds a lock for its whole run and listens
// on a local socket; a second start finds the lock held, asks the first copy (through the socket)
// to bring its window forward, and ends without creating a window or an application object.
//
// Linux and macOS: a lock file in the user's runtime directory and a local socket beside it. A copy
// that crashed leaves its lock behind; it does not block the next start, also when its process id
// has since been reused by another program (the lock then has nobody answering on the socket). A
// lock held by a live copy of this program that does not answer is not taken over.
// Whoever can write the folder can plant a lock and a socket there (and so make every start end, and
// receive its requests), so the folder must be the user's own with mode 0700: $XDG_RUNTIME_DIR when
// it is, else a folder of ours under the user's home. The socket serves at most MaxConnections
// clients at once (the newest pushes out the oldest) and drops one that stays idle, so a flood of
// connections can neither use up the descriptors nor make the server give up its socket.
// Windows: the named mutex "hkCorvastelPcOneCopy" (an abandoned mutex counts as taken over), with a
// local socket (a named pipe) for the request; the second copy allows the first to take the
// foreground, which Windows otherwise refuses to a background process.

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QLocalServer;
class QLocalSocket;
class QLockFile;

inline constexpr char SingleInstanceName[] = "hkCorvastelPcOneCopy";

class TSingleInstance : public QObject {
  public:
    enum class TRole {
        First,       // this copy runs
        Second,      // another copy runs and was asked to come forward (or could not be reached): end
        Unanswered,  // a live copy of this program holds the lock but does not answer: say so, end
    };

    // directory: where the lock and the socket live; empty for SafeDirectory().
    explicit TSingleInstance(QString name = SingleInstanceName, QString directory = {});

    // Where the lock and the socket live: $XDG_RUNTIME_DIR when it is a folder (not a link) owned by
    // this user with mode 0700; else <generic cache folder>/CorvastelPcApp, created with mode 0700
    // (a folder of ours with a looser mode is tightened); empty when neither is usable (the copy then
    // runs without a lock). POSIX; on Windows the lock is a named mutex.
    static QString SafeDirectory();
    // Whether the folder is a real folder owned by this user, with mode 0700.
    static bool IsPrivateDirectory(const QString& path);

    static constexpr int MaxConnections = 8;
    static constexpr int IdleTimeoutMs = 2000;
    // How long a connection may stay without a request (tests shorten it).
    void SetIdleTimeout(int ms) { FIdleTimeoutMs = ms; }
    // Connections being served now.
    int OpenConnections() const { return static_cast<int>(FClients.size()); }
    // Whether the socket still takes connections.
    bool Listening() const;
    ~TSingleInstance() override;
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Program start: becomes the running copy, or asks the running one to come forward. Works
    // before the application object exists, and never waits much longer than answerWaitMs: that
    // long a held lock may go unanswered before it is taken for a crashed copy's, or the copy
    // holding it for a stuck one (a copy answers only once its window was asked forward, so a
    // stopped or stuck copy is told from one that is there).
    TRole Start(int answerWaitMs = 3000);

    // The parts of Start, for tests.
    // Tries to become the running copy; true when this is the first. What is taken is held until
    // this object (or the process) ends; the socket already accepts requests (they wait until
    // Listen).
    bool TryAcquire();
    // A second copy: asks the first to bring its window forward. True when the first answered
    // within answerWaitMs that it did.
    bool AskFirstToComeForward(int answerWaitMs = 1000);

    // The first copy: serves requests, calling onComeForward on this object's thread for each.
    // Needs the application's event loop. False when there is no socket (the copy runs on; a
    // second start then just ends).
    bool Listen(std::function<void()> onComeForward);

    // The running copy is ending: the lock and the socket are let go at once, so a start while this
    // copy still closes its links runs as a fresh copy instead of being sent to a window that is
    // gone. Requests no longer reach this copy.
    void Release();

    QString LockPath() const;
    QString SocketPath() const;

    // The process id of the copy that holds the lock without answering (after Start said
    // Unanswered); 0 otherwise.
    qint64 SilentHolder() const { return FSilentHolder; }
    // Whether the process with this id runs this program (the same program file). Linux; false
    // where the system does not say.
    static bool HolderIsThisProgram(qint64 Pid);

  private:
    enum class TAsk {
        NotTaken,    // nobody took the request (no socket, nobody listening, its queue full)
        Unanswered,  // taken, but no answer came within the wait
        Answered,
    };
    TAsk Ask(int answerWaitMs);
    bool TakeOverSilentLock();

    QString FName;
    QString FDirectory;
    std::unique_ptr<QLockFile> FLock;
    void* FMutex = nullptr;  // Windows: the mutex handle
    qint64 FSilentHolder = 0;
    int FListenFd = -1;  // POSIX: listening before the application object exists
    QLocalServer* FServer = nullptr;
    std::function<void()> FOnComeForward;
    int FIdleTimeoutMs = IdleTimeoutMs;
    void Serve(QLocalSocket* client);
    void Drop(QLocalSocket* client);
    std::vector<QLocalSocket*> FClients;  // oldest first
};
