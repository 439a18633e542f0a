#pragma once
// How the program ends when the user does not close the window: a termination signal (logout,
// `kill`, Ctrl+C in a terminal) or the display going away under it. Either way no key may stay held
// on a target: every active dongle is sent its all-released reports and its link is closed before
// the process ends.
//
// A signal takes the same way as closing the window (releases written, links closed, hooks
// removed), run by the event loop. The loss of the display leaves no event loop to run: the
// dongles are released from where the loss was noticed, then the process ends with status 1 and a
// message on stderr.

#include <QObject>

#include <chrono>
#include <functional>

class QSocketNotifier;
class TFormCorvastelPc;

// Catches SIGTERM, SIGINT and SIGHUP for as long as it lives; onSignal runs for each on this
// object's thread, from its event loop (a signal handler itself may do next to nothing). The
// previous dispositions come back when it is destroyed.
class TTerminationSignals : public QObject {
  public:
    explicit TTerminationSignals(std::function<void(int Signal)> onSignal, QObject* parent = nullptr);
    ~TTerminationSignals() override;
    TTerminationSignals(const TTerminationSignals&) = delete;
    TTerminationSignals& operator=(const TTerminationSignals&) = delete;

    // The first signal caught, 0 for none.
    int Caught() const { return FCaught; }

  private:
    void Drain();
    std::function<void(int)> FOnSignal;
    QSocketNotifier* FNotifier = nullptr;
    int FCaught = 0;
};

// Ends the process the way a parent expects of a program stopped by the signal: the default
// disposition, raised again. Call once everything is torn down.
[[noreturn]] void EndBySignal(int Signal);

// While window is set, losing the display releases its dongles (waiting at most DisplayLossGrace),
// says so on stderr and ends the process with status 1. Null stops it (before the window goes).
// The display is the X server, or the Wayland compositor whose loss Qt reports (the desktop
// session ending takes it along), whichever backend captures the input.
void ReleaseOnDisplayLoss(TFormCorvastelPc* window);
inline constexpr std::chrono::milliseconds DisplayLossGrace{1500};
