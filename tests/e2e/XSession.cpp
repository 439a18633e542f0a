#include "XSession.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cstring>
#include <thread>
#include <unordered_set>

#include "KeyCodes.h"

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

// Xlib's default error handler ends the process; a window that goes away between a query and the
// next call is normal here.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

std::string WindowTitle(Display* d, Window w) {
    const Atom netWmName = XInternAtom(d, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(d, w, netWmName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), count);
    }
    if (data != nullptr)
        XFree(data);
    if (title.empty()) {
        char* name = nullptr;
        if (XFetchName(d, w, &name) && name != nullptr)
            title = name;
        if (name != nullptr)
            XFree(name);
    }
    return title;
}

}  // namespace

std::size_t TPixels::Colours() const {
    std::unordered_set<uint32_t> seen(rgb.begin(), rgb.end());
    return seen.size();
}

std::unique_ptr<TXInput> TXInput::Open(const std::string& display, std::string* error) {
    XSetErrorHandler(IgnoreXError);
    Display* d = XOpenDisplay(display.c_str());
    if (d == nullptr) {
        if (error)
            *error = "cannot open X display " + display;
        return nullptr;
    }
    int event = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d, &event, &errorBase, &major, &minor)) {
        XCloseDisplay(d);
        if (error)
            *error = "the X server has no XTest extension";
        return nullptr;
    }
    return std::unique_ptr<TXInput>(new TXInput(d));
}

TXInput::~TXInput() {
    XCloseDisplay(FDisplay);
}

unsigned long TXInput::Root() const {
    return DefaultRootWindow(FDisplay);
}

bool TXInput::KeycodesAreEvdev() {
    XkbDescPtr desc = XkbGetMap(FDisplay, 0, XkbUseCoreKbd);
    if (desc == nullptr)
        return false;
    bool evdev = false;
    if (XkbGetNames(FDisplay, XkbKeyNamesMask, desc) == Success && desc->names != nullptr &&
        desc->names->keys != nullptr && keycode::RightCtrl <= desc->max_key_code) {
        evdev = std::strncmp(desc->names->keys[keycode::RightCtrl].name, "RCTL", XkbKeyNameLength) == 0;
    }
    XkbFreeKeyboard(desc, 0, True);
    return evdev;
}

void TXInput::Settle() {
    XSync(FDisplay, False);
    if (eventGap.count() > 0)
        std::this_thread::sleep_for(eventGap);
}

void TXInput::Key(unsigned keycode, bool down) {
    XTestFakeKeyEvent(FDisplay, keycode, down ? True : False, CurrentTime);
    Settle();
}

void TXInput::Tap(unsigned keycode) {
    Key(keycode, true);
    Key(keycode, false);
}

void TXInput::Chord(std::initializer_list<unsigned> keycodes) {
    for (unsigned k : keycodes)
        Key(k, true);
    for (auto it = std::rbegin(keycodes); it != std::rend(keycodes); ++it)
        Key(*it, false);
}

bool TXInput::Type(std::string_view text) {
    for (char c : text) {
        if (!KeyStrokeFor(c))
            return false;
    }
    for (char c : text) {
        const TKeyStroke k = *KeyStrokeFor(c);
        if (k.shift)
            Key(keycode::LeftShift, true);
        Tap(k.keycode);
        if (k.shift)
            Key(keycode::LeftShift, false);
    }
    return true;
}

void TXInput::MoveTo(int x, int y) {
    XTestFakeMotionEvent(FDisplay, -1, x, y, CurrentTime);
    Settle();
}

void TXInput::MoveBy(int dx, int dy) {
    XTestFakeRelativeMotionEvent(FDisplay, dx, dy, CurrentTime);
    Settle();
}

void TXInput::Button(unsigned button, bool down) {
    XTestFakeButtonEvent(FDisplay, button, down ? True : False, CurrentTime);
    Settle();
}

void TXInput::Click(int x, int y, unsigned button) {
    MoveTo(x, y);
    Button(button, true);
    Button(button, false);
}

void TXInput::Wheel(int notches) {
    const unsigned button = notches > 0 ? 4 : 5;
    for (int i = 0; i < (notches > 0 ? notches : -notches); ++i) {
        Button(button, true);
        Button(button, false);
    }
}

std::pair<int, int> TXInput::Pointer() {
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(FDisplay, DefaultRootWindow(FDisplay), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return {rx, ry};
}

unsigned long TXInput::FindWindow(std::string_view utf8Title, bool prefix) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    unsigned long found = 0;
    if (!XQueryTree(FDisplay, DefaultRootWindow(FDisplay), &root, &parent, &children, &count))
        return 0;
    // Topmost first: a window stacked above an older copy with the same title wins.
    for (unsigned i = count; i-- > 0 && found == 0;) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(FDisplay, children[i], &a) || a.map_state != IsViewable)
            continue;
        const std::string title = WindowTitle(FDisplay, children[i]);
        if (prefix ? title.rfind(utf8Title, 0) == 0 : title == utf8Title)
            found = children[i];
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

