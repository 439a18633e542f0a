// The built program, unmodified, as a native client of a Wayland compositor, on a real kernel's
// input devices: it runs inside the kernel rig (wayland-guest.sh). A uinput keyboard stands for the
// user's; a headless sway reads it through libinput, as a desktop's compositor reads the real one,
// and shows the program's window and wev, a client standing for the user's other programs. The
// virtual dongles imitate bluetoothd on a private bus, as in the end-to-end tests.
//
// The test is the user at the keyboard: it types the program's accelerators into its window, starts
// pass-through, moves the focus to wev (through sway's IPC, as a click would) and types on. The
// dongle's target must get exactly the text and wev none of it, until the exit chord typed on the
// same keyboard gives the session its keyboard back.
//
// Root makes the keyboard and announces it as udev would (there is no udev in the guest); then the
// test becomes the unprivileged user of the input group, and everything else runs as that user.
//
// One world serves every case, in order: each builds on the one before.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/input.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "DongleControl.h"
#include "E2eWorld.h"
#include "KeyCodes.h"
#include "UinputDevice.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

// The guest's CPU is some 25 times slower than the host's; every wait grows by this much.
constexpr int Slowdown = 5;
std::chrono::milliseconds Wait(std::chrono::milliseconds t) {
    return t * Slowdown;
}
// Between two injected key events: distinct times, and no burst the readers could fall behind on.
constexpr auto KeyGap = 25ms;

const TDongleTraits& Dongle() {
    return NewerDongle();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Json(const QJsonObject& o) {
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

// sway's IPC (the i3 protocol): "i3-ipc", the payload's length and the message type as native
// 32-bit numbers, the payload; the reply has the same form. One connection per call.
class TSwayIpc {
  public:
    enum : uint32_t { RunCommand = 0, GetTree = 4 };

    explicit TSwayIpc(std::string path) : FPath(std::move(path)) {}

    std::optional<QByteArray> Call(uint32_t type, const QByteArray& payload) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", FPath.c_str());
        std::optional<QByteArray> reply;
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            QByteArray message("i3-ipc");
            const uint32_t header[2] = {static_cast<uint32_t>(payload.size()), type};
            message.append(reinterpret_cast<const char*>(header), sizeof header);
            message.append(payload);
            char head[14];
            if (WriteAll(fd, message) && ReadAll(fd, head, sizeof head)) {
                uint32_t length = 0;
                std::memcpy(&length, head + 6, sizeof length);
                QByteArray body(static_cast<qsizetype>(length), '\0');
                if (length < (64u << 20) && ReadAll(fd, body.data(), length)) {
                    reply = body;
                }
            }
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return reply;
    }

    bool Command(const std::string& command) {
        const auto reply = Call(RunCommand, QByteArray::fromStdString(command));
        return reply && QJsonDocument::fromJson(*reply).array().at(0).toObject().value("success").toBool();
    }

    QJsonObject Tree() {
        const auto reply = Call(GetTree, {});
        return reply ? QJsonDocument::fromJson(*reply).object() : QJsonObject();
    }

    // The window titled `title` in the tree; empty when there is none.
    QJsonObject Window(const QString& title) { return Find(Tree(), title); }

  private:
    static QJsonObject Find(const QJsonObject& node, const QString& title) {
        if (node.value("name").toString() == title && node.contains("shell")) {
            return node;
        }
        for (const char* list : {"nodes", "floating_nodes"}) {
            for (const QJsonValue& child : node.value(list).toArray()) {
                QJsonObject found = Find(child.toObject(), title);
                if (!found.isEmpty()) {
                    return found;
                }
            }
        }
        return {};
    }
    static bool WriteAll(int fd, const QByteArray& data) {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, static_cast<size_t>(data.size() - done));
            if (n <= 0) {
                return false;
            }
            done += n;
        }
        return true;
    }
    static bool ReadAll(int fd, char* to, size_t size) {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::read(fd, to + done, size - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }
    std::string FPath;
};

