// Start to the first frame: the built program under Xvfb (no window manager) with a private system
// bus on which no Bluetooth service runs, started as a user starts it, from a folder of its own with
// no settings yet. Per run: the time from starting the process to its window being mapped (the
// server's MapNotify) and to its first frame on the screen (the window's pixels no longer blank),
// the resident memory then, and the CPU the program used until then and while idle afterwards.
//
// Figures per benchmark (counters, over the runs): mapped_p50/max_ms, painted_p50/max_ms (when
// the frame was seen), painted_span_p50_ms (it came at most that long before), rss_mb (p50 at the
// first frame), cpu_to_frame_ms and idle_cpu_ms (p50, /proc ticks: 10 ms
// steps). Never a pass/fail on time: the program fails only when it cannot measure.
//
//   bench_start [--runs=5] [--idle-ms=2000] [Google Benchmark options]
// --idle-ms: how long after the first frame the program is watched idling (0: not at all).

#include <benchmark/benchmark.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchStats.h"
#include "ChildProcess.h"
#include "E2eWorld.h"
#include "XSession.h"

// After the harness's headers: X's macros (Bool, Status, None) clash with Qt's.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using bench::Percentile;

struct TSettings {
    int runs = 5;
    std::chrono::milliseconds idle{2000};
};
TSettings Settings;
bool Failed = false;

// A window counts as painted once it shows this many colours: an unpainted one shows one or two,
// the window's text and controls far more (the end-to-end tests call fewer than 30 blank).
constexpr std::size_t PaintedColours = 30;

int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

// Whether the window shows at least PaintedColours colours in every third row and column: the
// first frame reaches the screen in one piece, so a sample tells it. Cheap, so the poll keeps
// off the server and the CPU the program draws with. False when the window cannot be read.
bool LooksPainted(Display* d, Window w) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable)
        return false;
    XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height),
                              AllPlanes, ZPixmap);
    if (image == nullptr)
        return false;
    std::vector<unsigned long> colours;
    for (int y = 0; y < a.height && colours.size() < PaintedColours; y += 3) {
        for (int x = 0; x < a.width && colours.size() < PaintedColours; x += 3) {
            const unsigned long c = XGetPixel(image, x, y) & 0xFFFFFFul;
            if (std::find(colours.begin(), colours.end(), c) == colours.end())
                colours.push_back(c);
        }
    }
    XDestroyImage(image);
    return colours.size() >= PaintedColours;
}

// utime + stime of a process in clock ticks; nullopt once it is gone.
std::optional<long> CpuTicks(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return std::nullopt;
    // The command name (field 2) may hold spaces: count fields from its closing parenthesis.
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atol(field.c_str());
        else if (i == 15)
            stime = std::atol(field.c_str());
    }
    return utime + stime;
}

double RssMb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// What the program needs around it, for every run.
struct TWorld {
    std::unique_ptr<TXvfbServer> xvfb;
    std::unique_ptr<TPrivateBus> bus;
    std::unique_ptr<e2e::TXInput> x;  // finds the window by its title
    Display* events = nullptr;        // the root's MapNotify events
    std::string runDir;
    ~TWorld() {
        if (events)
            XCloseDisplay(events);
        x.reset();
        bus.reset();
        xvfb.reset();
        if (!runDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(runDir, ignored);
        }
    }
};

std::unique_ptr<TWorld> StartWorld(std::string* error) {
    for (const char* tool : {"Xvfb", "dbus-daemon"}) {
        if (!ProgramAvailable(tool)) {
            *error = std::string(tool) + " is not installed (scripts/setup-deps)";
            return nullptr;
        }
    }
    auto w = std::make_unique<TWorld>();
    char dirTemplate[] = "/tmp/corvastel-start-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        *error = "cannot make a temporary folder";
        return nullptr;
    }
    w->runDir = dirTemplate;
    std::string why;
    w->xvfb = TXvfbServer::Start(1280, 800, &why);
    if (!w->xvfb) {
        *error = "Xvfb: " + why;
        return nullptr;
    }
    w->bus = TPrivateBus::Start(&why);
    if (!w->bus) {
        *error = "private bus: " + why;
        return nullptr;
    }
    w->x = e2e::TXInput::Open(w->xvfb->Display(), &why);
    if (!w->x) {
        *error = why;
        return nullptr;
    }
    XSetErrorHandler(IgnoreXError);
    w->events = XOpenDisplay(w->xvfb->Display().c_str());
    if (w->events == nullptr) {
        *error = "cannot open X display " + w->xvfb->Display();
        return nullptr;
    }
    XSelectInput(w->events, DefaultRootWindow(w->events), SubstructureNotifyMask);
    XSync(w->events, False);
    return w;
}

struct TRun {
    double mappedMs = 0;
    double paintedMs = 0;
    double paintedSpanMs = 0;  // how exact paintedMs is: the frame came at most this long before
    double rssMb = 0;
    double cpuToFrameMs = 0;
    double idleCpuMs = 0;
};

