#include "app/ExitPath.h"

#include <QSocketNotifier>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/UnitMain.h"
#include "platform/hooks/HookPlatform.h"

namespace {

constexpr int CaughtSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The write end is all a signal handler touches; one byte per signal, the signal number.
std::atomic<int> SignalWriteFd{-1};

extern "C" void OnTerminationSignal(int signal) {
    const int savedErrno = errno;
    const int fd = SignalWriteFd.load();
    if (fd >= 0) {
        const char byte = static_cast<char>(signal);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

struct sigaction PreviousActions[std::size(CaughtSignals)];
int SignalReadFd = -1;

std::atomic<TFormCorvastelPc*> DisplayLossWindow{nullptr};

void OnDisplayLost(const char* reason) {
    // Once: the toolkit may say the loss again from another thread while the dongles are released.
    static std::atomic_flag reported = ATOMIC_FLAG_INIT;
    if (reported.test_and_set()) {
        for (;;) {
            ::pause();
        }
    }
    TFormCorvastelPc* window = DisplayLossWindow.load();
    std::fprintf(stderr, "CorvastelPcApp: %s Releasing every key on the connected dongles and ending.\n",
                 reason);
    std::fflush(stderr);
    if (window != nullptr) {
        window->ReleaseDonglesForExit(DisplayLossGrace);
    }
    std::fprintf(stderr, "CorvastelPcApp: ended because the display is gone.\n");
    std::fflush(stderr);
    // Not exit(): static destructors would run under the Bluetooth thread, which still runs.
    std::_Exit(1);
}

// Qt's Wayland platform ends the process when its connection to the compositor breaks (the
// compositor or the desktop session ended): it says so as a fatal message, and abort() follows, so
// no exit handler runs and the dongles would keep what is held. The message is the one moment to
// release them, as the X server's loss does.
constexpr char WaylandLostReason[] =
    "The connection to the Wayland compositor was lost (the compositor or the desktop session ended).";
QtMessageHandler PreviousMessageHandler = nullptr;
bool MessageHandlerInstalled = false;

void OnToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (DisplayLossWindow.load() != nullptr &&
        (type == QtFatalMsg || type == QtCriticalMsg || type == QtWarningMsg) &&
        message.startsWith(QLatin1String("The Wayland connection"))) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        OnDisplayLost(WaylandLostReason);
    }
    if (PreviousMessageHandler != nullptr) {
        PreviousMessageHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

}  // namespace

TTerminationSignals::TTerminationSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), FOnSignal(std::move(onSignal)) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
        std::perror("CorvastelPcApp: termination signals keep their default action");
        return;
    }
    SignalReadFd = fds[0];
    SignalWriteFd = fds[1];
    FNotifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { Drain(); });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(CaughtSignals); ++i) {
        sigaction(CaughtSignals[i], &action, &PreviousActions[i]);
    }
}

TTerminationSignals::~TTerminationSignals() {
    if (FNotifier == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < std::size(CaughtSignals); ++i) {
        sigaction(CaughtSignals[i], &PreviousActions[i], nullptr);
    }
    const int writeFd = SignalWriteFd.exchange(-1);
    delete FNotifier;
    ::close(writeFd);
    ::close(std::exchange(SignalReadFd, -1));
}

void TTerminationSignals::Drain() {
    char bytes[16];
    ssize_t n;
    while ((n = ::read(SignalReadFd, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            const int signal = static_cast<unsigned char>(bytes[i]);
            if (FCaught == 0) {
                FCaught = signal;
            }
            if (FOnSignal) {
                FOnSignal(signal);
            }
        }
    }
}

void EndBySignal(int Signal) {
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
    std::_Exit(128 + Signal);  // not reached for the signals caught here
}

void ReleaseOnDisplayLoss(TFormCorvastelPc* window) {
    DisplayLossWindow = window;
    WatchDisplayLoss(window != nullptr ? OnDisplayLost : nullptr);
    // The Wayland connection's loss is said through the toolkit's messages (any backend: the
    // window may be on Wayland while evdev captures the input). Installed once, kept: it does
    // nothing while no window is watched.
    if (window != nullptr && !MessageHandlerInstalled) {
        MessageHandlerInstalled = true;
        PreviousMessageHandler = qInstallMessageHandler(OnToolkitMessage);
    }
}