// What wev printed about keys: the text of the keys pressed (xkb's utf8 for each press), how many
// presses, and whether every modifier state it was told has nothing held.
struct TWevKeys {
    std::string text;
    int presses = 0;
    bool modifiersFree = true;
};

TWevKeys ParseWev(const std::string& log) {
    TWevKeys keys;
    std::istringstream in(log);
    std::string line;
    bool pressed = false;
    while (std::getline(in, line)) {
        if (line.find("wl_keyboard] key:") != std::string::npos) {
            pressed = line.find("state: 1 (pressed)") != std::string::npos;
            keys.presses += pressed ? 1 : 0;
            continue;
        }
        if (const auto at = line.find("utf8: '"); pressed && at != std::string::npos) {
            const auto end = line.rfind('\'');
            if (end > at + 7) {
                keys.text += line.substr(at + 7, end - at - 7);
            }
            pressed = false;
        }
        if (const auto at = line.find("depressed: "); at != std::string::npos) {
            keys.modifiersFree = keys.modifiersFree && line.substr(at + 11, 8) == "00000000";
        }
    }
    return keys;
}

// Becomes `user`, with the groups of a desktop user who may read the input devices: the user's own
// and "input".
bool BecomeUser(const char* user, std::string* error) {
    const passwd* pw = ::getpwnam(user);
    const group* input = ::getgrnam("input");
    if (pw == nullptr || input == nullptr) {
        *error = std::string("no user ") + user + " or no input group";
        return false;
    }
    const gid_t groups[] = {pw->pw_gid, input->gr_gid};
    if (::setgroups(2, groups) != 0 || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0 ||
        ::getuid() == 0) {
        *error = std::string("cannot become ") + user + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// What udev does with a new keyboard on a desktop: the node goes to the input group, and its
// database entry says it is a keyboard (libinput takes only devices udev has described).
bool AnnounceKeyboard(const std::string& node, std::string* error) {
    const group* input = ::getgrnam("input");
    struct stat st {};
    if (input == nullptr || ::stat(node.c_str(), &st) != 0 || ::chown(node.c_str(), 0, input->gr_gid) != 0 ||
        ::chmod(node.c_str(), 0660) != 0) {
        *error = "cannot give " + node + " to the input group: " + std::strerror(errno);
        return false;
    }
    std::error_code ignored;
    std::filesystem::create_directories("/run/udev/data", ignored);
    const std::string entry =
        "/run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::ofstream out(entry);
    out << "I:1\nE:ID_INPUT=1\nE:ID_INPUT_KEY=1\nE:ID_INPUT_KEYBOARD=1\nG:seat\n";
    if (!out.flush()) {
        *error = "cannot write " + entry;
        return false;
    }
    return true;
}

class WaylandSession : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { StartError = Start(); }

    // Builds the world; the reason it could not, or empty.
    static std::string Start() {
        if (::geteuid() != 0 || ::access("/dev/uinput", W_OK) != 0 || std::getenv("RIG_USER") == nullptr) {
            Skip = true;
            return "runs in the kernel rig's guest (wayland-guest.sh), as root with /dev/uinput";
        }
        for (const char* tool : {"sway", "wev", "stdbuf", "dbus-daemon"}) {
            if (!ProgramAvailable(tool))
                return std::string(tool) + " is not installed (scripts/setup-deps test)";
        }
        std::string error;
        Keyboard = new TUinputDevice(TUinputDevice::TKind::Keyboard, "Rig Keyboard");
        if (!Keyboard->Ok())
            return "the uinput keyboard was not made";
        if (!AnnounceKeyboard(Keyboard->Node(), &error) || !BecomeUser(std::getenv("RIG_USER"), &error))
            return error;
        // From here on nothing runs as root.
        Reader = ::open(Keyboard->Node().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (Reader < 0)
            return "the user of the input group cannot read " + Keyboard->Node();
        char dirTemplate[] = "/tmp/corvastel-wayland-XXXXXX";
        if (::mkdtemp(dirTemplate) == nullptr)
            return "cannot make a temporary folder";
        RunDir = dirTemplate;
        Logs = ArtifactsDir(RunDir);
        const std::string runtime = RunDir + "/xdg";
        ::mkdir(runtime.c_str(), 0700);

        // The compositor: its own seat daemon built in, opening the input devices with the user's
        // rights; the one keyboard through libinput. No X server.
        const std::string config = RunDir + "/sway.conf";
        // Key repeat waits like every other wait here: a client that stalls for sway's usual 600 ms
        // (a moment on the host) would repeat the key it was pressing, as no user holds one.
        std::ofstream(config) << "xwayland disable\noutput HEADLESS-1 resolution 1280x800\n"
                              << "input type:keyboard repeat_delay " << Wait(600ms).count() << "\n";
        TChildProcess::Options sway;
        sway.env = {{"XDG_RUNTIME_DIR", runtime},          {"HOME", RunDir},
                    {"WLR_BACKENDS", "headless,libinput"}, {"WLR_RENDERER", "pixman"},
                    {"LIBSEAT_BACKEND", "builtin"},        {"SEATD_VTBOUND", "0"}};
        sway.stderrPath = Logs + "/sway.log";
        sway.stdoutPath = sway.stderrPath;
        Sway = TChildProcess::Start({"sway", "-c", config}, sway, &error).release();
        if (!Sway)
            return "sway: " + error;
        const std::string ipcPath =
            runtime + "/sway-ipc." + std::to_string(::getuid()) + "." + std::to_string(Sway->Pid()) + ".sock";
        std::string display;
        TE2eWorld::WaitUntil(
            [&] {
                for (int n = 0; n < 10 && display.empty(); ++n) {
                    const std::string name = "wayland-" + std::to_string(n);
                    if (::access((runtime + "/" + name).c_str(), F_OK) == 0)
                        display = name;
                }
                return (!display.empty() && ::access(ipcPath.c_str(), F_OK) == 0) || !Sway->Running();
            },
            Wait(10s));
        if (display.empty() || !Sway->Running())
            return "sway did not start:\n" + ReadFile(sway.stderrPath);
        Ipc = new TSwayIpc(ipcPath);

        // The user's other program: wev prints what reaches it (line by line, as it happens).
        TChildProcess::Options wev;
        wev.env = {{"XDG_RUNTIME_DIR", runtime}, {"WAYLAND_DISPLAY", display}};
        wev.stdoutPath = Logs + "/wev.log";
        wev.stderrPath = Logs + "/wev.err.log";
        Wev = TChildProcess::Start({"stdbuf", "-oL", "wev"}, wev, &error).release();
        WevLog = wev.stdoutPath;
        if (!Wev || !TE2eWorld::WaitUntil([] { return !Ipc->Window("wev").isEmpty(); }, Wait(10s)))
            return "wev did not show its window: " + error + ReadFile(wev.stderrPath);

        Bus = TPrivateBus::Start(&error).release();
        if (!Bus)
            return "private bus: " + error;
        Control = new TDongleControl(Bus->Address());
        TDongleService service;
        service.program = CORVASTEL_VIRTUAL_DONGLES_PATH;
        service.busAddress = Bus->Address();
        service.dongles = {Dongle()};
        service.env = {{"XDG_RUNTIME_DIR", runtime}};
        service.logDir = Logs;
        service.wait = Wait(20s);
        Service = StartVirtualDongles(service, *Control, &error).release();
        if (!Service)
            return error;

        // The program as a native Wayland client; only its environment says where it runs.
        TChildProcess::Options app;
        app.env = {{"XDG_RUNTIME_DIR", runtime},
                   {"HOME", RunDir},
                   {"WAYLAND_DISPLAY", display},
                   {"QT_QPA_PLATFORM", "wayland"},
                   {"DBUS_SYSTEM_BUS_ADDRESS", Bus->Address()},
                   {"BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.66"}};
        app.stdoutPath = Logs + "/app.out.log";
        app.stderrPath = Logs + "/app.err.log";
        AppLog = app.stderrPath;
        App = TChildProcess::Start({CORVASTEL_PC_PATH}, app, &error).release();
        if (!App)
            return "corvastel-pc: " + error;
        if (!TE2eWorld::WaitUntil([] { return !Ipc->Window(QString::fromUtf8(AppWindowTitle)).isEmpty(); },
                                  Wait(20s))) {
            return "the program's window did not appear:\n" + ReadFile(app.stderrPath);
        }
        // Let the first paint finish before anyone types.
        std::this_thread::sleep_for(Wait(500ms));
        return {};
    }

    static void TearDownTestSuite() {
        // The program first: it may still talk to the service and the bus.
        if (App)
            App->Stop(Wait(2s));
        delete App;
        delete Service;
        delete Control;
        delete Bus;
        delete Wev;
        delete Ipc;
        delete Sway;
        if (Reader >= 0)
            ::close(Reader);
        delete Keyboard;
        if (!RunDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(RunDir, ignored);
        }
    }

    void SetUp() override {
        if (Skip)
            GTEST_SKIP() << StartError;
        ASSERT_EQ(StartError, "");
        ASSERT_FALSE(Broken) << "an earlier case left the world unusable";
    }
    void TearDown() override {
        if (Keyboard) {
            EXPECT_EQ(Keyboard->WriteFailures(), 0) << "key events not taken by uinput";
        }
        if (HasFailure()) {
            Broken = true;
            std::cout << "service: " << Json(Control->Status()) << "\ntarget: " << Json(Target())
                      << "\nwrites:";
            for (const TDongleWrite& w : Control->Writes(Dongle().address))
                std::cout << " " << w.characteristic.toStdString() << "[" << w.bytes.toStdString() << "]";
            std::cout << "\n--- app.err.log\n" << ReadFile(AppLog) << "\n";
        }
    }

    // ---- The user at the keyboard.
    static void Key(unsigned code, bool down) {
        Keyboard->Key(static_cast<uint16_t>(code), down ? 1 : 0);
        std::this_thread::sleep_for(KeyGap);
    }
    static void Chord(std::initializer_list<unsigned> codes) {
        for (unsigned c : codes)
            Key(c, true);
        for (auto it = std::rbegin(codes); it != std::rend(codes); ++it)
            Key(*it, false);
    }
    // The X keycodes of the harness are the kernel's plus 8.
    static void Accelerator(unsigned xKeycode) { Chord({KEY_LEFTALT, xKeycode - 8}); }
    static bool Type(const std::string& text) {
        for (char c : text) {
            const auto stroke = KeyStrokeFor(c);
            if (!stroke)
                return false;
            if (stroke->shift)
                Key(KEY_LEFTSHIFT, true);
            Key(stroke->keycode - 8, true);
            Key(stroke->keycode - 8, false);
            if (stroke->shift)
                Key(KEY_LEFTSHIFT, false);
        }
        return true;
    }
    // Gives a window the keyboard focus, as a click on it would, and waits until it has it.
    static bool Focus(const char* title) {
        const QString name = QString::fromUtf8(title);
        const QJsonObject window = Ipc->Window(name);
        const auto id = window.value("id").toInteger();
        return id != 0 && Ipc->Command("[con_id=" + std::to_string(id) + "] focus") &&
               TE2eWorld::WaitUntil([&] { return Ipc->Window(name).value("focused").toBool(); }, Wait(2s));
    }

    // ---- Observation.
    // Whether someone has taken the keyboard (EVIOCGRAB): a harmless event (a scan code alone, which
    // every reader that keeps key state ignores) then reaches only the grabber, not this reader.
    // Nothing here grabs, so the program's own grab can never fail on account of the test.
    static bool KeyboardTaken() {
        input_event e[64];
        while (::read(Reader, e, sizeof e) > 0) {
        }
        Keyboard->Emit(EV_MSC, MSC_SCAN, 0x70000);
        Keyboard->Sync();
        bool seen = false;
        TE2eWorld::WaitUntil(
            [&] {
                ssize_t n;
                while ((n = ::read(Reader, e, sizeof e)) > 0) {
                    for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof(input_event)); ++i)
                        seen = seen || (e[i].type == EV_MSC && e[i].code == MSC_SCAN);
                }
                return seen;
            },
            Wait(300ms));
        return !seen;
    }
    static bool WaitKeyboardTaken(bool taken) {
        return TE2eWorld::WaitUntil([&] { return KeyboardTaken() == taken; }, Wait(10s));
    }
    // What the program and the kernel say about the keyboard, for a failure's message.
    static std::string KeyboardStory() {
        std::string story = "the program has the keyboard open: ";
        bool open = false;
        const std::string fds = "/proc/" + std::to_string(App->Pid()) + "/fd";
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(fds, ignored)) {
            open = open || std::filesystem::read_symlink(entry.path(), ignored) == Keyboard->Node();
        }
        story += open ? "yes" : "no";
        // Whether it is stuck somewhere: each thread's state and where it waits.
        for (const auto& task :
             std::filesystem::directory_iterator("/proc/" + std::to_string(App->Pid()) + "/task", ignored)) {
            const std::string stat = ReadFile(task.path().string() + "/stat");
            const auto close = stat.rfind(')');
            story +=
                "; thread " + task.path().filename().string() + " " +
                (close != std::string::npos ? stat.substr(stat.find('('), close + 3 - stat.find('(')) : "?") +
                " " + ReadFile(task.path().string() + "/wchan");
        }
        unsigned long keys[KEY_CNT / (8 * sizeof(unsigned long)) + 1] = {};
        ::ioctl(Reader, EVIOCGKEY(sizeof keys), keys);
        story += "; keys held:";
        for (unsigned code = 0; code < KEY_CNT; ++code) {
            if ((keys[code / (8 * sizeof(unsigned long))] >> (code % (8 * sizeof(unsigned long)))) & 1UL)
                story += " " + std::to_string(code);
        }
        return story;
    }
    static QJsonObject Target() { return Control->Target(Dongle().address); }
    static std::string TargetText() { return Target().value("text").toString().toStdString(); }
    static bool WaitTargetText(const std::string& text) {
        return TE2eWorld::WaitUntil([&] { return TargetText() == text; }, Wait(10s));
    }
    static bool NothingHeld() { return !Target().value("anyInputHeld").toBool(); }
    static std::vector<std::string> KeyboardWrites() {
        std::vector<std::string> out;
        for (const std::string& w : Control->WritesTo(Dongle().address, QStringLiteral("F801"))) {
            if (w.size() == 8 * 3 - 1)
                out.push_back(w);
        }
        return out;
    }
    // What wev was told since `from` (a length of its log).
    static TWevKeys WevSince(std::size_t from) {
        const std::string log = ReadFile(WevLog);
        return ParseWev(from < log.size() ? log.substr(from) : std::string());
    }
    static std::size_t WevMark() { return ReadFile(WevLog).size(); }

    static inline TUinputDevice* Keyboard = nullptr;
    static inline int Reader = -1;
    static inline TChildProcess* Sway = nullptr;
    static inline TSwayIpc* Ipc = nullptr;
    static inline TChildProcess* Wev = nullptr;
    static inline TPrivateBus* Bus = nullptr;
    static inline TDongleControl* Control = nullptr;
    static inline TChildProcess* Service = nullptr;
    static inline TChildProcess* App = nullptr;
    static inline std::string RunDir;
    static inline std::string Logs;
    static inline std::string WevLog;
    static inline std::string AppLog;
    static inline std::string StartError;
    static inline bool Skip = false;
    static inline bool Broken = false;
    static inline std::size_t TypedMark = 0;
};