// One start of the program from a fresh folder; false with the reason when it cannot be measured.
bool RunOnce(TWorld& w, int index, TRun* run, std::string* error) {
    const std::string dir = w.runDir + "/run" + std::to_string(index);
    const std::string app = dir + "/" + std::filesystem::path(CORVASTEL_PC_PATH).filename().string();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!ec)
        std::filesystem::copy_file(CORVASTEL_PC_PATH, app, ec);
    if (ec) {
        *error = "cannot copy the program to " + dir + ": " + ec.message();
        return false;
    }
    // Left over from the run before: its window's unmapping and destruction.
    while (XPending(w.events)) {
        XEvent e;
        XNextEvent(w.events, &e);
    }
    TChildProcess::Options options;
    options.env = {{"DISPLAY", w.xvfb->Display()},
                   {"QT_QPA_PLATFORM", "xcb"},
                   {"XDG_RUNTIME_DIR", w.runDir},
                   {"DBUS_SYSTEM_BUS_ADDRESS", w.bus->Address()}};
    options.stdoutPath = dir + "/app.out.log";
    options.stderrPath = dir + "/app.err.log";
    const long tick = sysconf(_SC_CLK_TCK);
    const auto start = Clock::now();
    auto process = TChildProcess::Start({app}, options, error);
    if (!process)
        return false;
    const auto deadline = start + 30s;

    Window window = 0;
    while (window == 0) {
        if (Clock::now() >= deadline || !process->Running()) {
            *error = process->Running() ? "the window did not appear in 30 s"
                                        : "the program ended before its window appeared";
            return false;
        }
        pollfd fd{ConnectionNumber(w.events), POLLIN, 0};
        if (!XPending(w.events))
            poll(&fd, 1, 5);
        while (XPending(w.events)) {
            XEvent e;
            XNextEvent(w.events, &e);
            if (e.type == MapNotify && window == 0 && w.x->FindWindow(e2e::AppWindowTitle) == e.xmap.window) {
                run->mappedMs = Ms(Clock::now() - start);
                window = e.xmap.window;
            }
        }
    }
    // The frame came after the last blank look was asked for and before the first painted one was
    // answered: the span between is how exact the figure is (the server answers a look only after
    // what the program asked of it before, which takes long on a busy machine).
    auto looked = Clock::now();
    while (!LooksPainted(w.events, window)) {
        if (Clock::now() >= deadline || !process->Running()) {
            *error = "the window stayed blank";
            return false;
        }
        std::this_thread::sleep_for(1ms);
        looked = Clock::now();
    }
    const auto painted = Clock::now();
    run->paintedMs = Ms(painted - start);
    run->paintedSpanMs = Ms(painted - looked);
    run->rssMb = RssMb(process->Pid());
    const auto atFrame = CpuTicks(process->Pid());
    run->cpuToFrameMs = atFrame ? 1000.0 * static_cast<double>(*atFrame) / static_cast<double>(tick) : 0;
    if (Settings.idle.count() > 0) {
        std::this_thread::sleep_until(painted + Settings.idle);
        const auto later = CpuTicks(process->Pid());
        if (!atFrame || !later) {
            *error = "the program ended while idle";
            return false;
        }
        run->idleCpuMs = 1000.0 * static_cast<double>(*later - *atFrame) / static_cast<double>(tick);
    }
    process->Stop(5000ms);
    std::filesystem::remove_all(dir, ec);
    return true;
}

void BM_StartToFirstFrame(benchmark::State& state) {
    std::string error;
    auto world = StartWorld(&error);
    if (!world) {
        Failed = true;
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<double> mapped, painted, span, rss, cpu, idle;
    int index = 0;
    for (auto _ : state) {
        TRun run;
        if (!RunOnce(*world, index++, &run, &error)) {
            Failed = true;
            state.SkipWithError(error.c_str());
            break;
        }
        state.SetIterationTime(run.paintedMs / 1000.0);
        mapped.push_back(run.mappedMs);
        painted.push_back(run.paintedMs);
        span.push_back(run.paintedSpanMs);
        rss.push_back(run.rssMb);
        cpu.push_back(run.cpuToFrameMs);
        idle.push_back(run.idleCpuMs);
    }
    state.counters["mapped_p50_ms"] = Percentile(mapped, 0.5);
    state.counters["mapped_max_ms"] = Percentile(mapped, 1.0);
    state.counters["painted_p50_ms"] = Percentile(painted, 0.5);
    state.counters["painted_max_ms"] = Percentile(painted, 1.0);
    state.counters["painted_span_p50_ms"] = Percentile(span, 0.5);
    state.counters["rss_mb"] = Percentile(rss, 0.5);
    state.counters["cpu_to_frame_ms"] = Percentile(cpu, 0.5);
    if (Settings.idle.count() > 0)
        state.counters["idle_cpu_ms"] = Percentile(idle, 0.5);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto value = [&](const char* name) -> const char* {
            const size_t n = std::strlen(name);
            return std::strncmp(a, name, n) == 0 && a[n] == '=' ? a + n + 1 : nullptr;
        };
        if (const char* r = value("--runs")) {
            Settings.runs = std::clamp(std::atoi(r), 1, 100);
        } else if (const char* m = value("--idle-ms")) {
            Settings.idle = std::chrono::milliseconds(std::clamp(std::atoi(m), 0, 60000));
        } else {
            std::fprintf(stderr, "unknown option %s\n", a);
            return 2;
        }
    }
    benchmark::RegisterBenchmark("StartToFirstFrame", BM_StartToFirstFrame)
        ->Iterations(Settings.runs)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return Failed ? 1 : 0;
}
