#pragma once
// The X side of the end-to-end harness: a client that injects input with XTest and finds windows,
// and a second client with a window of its own that counts what reaches it. X headers stay in the
// .cpp (their Bool, Status and None macros clash with Qt and GoogleTest).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _XDisplay;

namespace e2e {

struct TRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The pixels of a window as 0xRRGGBB, row by row.
struct TPixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> rgb;
    // Distinct colours: a blank or unpainted window has a handful, text and pictures give many.
    std::size_t Colours() const;
};

// Injects keys, pointer motion, buttons and wheel notches through XTest, as a user at the keyboard
// would, and finds and focuses top-level windows. Every call waits until the server has taken it.
class TXInput {
  public:
    static std::unique_ptr<TXInput> Open(const std::string& display, std::string* error);
    ~TXInput();
    TXInput(const TXInput&) = delete;
    TXInput& operator=(const TXInput&) = delete;

    // True when the server's keymap uses the evdev keycodes the tests press (<RCTL> is 105).
    bool KeycodesAreEvdev();

    // Pause after each injected event: keys and moves get distinct server times, as typed ones do.
    std::chrono::milliseconds eventGap{8};

    void Key(unsigned keycode, bool down);
    void Tap(unsigned keycode);
    // Presses the keys in order, then releases them in reverse order.
    void Chord(std::initializer_list<unsigned> keycodes);
    // Types text key by key, capitals with left Shift. False (and nothing typed) when a character has no key.
    bool Type(std::string_view text);

    void MoveTo(int x, int y);
    // Relative motion: what a mouse makes (an absolute warp makes no raw motion).
    void MoveBy(int dx, int dy);
    void Button(unsigned button, bool down);
    void Click(int x, int y, unsigned button = 1);
    // Positive notches turn the wheel forwards (button 4), negative backwards (button 5).
    void Wheel(int notches);
    std::pair<int, int> Pointer();

    // The viewable top-level window whose title is `utf8Title` (with prefix: starts with it); 0 when
    // there is none.
    unsigned long FindWindow(std::string_view utf8Title, bool prefix = false);
    unsigned long WaitForWindow(std::string_view utf8Title, std::chrono::milliseconds timeout,
                                bool prefix = false);
    // Position on the screen and size.
    std::optional<TRect> Geometry(unsigned long window);
    // Gives the window the keyboard focus. Without a window manager nobody else does.
    void Focus(unsigned long window);
    void MoveWindow(unsigned long window, int x, int y);
    // Asks the window to close, as a window manager does for its close button.
    void CloseWindow(unsigned long window);
    // The window's pixels as on the screen (root: the whole screen); nullopt when it cannot be read.
    std::optional<TPixels> Capture(unsigned long window);
    unsigned long Root() const;

  private:
    explicit TXInput(_XDisplay* display) : FDisplay(display) {}
    void Settle();
    _XDisplay* FDisplay;
};

// Another X client: a small window that takes the keyboard focus when asked and counts the key
// presses, button presses and pointer motion that reach it. It also learns from its focus events
// whether some client has grabbed the keyboard (the server tells the focus window so).
class TSpyClient {
  public:
    static std::unique_ptr<TSpyClient> Open(const std::string& display, const TRect& where,
                                            std::string* error);
    ~TSpyClient();
    TSpyClient(const TSpyClient&) = delete;
    TSpyClient& operator=(const TSpyClient&) = delete;

    unsigned long Window() const { return FWindow; }
    void TakeFocus();
    // Reads every event queued for this client.
    void Pump();
    int KeyPresses();
    int ButtonPresses();
    int Motions();
    // Whether another client holds a grab of the keyboard, as the focus events tell it. Takes the
    // focus (back) to this client's window.
    bool KeyboardGrabbed();
    bool WaitKeyboardGrabbed(bool grabbed, std::chrono::milliseconds timeout);
    // Whether the pointer is in its window, as its enter and leave events tell it. A pointer that
    // is held still over the window "leaves" it when another client takes the pointer.
    bool PointerInside();
    bool WaitPointerInside(bool inside, std::chrono::milliseconds timeout);

  private:
    TSpyClient(_XDisplay* display, unsigned long window) : FDisplay(display), FWindow(window) {}
    _XDisplay* FDisplay;
    unsigned long FWindow;
    int FKeyPresses = 0;
    int FButtonPresses = 0;
    int FMotions = 0;
    bool FGrabbed = false;
    bool FPointerInside = false;
};

}  // namespace e2e
