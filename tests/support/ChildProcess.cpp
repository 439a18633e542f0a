#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos && extra.count(entry.substr(0, eq)))
            continue;
        out.push_back(std::move(entry));
    }
    for (const auto& [k, v] : extra)
        out.push_back(k + "=" + v);
    return out;
}
}  // namespace

std::unique_ptr<TChildProcess> TChildProcess::Start(const std::vector<std::string>& argv,
                                                    const Options& options, std::string* error) {
    if (argv.empty()) {
        if (error)
            *error = "no program given";
        return nullptr;
    }
    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    std::vector<std::string> envStrings = MergedEnvironment(options.env);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args)
        argp.push_back(s.data());
    argp.push_back(nullptr);

    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        if (error)
            *error = std::strerror(errno);
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        if (error)
            *error = std::strerror(errno);
        close(errPipe[0]);
        close(errPipe[1]);
        return nullptr;
    }
    if (pid == 0) {
        setpgid(0, 0);
        // A test that crashes must not leave its servers running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (!options.stdoutPath.empty()) {
            int fd = open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                dup2(fd, 1);
        }
        if (!options.stderrPath.empty()) {
            int fd = open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                dup2(fd, 2);
        }
        if (options.passFd >= 0) {
            int flags = fcntl(options.passFd, F_GETFD);
            fcntl(options.passFd, F_SETFD, flags & ~FD_CLOEXEC);
        }
        execvpe(argp[0], argp.data(), envp.data());
        const int e = errno;
        (void)!write(errPipe[1], &e, sizeof e);
        _exit(127);
    }
    close(errPipe[1]);
    int childErrno = 0;
    const ssize_t n = read(errPipe[0], &childErrno, sizeof childErrno);
    close(errPipe[0]);
    if (n == sizeof childErrno) {
        waitpid(pid, nullptr, 0);
        if (error)
            *error = argv[0] + ": " + std::strerror(childErrno);
        return nullptr;
    }
    return std::unique_ptr<TChildProcess>(new TChildProcess(pid));
}

TChildProcess::~TChildProcess() {
    Stop();
}

bool TChildProcess::Running() {
    if (FReaped)
        return false;
    int status = 0;
    if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FReaped = true;
        FStatus = status;
        return false;
    }
    return true;
}

std::optional<int> TChildProcess::WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Running()) {
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return FStatus;
}

int TChildProcess::Stop(std::chrono::milliseconds grace) {
    if (!Running())
        return FStatus;
    kill(FPid, SIGTERM);
    if (auto status = WaitExit(grace))
        return *status;
    kill(-FPid, SIGKILL);
    kill(FPid, SIGKILL);
    int status = 0;
    waitpid(FPid, &status, 0);
    FReaped = true;
    FStatus = status;
    return status;
}

bool ProgramAvailable(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path)
        return false;
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = dirs.find(':', start);
        const std::string dir =
            dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

std::string ReadLineFromFd(int fd, std::chrono::milliseconds timeout) {
    // Xvfb writes the display number and the newline in separate writes: read until the newline.
    std::string line;
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return {};
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            return {};
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return {};
        if (c == '\n')
            return line;
        line.push_back(c);
    }
}

namespace {
// Starts a program that reports one line (a display number, a bus address) on a descriptor it is
// told about; argv gets that descriptor's number. Returns the program with *line filled in, or null
// with *error set (to `silent` when it started but reported nothing).
std::unique_ptr<TChildProcess> StartReportingLine(const std::function<std::vector<std::string>(int fd)>& argv,
                                                  TChildProcess::Options options, const char* silent,
                                                  std::string* line, std::string* error,
                                                  std::chrono::milliseconds wait = std::chrono::seconds(20)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        if (error)
            *error = std::strerror(errno);
        return nullptr;
    }
    options.passFd = fds[1];
    auto process = TChildProcess::Start(argv(fds[1]), options, error);
    close(fds[1]);
    if (process)
        *line = ReadLineFromFd(fds[0], wait);
    close(fds[0]);
    if (process && line->empty()) {
        if (error)
            *error = silent;
        return nullptr;
    }
    return process;
}
}  // namespace

std::unique_ptr<TXvfbServer> TXvfbServer::Start(int width, int height, std::string* error,
                                                std::chrono::milliseconds wait) {
    if (!ProgramAvailable("Xvfb")) {
        if (error)
            *error = "Xvfb is not installed";
        return nullptr;
    }
    TChildProcess::Options options;
    options.stderrPath = "/dev/null";
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::string number;
    auto process = StartReportingLine(
        [&](int fd) {
            return std::vector<std::string>{"Xvfb",     "-displayfd", std::to_string(fd), "-screen",
                                            "0",        screen,       "-nolisten",        "tcp",
                                            "-noreset", "+extension", "XInputExtension"};
        },
        options, "Xvfb did not report a display", &number, error, wait);
    if (!process)
        return nullptr;
    auto server = std::unique_ptr<TXvfbServer>(new TXvfbServer());
    server->FProcess = std::move(process);
    server->FDisplay = ":" + number;
    return server;
}

void TXvfbServer::Kill() {
    if (FProcess)
        FProcess->Stop(std::chrono::milliseconds(0));
    FProcess.reset();
}

std::unique_ptr<TPrivateBus> TPrivateBus::Start(std::string* error) {
    if (!ProgramAvailable("dbus-daemon")) {
        if (error)
            *error = "dbus-daemon is not installed";
        return nullptr;
    }
    auto bus = std::unique_ptr<TPrivateBus>(new TPrivateBus());
    char dirTemplate[] = "/tmp/corvastel-bus-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        if (error)
            *error = std::strerror(errno);
        return nullptr;
    }
    bus->FConfigPath = std::string(dirTemplate) + "/bus.conf";
    {
        std::ofstream conf(bus->FConfigPath);
        conf << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig>\n"
                "  <type>system</type>\n"
                "  <listen>unix:dir="
             << dirTemplate
             << "</listen>\n"
                "  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n"
                "    <allow user=\"*\"/>\n"
                "    <allow own=\"*\"/>\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow receive_sender=\"*\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "  </policy>\n"
                "</busconfig>\n";
    }
    // What it says goes to a file beside its configuration, shown only when it does not come up: as
    // root in a container it always warns that it cannot raise its descriptor limit, which means
    // nothing for a bus of a few clients and would only confuse whoever reads the demo's output.
    TChildProcess::Options options;
    options.stderrPath = std::string(dirTemplate) + "/bus.log";
    bus->FProcess = StartReportingLine(
        [&](int fd) {
            return std::vector<std::string>{"dbus-daemon", "--config-file=" + bus->FConfigPath, "--nofork",
                                            "--print-address=" + std::to_string(fd)};
        },
        options, "dbus-daemon did not report its address", &bus->FAddress, error);
    if (!bus->FProcess) {
        std::ifstream log(options.stderrPath);
        const std::string said((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        if (error && !said.empty())
            *error += ": " + said;
        return nullptr;
    }
    return bus;
}

TPrivateBus::~TPrivateBus() {
    FProcess.reset();
    if (!FConfigPath.empty()) {
        std::remove(FConfigPath.c_str());
        const auto dir = FConfigPath.substr(0, FConfigPath.rfind('/'));
        std::remove((dir + "/bus.log").c_str());
        rmdir(dir.c_str());
    }
}
