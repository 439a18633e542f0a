#pragma once
// Processes that tests start and must stop: a child process, a virtual X server and a private D-Bus
// bus. POSIX only; used by integration and end-to-end fixtures.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One child process. The destructor ends it (SIGTERM, then SIGKILL after a grace period) and reaps it.
class TChildProcess {
  public:
    struct Options {
        std::map<std::string, std::string> env;  // added to (or replacing in) the parent's environment
        std::string stdoutPath;                  // empty: inherit
        std::string stderrPath;                  // empty: inherit
        int passFd = -1;  // a descriptor the child keeps (for -displayfd style handshakes)
    };

    // Starts argv[0] (searched in PATH). Returns null and sets *error when it cannot start.
    static std::unique_ptr<TChildProcess> Start(const std::vector<std::string>& argv, const Options& options,
                                                std::string* error = nullptr);
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    int Pid() const { return FPid; }
    bool Running();
    // Sends SIGTERM and waits up to grace, then SIGKILL. Returns the exit status (as from waitpid).
    int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    // Waits for the child to end by itself; nullopt on time-out.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);

  private:
    explicit TChildProcess(int pid) : FPid(pid) {}
    int FPid;
    bool FReaped = false;
    int FStatus = 0;
};

// True when the program is found in PATH.
bool ProgramAvailable(const std::string& name);

// Reads one line from fd, waiting at most timeout. Empty on time-out or end of file.
std::string ReadLineFromFd(int fd, std::chrono::milliseconds timeout);

// A virtual X server on a free display number, found with -displayfd.
class TXvfbServer {
  public:
    // `wait`: how long it may take to report its display.
    static std::unique_ptr<TXvfbServer> Start(int width = 1280, int height = 800,
                                              std::string* error = nullptr,
                                              std::chrono::milliseconds wait = std::chrono::seconds(20));
    // ":N"
    const std::string& Display() const { return FDisplay; }
    // Ends the server now, without waiting for it to finish: every client loses its connection.
    void Kill();

  private:
    TXvfbServer() = default;
    std::unique_ptr<TChildProcess> FProcess;
    std::string FDisplay;
};

// A private dbus-daemon with an allow-all policy, standing in for the system bus.
class TPrivateBus {
  public:
    static std::unique_ptr<TPrivateBus> Start(std::string* error = nullptr);
    ~TPrivateBus();
    // The address to put in DBUS_SYSTEM_BUS_ADDRESS (or DBUS_SESSION_BUS_ADDRESS).
    const std::string& Address() const { return FAddress; }

  private:
    TPrivateBus() = default;
    std::unique_ptr<TChildProcess> FProcess;
    std::string FAddress;
    std::string FConfigPath;
};
