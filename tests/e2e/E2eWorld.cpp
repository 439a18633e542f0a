#include "E2eWorld.h"

#include <QCoreApplication>
#include <QImage>
#include <QJsonDocument>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "KeyCodes.h"

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

const TDongleTraits& NewerDongle() {
    static const TDongleTraits traits{
        QStringLiteral("C0:FF:EE:00:00:0A"),
        "name=Corvastel-A,address=C0:FF:EE:00:00:0A,firmware=1.2.0,identity=0451:E010:1", false,
        QStringLiteral("F803")};
    return traits;
}

const TDongleTraits& OlderDongle() {
    static const TDongleTraits traits{
        QStringLiteral("C0:FF:EE:00:00:0B"),
        "name=Corvastel-B,address=C0:FF:EE:00:00:0B,firmware=1.1.9,identity=0451:16B4,answers-identity=0",
        true, QStringLiteral("F801")};
    return traits;
}

std::string ArtifactsDir(const std::string& fallback) {
    const char* env = std::getenv("CORVASTEL_ARTIFACTS_DIR");
    return env != nullptr && *env != '\0' ? std::string(env) : fallback;
}

bool TE2eWorld::WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::unique_ptr<TChildProcess> StartVirtualDongles(const TDongleService& service, TDongleControl& control,
                                                   std::string* error) {
    std::vector<std::string> argv{service.program};
    argv.insert(argv.end(), service.options.begin(), service.options.end());
    for (const TDongleTraits& d : service.dongles) {
        argv.push_back("--dongle");
        argv.push_back(d.traits);
    }
    TChildProcess::Options options;
    options.env = service.env;
    options.env["DBUS_SYSTEM_BUS_ADDRESS"] = service.busAddress;
    options.stdoutPath = service.logDir + "/dongles.out.log";
    options.stderrPath = service.logDir + "/dongles.err.log";
    std::string why;
    auto process = TChildProcess::Start(argv, options, &why);
    if (!process) {
        if (error)
            *error = "virtual dongles: " + why;
        return nullptr;
    }
    const bool ready = TE2eWorld::WaitUntil(
        [&] {
            return ReadFile(options.stdoutPath).find("ready") != std::string::npos || !process->Running();
        },
        service.wait);
    if (!ready || !process->Running() || !control.ServiceRunning()) {
        if (error) {
            *error = "the virtual dongles did not start:\n--- dongles.out.log\n" +
                     ReadFile(options.stdoutPath) + "--- dongles.err.log\n" + ReadFile(options.stderrPath);
        }
        return nullptr;
    }
    return process;
}

