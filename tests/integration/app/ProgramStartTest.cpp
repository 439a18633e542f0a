// The program itself under Xvfb: a second start brings the first window forward and ends, a copy
// that crashed does not block the next start, and the window looks as designed.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs a shell command with the given environment prefix; returns its standard output.
std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr)
            out += buffer;
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

long RssKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

class TProgramFixture : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool", "xev", "import", "convert"}) {
            if (!ProgramAvailable(tool))
                GTEST_SKIP() << tool << " is not installed (scripts/setup-deps)";
        }
        std::string error;
        FXvfb = TXvfbServer::Start(1280, 800, &error);
        ASSERT_TRUE(FXvfb) << error;
        char dirTemplate[] = "/tmp/corvastel-run-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        FRuntimeDir = dirTemplate;
        chmod(FRuntimeDir.c_str(), 0700);
    }
    void TearDown() override {
        if (!FRuntimeDir.empty())
            std::filesystem::remove_all(FRuntimeDir);
    }

    std::string X(const std::string& command) const {
        return Capture("DISPLAY=" + FXvfb->Display() + " " + command);
    }

    std::unique_ptr<TChildProcess> StartProgram(const std::string& logName = "") const {
        TChildProcess::Options options;
        options.env = {{"DISPLAY", FXvfb->Display()},
                       {"XDG_RUNTIME_DIR", FRuntimeDir},
                       {"QT_QPA_PLATFORM", "xcb"},
                       // No Bluetooth here: keep the program off the machine's system bus.
                       {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + FRuntimeDir + "/no-bus"}};
        if (const char* asan = std::getenv("ASAN_OPTIONS")) {
            // libxkbcommon-x11 (under Qt's xcb platform) strndup()s a buffer that is not
            // NUL-terminated within its bounds; strict string checks flag that library, not us.
            options.env["ASAN_OPTIONS"] = std::string(asan) + ":strict_string_checks=0";
        }
        options.stdoutPath = FRuntimeDir + "/stdout" + logName + ".log";
        options.stderrPath = FRuntimeDir + "/stderr" + logName + ".log";
        std::string error;
        auto process = TChildProcess::Start({CORVASTEL_PC_PATH}, options, &error);
        EXPECT_TRUE(process) << error;
        return process;
    }

    // The program's visible windows, by X window id.
    std::vector<std::string> ProgramWindows() const {
        return Lines(X("xdotool search --onlyvisible --name 'Corvastel' 2>/dev/null"));
    }

    std::string WaitForProgramWindow(std::chrono::milliseconds timeout = 20s) const {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            auto windows = ProgramWindows();
            if (!windows.empty())
                return windows.front();
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }

    std::unique_ptr<TXvfbServer> FXvfb;
    std::string FRuntimeDir;
};
}  // namespace

