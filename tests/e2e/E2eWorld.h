#pragma once
// The whole product on one machine with no radio and no desktop: a virtual X server, a private
// system bus, the virtual dongles serving two dongles on it, and the built program wired to them.
// The program is driven only as a user drives it (accelerator keys, clicks, typing through XTest)
// and observed only from outside: the dongles' control interface and the screen.
//
// Used by the end-to-end tests and by the demo (corvastel-demo); reports failures as text so both
// can say what went wrong in their own way.

#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "DongleControl.h"
#include "XSession.h"

namespace e2e {

using namespace std::chrono_literals;

// The title of the program's dialog that asks for a text to type into every dongle (Ctrl+Shift+V).
inline constexpr const char* TypeTextDialogTitle = "Type a text into every dongle that takes input";
// The window's title, as the program sets it.
inline constexpr const char* AppWindowTitle = "Corvastel® 仿真键鼠";
inline constexpr const char* PreviewWindowTitle = "Corvastel virtual dongles";

// Places in the window (client-area pixels at 96 dpi; the window has a fixed size).
namespace place {
inline constexpr int WindowWidth = 642;
inline constexpr int WindowHeight = 401;
// An empty corner of the device list: a click there gives the list the focus without picking an item.
inline constexpr int ListEmptyX = 300;
inline constexpr int ListEmptyY = 276;
// The shortcut button Ctrl+Alt+Del (shown during pass-through).
inline constexpr int CtrlAltDelX = 432 + 46;
inline constexpr int CtrlAltDelY = 380 + 9;
}  // namespace place

// One virtual dongle as the service is told to serve it, and what the program should make of it.
struct TDongleTraits {
    QString address;
    std::string traits;     // the --dongle option
    bool reportId = false;  // report-ID framing (9-byte keyboard, 7-byte mouse reports)
    QString mouseCharacteristic;
};

// Newer firmware (1.2.0): answers the identity request with 0451:E010 version 1, so its reports are
// plain and its mouse reports go to F803.
const TDongleTraits& NewerDongle();
// Older firmware (1.1.9): not asked, so it gets the default identity 0451:16B4 with report IDs, and
// mouse reports on F801.
const TDongleTraits& OlderDongle();

struct TPrograms {
    std::string app;      // corvastel-pc
    std::string dongles;  // corvastel-virtual-dongles
};

struct TWorldOptions {
    bool preview = false;  // the service shows its preview window
    int screenWidth = 1280;
    int screenHeight = 800;
    std::vector<TDongleTraits> dongles{NewerDongle(), OlderDongle()};
    // The real stack: the system bus of a real bluetoothd, which serves the dongles as peripherals
    // on these adapters (one per dongle, the service's --bluez-adapters). Empty: a private bus with
    // the service imitating bluetoothd.
    std::string systemBus;
    std::vector<std::string> bluezAdapters;
    // Multiplies every wait of the harness (an emulated machine is many times slower).
    int slowdown = 1;
    // Set: the program runs from a folder of its own, with this settings.ini beside it (none when
    // empty). The program keeps its nicknames and settings beside itself where it can write: run
    // from the build folder, it would take up what earlier runs chose (another route leader, say).
    std::optional<std::string> settingsIni;
};

// The virtual dongles as a child process, serving `dongles` on the bus at `busAddress`.
struct TDongleService {
    std::string program;  // corvastel-virtual-dongles
    std::string busAddress;
    std::vector<TDongleTraits> dongles;
    std::vector<std::string> options;        // more options (--preview, --bluez-adapters ...)
    std::map<std::string, std::string> env;  // besides DBUS_SYSTEM_BUS_ADDRESS
    std::string logDir;                      // receives dongles.out.log and dongles.err.log
    std::chrono::milliseconds wait{20s};     // how long it may take to be ready
};

// Starts the service and waits until it says it is ready and answers on `control`. Null, with the
// reason and what it said, when it does not.
std::unique_ptr<TChildProcess> StartVirtualDongles(const TDongleService& service, TDongleControl& control,
                                                   std::string* error);

class TE2eWorld {
  public:
    static std::unique_ptr<TE2eWorld> Start(const TPrograms& programs, const TWorldOptions& options,
                                            std::string* error);
    ~TE2eWorld();
    TE2eWorld(const TE2eWorld&) = delete;
    TE2eWorld& operator=(const TE2eWorld&) = delete;