std::unique_ptr<TE2eWorld> TE2eWorld::Start(const TPrograms& programs, const TWorldOptions& options,
                                            std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<TE2eWorld> {
        if (error)
            *error = why;
        return nullptr;
    };
    for (const char* tool : {"Xvfb", "dbus-daemon"}) {
        if (!ProgramAvailable(tool))
            return fail(std::string(tool) + " is not installed (scripts/setup-deps)");
    }
    std::unique_ptr<TE2eWorld> w(new TE2eWorld());
    w->FOptions = options;
    char dirTemplate[] = "/tmp/corvastel-e2e-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr)
        return fail("cannot make a temporary folder");
    w->FRunDir = dirTemplate;
    chmod(w->FRunDir.c_str(), 0700);

    std::string why;
    w->FXvfb = TXvfbServer::Start(options.screenWidth, options.screenHeight, &why, w->Wait(20s));
    if (!w->FXvfb)
        return fail("Xvfb: " + why);
    std::string busAddress = options.systemBus;
    if (busAddress.empty()) {
        w->FBus = TPrivateBus::Start(&why);
        if (!w->FBus)
            return fail("private bus: " + why);
        busAddress = w->FBus->Address();
    }
    w->FX = TXInput::Open(w->Display(), &why);
    if (!w->FX)
        return fail(why);
    if (!w->FX->KeycodesAreEvdev())
        return fail("the X server's keymap does not use evdev keycodes");
    // The service owns org.bluez where it imitates bluetoothd, a name of its own beside a real one.
    w->FControl = std::make_unique<TDongleControl>(
        busAddress, options.bluezAdapters.empty() ? "org.bluez" : "org.corvastel.VirtualDongles");

    // The service: org.bluez on the private bus.
    TDongleService service;
    service.program = programs.dongles;
    service.busAddress = busAddress;
    service.dongles = options.dongles;
    if (options.preview)
        service.options.push_back("--preview");
    if (!options.bluezAdapters.empty()) {
        std::string adapters;
        for (const std::string& a : options.bluezAdapters)
            adapters += (adapters.empty() ? "" : ",") + a;
        service.options.push_back("--bluez-adapters");
        service.options.push_back(adapters);
    }
    service.env = {{"DISPLAY", w->Display()}, {"QT_QPA_PLATFORM", "xcb"}, {"XDG_RUNTIME_DIR", w->FRunDir}};
    service.logDir = w->FRunDir;
    service.wait = w->Wait(20s);
    w->FService = StartVirtualDongles(service, *w->FControl, &why);
    if (!w->FService)
        return fail(why);
    if (options.preview) {
        w->FPreviewWindow = w->FX->WaitForWindow(PreviewWindowTitle, w->Wait(20s));
        if (w->FPreviewWindow == 0)
            return fail("the preview window did not appear");
    }

    // The program, wired to the private bus. Only its environment says so: it reads no option.
    TChildProcess::Options appOptions;
    appOptions.env = {{"DISPLAY", w->Display()},
                      {"QT_QPA_PLATFORM", "xcb"},
                      {"XDG_RUNTIME_DIR", w->FRunDir},
                      {"DBUS_SYSTEM_BUS_ADDRESS", busAddress},
                      {"BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.66"}};
    appOptions.stdoutPath = w->FRunDir + "/app.out.log";
    appOptions.stderrPath = w->FRunDir + "/app.err.log";
    std::string app = programs.app;
    if (options.settingsIni) {
        w->FAppDir = w->FRunDir + "/app";
        std::error_code ec;
        std::filesystem::create_directories(w->FAppDir, ec);
        const std::string copy = w->FAppDir + "/" + std::filesystem::path(app).filename().string();
        if (!ec)
            std::filesystem::copy_file(app, copy, std::filesystem::copy_options::overwrite_existing, ec);
        if (ec)
            return fail("cannot copy the program to " + w->FAppDir + ": " + ec.message());
        if (!options.settingsIni->empty())
            std::ofstream(w->FAppDir + "/settings.ini") << *options.settingsIni;
        app = copy;
    }
    w->FApp = TChildProcess::Start({app}, appOptions, &why);
    if (!w->FApp)
        return fail("corvastel-pc: " + why);
    w->FAppWindow = w->FX->WaitForWindow(AppWindowTitle, w->Wait(30s));
    if (w->FAppWindow == 0)
        return fail("the program's window did not appear:\n" + w->Logs());
    const auto rect = w->FX->Geometry(w->FAppWindow);
    if (!rect)
        return fail("the program's window has no geometry");
    w->FAppRect = *rect;
    // Let the first paint finish before anyone looks or clicks.
    std::this_thread::sleep_for(w->Wait(500ms));
    return w;
}

TE2eWorld::~TE2eWorld() {
    // The program first: it may still talk to the service and the bus.
    if (FApp)
        FApp->Stop(5000ms);
    FApp.reset();
    FService.reset();
    FControl.reset();
    FX.reset();
    FBus.reset();
    FXvfb.reset();
    if (!FRunDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(FRunDir, ignored);
    }
}

std::optional<int> TE2eWorld::WaitAppExit(std::chrono::milliseconds timeout) {
    if (!FApp)
        return std::nullopt;
    return FApp->WaitExit(timeout);
}

void TE2eWorld::KillXServer() {
    (void)FX.release();
    FXvfb->Kill();
}

std::string TE2eWorld::Logs() const {
    std::string out;
    for (const char* name : {"app.out.log", "app.err.log", "dongles.out.log", "dongles.err.log"}) {
        const std::string text = ReadFile(FRunDir + "/" + name);
        if (!text.empty())
            out += std::string("--- ") + name + "\n" + text;
    }
    return out;
}

void TE2eWorld::MoveAppWindow(int x, int y) {
    FX->MoveWindow(FAppWindow, x, y);
    WaitUntil(
        [&] {
            const auto rect = FX->Geometry(FAppWindow);
            if (rect)
                FAppRect = *rect;
            return rect && rect->x == x && rect->y == y;
        },
        Wait(5s));
}

void TE2eWorld::Accelerator(unsigned keycode) {
    FX->Focus(FAppWindow);
    FX->Key(keycode::LeftAlt, true);
    FX->Tap(keycode);
    FX->Key(keycode::LeftAlt, false);
}

void TE2eWorld::ClickApp(int x, int y) {
    FX->Focus(FAppWindow);
    FX->Click(FAppRect.x + x, FAppRect.y + y);
}

bool TE2eWorld::Scan(std::string* error) {
    auto discovering = [&] { return FControl->Status().value(QStringLiteral("discovering")).toBool(); };
    Accelerator(keycode::S);
    if (!WaitUntil(discovering, Wait(10s))) {
        if (error)
            *error = "Alt+S started no scan";
        return false;
    }
    // The program scans for 3 s.
    if (!WaitUntil([&] { return !discovering(); }, Wait(15s))) {
        if (error)
            *error = "the scan did not end";
        return false;
    }
    return true;
}

bool TE2eWorld::IsActive(const QString& address) {
    return FControl->IsActive(address);
}