TEST_F(TProgramFixture, SecondStart_BringsTheFirstWindowForwardAndEnds) {
    auto first = StartProgram();
    const auto started = Clock::now();
    const std::string window = WaitForProgramWindow();
    ASSERT_FALSE(window.empty()) << "the first copy shows no window";
    const auto shownMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    std::this_thread::sleep_for(1500ms);
    RecordProperty("start_to_window_ms", static_cast<int>(shownMs));
    RecordProperty("idle_rss_kb", static_cast<int>(RssKb(first->Pid())));
    std::printf("start to window shown: %lld ms; idle RSS: %ld kB\n", static_cast<long long>(shownMs),
                RssKb(first->Pid()));

    EXPECT_EQ(X("xdotool getwindowname " + window), "Corvastel® 仿真键鼠");

    // Without a window manager (Xvfb) the X server ignores a focus change stamped older than the
    // last one, so "forward" is checked by the stacking order: topmost first in xwininfo's list.
    const auto stackIndex = [&](const std::string& id) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%lx ", std::stoul(id));
        const auto lines = Lines(X("xwininfo -root -children"));
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(hex) != std::string::npos)
                return static_cast<int>(i);
        }
        return -1;
    };
    // Another client's window goes on top and takes the focus.
    TChildProcess::Options quiet;
    quiet.env = {{"DISPLAY", FXvfb->Display()}};
    quiet.stdoutPath = "/dev/null";
    auto other = TChildProcess::Start({"xev", "-name", "other-client"}, quiet);
    ASSERT_TRUE(other);
    std::string otherWindow;
    for (int i = 0; i < 200 && otherWindow.empty(); ++i) {
        otherWindow = X("xdotool search --onlyvisible --name 'other-client' 2>/dev/null | head -n 1");
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_FALSE(otherWindow.empty());
    X("xdotool windowfocus --sync " + otherWindow);
    ASSERT_GT(stackIndex(window), stackIndex(otherWindow)) << "the other client's window is not on top";

    auto second = StartProgram();
    const auto status = second->WaitExit(10s);
    ASSERT_TRUE(status.has_value()) << "the second copy keeps running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

    bool forward = false;
    for (int i = 0; i < 250 && !forward; ++i) {
        forward = stackIndex(window) >= 0 && stackIndex(window) < stackIndex(otherWindow);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(forward) << "the first window was not brought forward";
    EXPECT_EQ(ProgramWindows().size(), 1u) << "a second window appeared";
    EXPECT_TRUE(first->Running());
}

// A first copy that is stopped keeps its lock and its socket; the kernel queues connections to it
// until its backlog is full. Each start meanwhile shows the box naming the stopped copy's process,
// also once the queue is full (a blocking connect would hang there, invisibly).
TEST_F(TProgramFixture, FirstCopyStopped_EveryStartShowsTheBoxNamingIt) {
    auto first = StartProgram();
    ASSERT_FALSE(WaitForProgramWindow().empty());
    ASSERT_EQ(kill(first->Pid(), SIGSTOP), 0);
    const std::string pid = std::to_string(first->Pid());
    for (int i = 0; i < 11; ++i) {
        SCOPED_TRACE(i);
        const std::string log = "-" + std::to_string(i);
        auto next = StartProgram(log);
        // The box: a window of the new process, titled with the program's name.
        std::string box;
        const auto end = Clock::now() + 30s;
        while (box.empty() && Clock::now() < end && next->Running()) {
            box = X("xdotool search --onlyvisible --pid " + std::to_string(next->Pid()) +
                    " 2>/dev/null | head -n 1");
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_FALSE(box.empty()) << "no box from start " << i;
        EXPECT_EQ(X("xdotool getwindowname " + box), "CorvastelPcApp");
        std::ifstream err(FRuntimeDir + "/stderr" + log + ".log");
        const std::string said((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
        EXPECT_NE(said.find("(process " + pid + ") but does not answer"), std::string::npos) << said;
        if (i == 0) {
            std::this_thread::sleep_for(500ms);  // let it paint
            std::filesystem::create_directories(CORVASTEL_ARTIFACTS_DIR);
            X("import -window " + box + " " + CORVASTEL_ARTIFACTS_DIR + "/hung-copy-box.png");
        }
        next->Stop();
    }
    kill(first->Pid(), SIGCONT);
}

// No display at all, or one that cannot be reached: one plain line and status 1, not Qt's abort.
TEST(ProgramWithoutDisplay, SaysSoInOneLineAndEndsWithStatusOne) {
    struct TCase {
        const char* Display;
        const char* Said;
    };
    const TCase cases[] = {{"", "none is set"}, {":987", "DISPLAY=:987 cannot be reached"}};
    char dirTemplate[] = "/tmp/corvastel-nodisplay-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Display);
        TChildProcess::Options options;
        options.env = {{"DISPLAY", c.Display},
                       {"WAYLAND_DISPLAY", ""},
                       {"QT_QPA_PLATFORM", ""},
                       {"XDG_RUNTIME_DIR", dir},
                       {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir + "/no-bus"}};
        options.stdoutPath = dir + "/stdout.log";
        options.stderrPath = dir + "/stderr.log";
        auto program = TChildProcess::Start({CORVASTEL_PC_PATH}, options);
        ASSERT_TRUE(program);
        const auto status = program->WaitExit(30s);
        ASSERT_TRUE(status.has_value()) << "it keeps running";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "status " << *status;
        std::ifstream err(dir + "/stderr.log");
        const std::string said((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
        const auto lines = Lines(said);
        ASSERT_EQ(lines.size(), 1u) << said;
        EXPECT_NE(lines[0].find(c.Said), std::string::npos) << said;
    }
    std::filesystem::remove_all(dir);
}

TEST_F(TProgramFixture, CopyThatCrashed_DoesNotBlockTheNextStart) {
    auto crashed = StartProgram();
    ASSERT_FALSE(WaitForProgramWindow().empty());
    kill(crashed->Pid(), SIGKILL);
    ASSERT_TRUE(crashed->WaitExit(5s).has_value());
    ASSERT_TRUE(std::filesystem::exists(FRuntimeDir + "/hkCorvastelPcOneCopy.lock"))
        << "the lock outlives the crash";

    auto next = StartProgram();
    EXPECT_FALSE(WaitForProgramWindow().empty()) << "the next start shows its window";
    EXPECT_TRUE(next->Running());
    // And it serves a later start as the first copy.
    auto third = StartProgram();
    const auto status = third->WaitExit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(ProgramWindows().size(), 1u);
}

TEST_F(TProgramFixture, Screenshot_WindowHasItsSizeAndIsDrawn) {
    auto program = StartProgram();
    const std::string window = WaitForProgramWindow();
    ASSERT_FALSE(window.empty());
    std::this_thread::sleep_for(1s);  // let it paint
    std::filesystem::create_directories(CORVASTEL_SCREENSHOT_DIR);
    const std::string path = std::string(CORVASTEL_SCREENSHOT_DIR) + "/screenshot-main.png";
    std::filesystem::remove(path);
    X("import -window " + window + " " + path);
    ASSERT_TRUE(std::filesystem::exists(path));
    // Client area at 96 dpi (Xvfb's resolution; no window manager, so no frame).
    EXPECT_EQ(Capture("identify -format '%wx%h' " + path), "642x401");
    // A blank or unpainted window has a handful of colours; text, pictures and frames give many.
    const int colours = std::stoi("0" + Capture("convert " + path + " -format %k info:"));
    EXPECT_GT(colours, 30) << "the window looks blank";
    std::printf("screenshot: %s (%d colours)\n", path.c_str(), colours);
}