    TXInput& X() { return *FX; }
    TDongleControl& Control() { return *FControl; }
    const std::string& Display() const { return FXvfb->Display(); }
    // The folder the program runs from when TWorldOptions::settingsIni is set; empty otherwise.
    const std::string& AppDir() const { return FAppDir; }
    unsigned long AppWindow() const { return FAppWindow; }
    TRect AppRect() const { return FAppRect; }
    unsigned long PreviewWindow() const { return FPreviewWindow; }
    // The dongles the service serves (TWorldOptions::dongles).
    const std::vector<TDongleTraits>& Dongles() const { return FOptions.dongles; }
    bool AppRunning() { return FApp && FApp->Running(); }
    int AppPid() const { return FApp ? FApp->Pid() : 0; }
    // Waits for the program to end by itself: its wait status, nullopt on time-out.
    std::optional<int> WaitAppExit(std::chrono::milliseconds timeout);
    // Ends the X server at once, as a crash or the end of the session does. The harness's X
    // connections go with it; they are let go without a word (closing one would need the server),
    // and so must every X client the test holds.
    void KillXServer();
    // What the program and the service wrote to stdout and stderr.
    std::string Logs() const;

    // ---- As a user.
    // Moves the program's window (there is no window manager to drag it with).
    void MoveAppWindow(int x, int y);
    // Focuses the window and presses Alt+<key>.
    void Accelerator(unsigned keycode);
    // Clicks a place in the window, in client-area pixels.
    void ClickApp(int x, int y);
    // Alt+S, then waits until the scan has run its course.
    bool Scan(std::string* error);
    // Alt+C on the selected list item; waits until a dongle not active before is active. *address
    // receives which one.
    bool ConnectSelected(QString* address, std::string* error);
    // Selects a list item from the keyboard: focus the list, Home, then Right to the item.
    void SelectListItem(int index);
    // Scan, connect the first listed dongle, select the next and connect it, and so on. All end up
    // active.
    bool ConnectAll(std::string* error);
    // Where ConnectAll found a dongle in the list; -1 when it did not.
    int ListIndexOf(const QString& address) const;
    // Alt+M first when `mouse`, then Alt+T; the other client takes the focus and waits until the
    // program holds the keyboard.
    bool PassThroughOn(bool mouse, TSpyClient& other, std::string* error);
    // Ctrl+Shift+F12; waits until the program lets the keyboard go.
    bool ExitChord(TSpyClient& other, std::string* error);
    // Ctrl+Shift+V in the window, the text typed into the dialog that opens, then Ctrl+Enter: the
    // program starts typing it into every dongle that takes input. Returns once the dialog is gone.
    bool TypeTextIntoDongles(const std::string& text, std::string* error);

    // ---- Observation.
    // A dongle is active once the program has written its first keyboard report to it (the
    // all-released one it sends when the dongle becomes active).
    bool IsActive(const QString& address);
    bool WaitActive(const QString& address, std::chrono::milliseconds timeout);
    // Saves the window's pixels as a PNG; *colours receives how many distinct colours it has.
    bool SaveScreenshot(unsigned long window, const std::string& path, std::size_t* colours,
                        std::string* error);

    static bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    // A wait of the harness on this machine (TWorldOptions::slowdown).
    std::chrono::milliseconds Wait(std::chrono::milliseconds t) const { return t * FOptions.slowdown; }

  private:
    TE2eWorld() = default;
    TWorldOptions FOptions;
    std::string FRunDir;
    std::string FAppDir;
    std::unique_ptr<TXvfbServer> FXvfb;
    std::unique_ptr<TPrivateBus> FBus;
    std::unique_ptr<TChildProcess> FService;
    std::unique_ptr<TChildProcess> FApp;
    std::unique_ptr<TXInput> FX;
    std::unique_ptr<TDongleControl> FControl;
    unsigned long FAppWindow = 0;
    TRect FAppRect;
    unsigned long FPreviewWindow = 0;
    std::vector<QString> FListOrder;
};

// Where screenshots and logs of a run go: $CORVASTEL_ARTIFACTS_DIR, else `fallback`.
std::string ArtifactsDir(const std::string& fallback);

}  // namespace e2e