unsigned long TXInput::WaitForWindow(std::string_view utf8Title, std::chrono::milliseconds timeout,
                                     bool prefix) {
    const auto end = Clock::now() + timeout;
    while (true) {
        if (unsigned long w = FindWindow(utf8Title, prefix))
            return w;
        if (Clock::now() > end)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::optional<TRect> TXInput::Geometry(unsigned long window) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(FDisplay, window, &a))
        return std::nullopt;
    int x = 0, y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(FDisplay, window, DefaultRootWindow(FDisplay), 0, 0, &x, &y, &child))
        return std::nullopt;
    return TRect{x, y, a.width, a.height};
}

void TXInput::Focus(unsigned long window) {
    XRaiseWindow(FDisplay, window);
    XSetInputFocus(FDisplay, window, RevertToPointerRoot, CurrentTime);
    Settle();
}

void TXInput::MoveWindow(unsigned long window, int x, int y) {
    XMoveWindow(FDisplay, window, x, y);
    Settle();
}

// What a window manager sends when the user clicks the window's close button.
void TXInput::CloseWindow(unsigned long window) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(FDisplay, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(FDisplay, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(FDisplay, window, False, NoEventMask, &e);
    XFlush(FDisplay);
}

std::optional<TPixels> TXInput::Capture(unsigned long window) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(FDisplay, window, &a) || a.map_state != IsViewable)
        return std::nullopt;
    XImage* image = XGetImage(FDisplay, window, 0, 0, static_cast<unsigned>(a.width),
                              static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
    if (image == nullptr)
        return std::nullopt;
    TPixels p;
    p.width = a.width;
    p.height = a.height;
    p.rgb.reserve(static_cast<std::size_t>(a.width) * static_cast<std::size_t>(a.height));
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x)
            p.rgb.push_back(static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFFu);
    }
    XDestroyImage(image);
    return p;
}

// ---------------------------------------------------------------------------------------------

std::unique_ptr<TSpyClient> TSpyClient::Open(const std::string& display, const TRect& where,
                                             std::string* error) {
    XSetErrorHandler(IgnoreXError);
    Display* d = XOpenDisplay(display.c_str());
    if (d == nullptr) {
        if (error)
            *error = "cannot open X display " + display;
        return nullptr;
    }
    XSetWindowAttributes attributes{};
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | FocusChangeMask | EnterWindowMask | LeaveWindowMask |
                            StructureNotifyMask;
    attributes.background_pixel = 0x3060A0;
    const ::Window w =
        XCreateWindow(d, DefaultRootWindow(d), where.x, where.y, static_cast<unsigned>(where.width),
                      static_cast<unsigned>(where.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWEventMask | CWBackPixel, &attributes);
    XStoreName(d, w, "e2e-other-client");
    XMapRaised(d, w);
    // Viewable before anyone focuses it or moves the pointer over it.
    for (XEvent e;;) {
        XNextEvent(d, &e);
        if (e.type == MapNotify)
            break;
    }
    return std::unique_ptr<TSpyClient>(new TSpyClient(d, w));
}

TSpyClient::~TSpyClient() {
    XDestroyWindow(FDisplay, FWindow);
    XCloseDisplay(FDisplay);
}

void TSpyClient::TakeFocus() {
    XSetInputFocus(FDisplay, FWindow, RevertToPointerRoot, CurrentTime);
    XSync(FDisplay, False);
}

void TSpyClient::Pump() {
    XSync(FDisplay, False);
    while (XPending(FDisplay) > 0) {
        XEvent e;
        XNextEvent(FDisplay, &e);
        switch (e.type) {
            case KeyPress:
                ++FKeyPresses;
                break;
            case ButtonPress:
                ++FButtonPresses;
                break;
            case MotionNotify:
                ++FMotions;
                break;
            case FocusIn:
                // NotifyWhileGrabbed: the focus came here while a grab was active; NotifyUngrab: a
                // grab ended; NotifyNormal: no grab.
                FGrabbed = e.xfocus.mode == NotifyWhileGrabbed;
                break;
            case FocusOut:
                if (e.xfocus.mode == NotifyGrab || e.xfocus.mode == NotifyWhileGrabbed)
                    FGrabbed = true;
                break;
            case EnterNotify:
                FPointerInside = true;
                break;
            case LeaveNotify:
                FPointerInside = false;
                break;
            default:
                break;
        }
    }
}

int TSpyClient::KeyPresses() {
    Pump();
    return FKeyPresses;
}

int TSpyClient::ButtonPresses() {
    Pump();
    return FButtonPresses;
}

int TSpyClient::Motions() {
    Pump();
    return FMotions;
}

bool TSpyClient::KeyboardGrabbed() {
    // Asked, not just listened for: a click on another client's window can move the focus there
    // (Qt focuses a window it is clicked in when no window manager does), and the focus events
    // then go to that window. Moving the focus away and back makes the server say in the mode of
    // the FocusIn whether a grab is active, and leaves the focus here.
    XSetInputFocus(FDisplay, PointerRoot, RevertToPointerRoot, CurrentTime);
    XSetInputFocus(FDisplay, FWindow, RevertToPointerRoot, CurrentTime);
    Pump();
    return FGrabbed;
}

bool TSpyClient::WaitKeyboardGrabbed(bool grabbed, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (KeyboardGrabbed() != grabbed) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool TSpyClient::PointerInside() {
    Pump();
    return FPointerInside;
}

bool TSpyClient::WaitPointerInside(bool inside, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (PointerInside() != inside) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace e2e