TEST_F(WaylandSession, Window_NativeWaylandClient_CapturesThroughTheInputDevices) {
    const QJsonObject window = Ipc->Window(QString::fromUtf8(AppWindowTitle));
    EXPECT_EQ(window.value("shell").toString().toStdString(), "xdg_shell") << Json(window);
    const std::string log = ReadFile(AppLog);
    EXPECT_NE(log.find("input capture: using evdev"), std::string::npos) << log;
    EXPECT_EQ(log.find("cannot be captured"), std::string::npos) << log;
}

TEST_F(WaylandSession, Accelerators_TypedIntoTheWindow_ScanAndConnect) {
    ASSERT_TRUE(Focus(AppWindowTitle));
    const auto discovering = [] { return Control->Status().value("discovering").toBool(); };
    Accelerator(keycode::S);
    ASSERT_TRUE(TE2eWorld::WaitUntil(discovering, Wait(5s))) << "Alt+S started no scan";
    ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return !discovering(); }, Wait(10s))) << "the scan did not end";
    Accelerator(keycode::C);
    ASSERT_TRUE(TE2eWorld::WaitUntil([] { return Control->IsActive(Dongle().address); }, Wait(10s)))
        << "Alt+C made the dongle not active: " << Json(Control->Status());
}

TEST_F(WaylandSession, PassThrough_TextReachesTheTarget_TheFocusedClientSeesNone) {
    ASSERT_TRUE(Focus(AppWindowTitle));
    Accelerator(keycode::T);
    ASSERT_TRUE(WaitKeyboardTaken(true)) << "Alt+T did not take the keyboard; " << KeyboardStory();
    ASSERT_TRUE(Focus("wev"));
    std::this_thread::sleep_for(Wait(300ms));
    Control->ClearRecords(Dongle().address);
    TypedMark = WevMark();

    const std::string text = "Hello World 42";
    ASSERT_TRUE(Type(text));
    EXPECT_TRUE(WaitTargetText(text)) << TargetText();
    EXPECT_EQ(KeyboardWrites(), KeyboardReportsForText(text, false));
    EXPECT_TRUE(NothingHeld());
    const TWevKeys seen = WevSince(TypedMark);
    EXPECT_EQ(seen.presses, 0) << "wev was given \"" << seen.text << "\"";
}

TEST_F(WaylandSession, ExitChord_OnTheSameKeyboard_EndsPassThroughNothingHeldTheSessionTypesAgain) {
    const std::string before = TargetText();
    Chord({KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_F12});
    ASSERT_TRUE(WaitKeyboardTaken(false))
        << "Ctrl+Shift+F12 did not give the keyboard back; " << KeyboardStory();
    EXPECT_TRUE(TE2eWorld::WaitUntil(NothingHeld, Wait(2s))) << Json(Target());
    EXPECT_EQ(WevSince(TypedMark).presses, 0) << "the exit chord reached wev";

    ASSERT_TRUE(Type("after"));
    TWevKeys seen;
    EXPECT_TRUE(TE2eWorld::WaitUntil(
        [&] {
            seen = WevSince(TypedMark);
            return seen.presses >= 5;
        },
        Wait(5s)));
    // In lower case, with no modifier believed held: the compositor kept none of the chord's keys.
    EXPECT_EQ(seen.text, "after");
    EXPECT_EQ(seen.presses, 5);
    EXPECT_TRUE(seen.modifiersFree);
    EXPECT_EQ(TargetText(), before) << "the target got keys after pass-through ended";
    EXPECT_TRUE(NothingHeld());
}

}  // namespace