bool TE2eWorld::WaitActive(const QString& address, std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return IsActive(address); }, timeout);
}

bool TE2eWorld::ConnectSelected(QString* address, std::string* error) {
    std::vector<QString> before;
    for (const TDongleTraits& d : FOptions.dongles) {
        if (IsActive(d.address))
            before.push_back(d.address);
    }
    Accelerator(keycode::C);
    QString found;
    const bool ok = WaitUntil(
        [&] {
            for (const TDongleTraits& d : FOptions.dongles) {
                if (std::find(before.begin(), before.end(), d.address) == before.end() &&
                    IsActive(d.address)) {
                    found = d.address;
                    return true;
                }
            }
            return false;
        },
        Wait(20s));
    if (!ok) {
        if (error) {
            *error = "Alt+C made no dongle active; service status: " +
                     QJsonDocument(FControl->Status()).toJson(QJsonDocument::Compact).toStdString();
        }
        return false;
    }
    if (address)
        *address = found;
    return true;
}

void TE2eWorld::SelectListItem(int index) {
    ClickApp(place::ListEmptyX, place::ListEmptyY);
    FX->Tap(keycode::Home);
    for (int i = 0; i < index; ++i)
        FX->Tap(keycode::Right);
}

bool TE2eWorld::ConnectAll(std::string* error) {
    FListOrder.clear();
    if (!Scan(error))
        return false;
    // The program selects the first dongle found itself; the list keeps the order of finding, so
    // the next items are the others.
    for (std::size_t i = 0; i < FOptions.dongles.size(); ++i) {
        if (i > 0)
            SelectListItem(static_cast<int>(i));
        QString address;
        if (!ConnectSelected(&address, error))
            return false;
        FListOrder.push_back(address);
    }
    return true;
}

int TE2eWorld::ListIndexOf(const QString& address) const {
    const auto it = std::find(FListOrder.begin(), FListOrder.end(), address);
    return it == FListOrder.end() ? -1 : static_cast<int>(it - FListOrder.begin());
}

bool TE2eWorld::PassThroughOn(bool mouse, TSpyClient& other, std::string* error) {
    if (mouse)
        Accelerator(keycode::M);
    Accelerator(keycode::T);
    other.TakeFocus();
    if (!other.WaitKeyboardGrabbed(true, Wait(10s))) {
        if (error)
            *error = "Alt+T did not start pass-through (nobody took the keyboard)\n" + Logs();
        return false;
    }
    return true;
}

bool TE2eWorld::ExitChord(TSpyClient& other, std::string* error) {
    FX->Chord({keycode::LeftCtrl, keycode::LeftShift, keycode::F12});
    if (!other.WaitKeyboardGrabbed(false, Wait(10s))) {
        if (error)
            *error = "Ctrl+Shift+F12 did not end pass-through";
        return false;
    }
    return true;
}

bool TE2eWorld::TypeTextIntoDongles(const std::string& text, std::string* error) {
    FX->Focus(FAppWindow);
    FX->Chord({keycode::LeftCtrl, keycode::LeftShift, keycode::V});
    const unsigned long dialog = FX->WaitForWindow(TypeTextDialogTitle, 5s);
    if (dialog == 0) {
        if (error)
            *error = "Ctrl+Shift+V opened no dialog to type a text into\n" + Logs();
        return false;
    }
    FX->Focus(dialog);
    // A text field keeps up with input much faster than the program's captured keys need.
    const auto gap = FX->eventGap;
    FX->eventGap = std::chrono::milliseconds(1);
    const bool typed = FX->Type(text);
    FX->eventGap = gap;
    if (!typed) {
        if (error)
            *error = "the harness cannot type every character of the text";
        return false;
    }
    FX->Chord({keycode::LeftCtrl, keycode::Return});
    if (!WaitUntil([&] { return FX->FindWindow(TypeTextDialogTitle) == 0; }, 5s)) {
        if (error)
            *error = "Ctrl+Enter did not close the dialog";
        return false;
    }
    return true;
}

bool TE2eWorld::SaveScreenshot(unsigned long window, const std::string& path, std::size_t* colours,
                               std::string* error) {
    const auto pixels = FX->Capture(window);
    if (!pixels) {
        if (error)
            *error = "the window cannot be read";
        return false;
    }
    QImage image(pixels->width, pixels->height, QImage::Format_RGB32);
    for (int y = 0; y < pixels->height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < pixels->width; ++x) {
            line[x] = 0xFF000000u |
                      pixels->rgb[static_cast<std::size_t>(y) * static_cast<std::size_t>(pixels->width) +
                                  static_cast<std::size_t>(x)];
        }
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    if (!image.save(QString::fromStdString(path), "PNG")) {
        if (error)
            *error = "cannot write " + path;
        return false;
    }
    if (colours)
        *colours = pixels->Colours();
    return true;
}

}  // namespace e2e
