#include "UinputDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

TUinputDevice::TUinputDevice(TKind kind, const char* name) {
    FFd = ::open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (FFd < 0) {
        return;
    }
    if (kind == TKind::Keyboard) {
        ::ioctl(FFd, UI_SET_EVBIT, EV_KEY);
        for (int key = 1; key < 256; ++key) {
            ::ioctl(FFd, UI_SET_KEYBIT, key);
        }
        ::ioctl(FFd, UI_SET_EVBIT, EV_LED);
        for (int led : {LED_NUML, LED_CAPSL, LED_SCROLLL}) {
            ::ioctl(FFd, UI_SET_LEDBIT, led);
        }
        // What a USB keyboard sends beside each key; readers that keep key state ignore it.
        ::ioctl(FFd, UI_SET_EVBIT, EV_MSC);
        ::ioctl(FFd, UI_SET_MSCBIT, MSC_SCAN);
    } else {
        ::ioctl(FFd, UI_SET_EVBIT, EV_KEY);
        for (int button : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA}) {
            ::ioctl(FFd, UI_SET_KEYBIT, button);
        }
        ::ioctl(FFd, UI_SET_EVBIT, EV_REL);
        for (int rel : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES}) {
            ::ioctl(FFd, UI_SET_RELBIT, rel);
        }
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_USB;
    setup.id.vendor = 0x1234;
    setup.id.product = kind == TKind::Keyboard ? 0x0001 : 0x0002;
    std::strncpy(setup.name, name, UINPUT_MAX_NAME_SIZE - 1);
    if (::ioctl(FFd, UI_DEV_SETUP, &setup) < 0 || ::ioctl(FFd, UI_DEV_CREATE) < 0) {
        ::close(FFd);
        FFd = -1;
        return;
    }
    char sysname[64] = {};
    ::ioctl(FFd, UI_GET_SYSNAME(sizeof sysname), sysname);
    const std::string dir = std::string("/sys/devices/virtual/input/") + sysname;
    for (int attempt = 0; attempt < 100 && FNode.empty(); ++attempt) {
        if (DIR* d = ::opendir(dir.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                if (std::strncmp(e->d_name, "event", 5) == 0) {
                    FNode = std::string("/dev/input/") + e->d_name;
                }
            }
            ::closedir(d);
        }
        if (FNode.empty() || ::access(FNode.c_str(), R_OK) != 0) {
            FNode.clear();
            ::usleep(20000);
        }
    }
}

TUinputDevice::~TUinputDevice() {
    if (FFd >= 0) {
        ::ioctl(FFd, UI_DEV_DESTROY);
        ::close(FFd);
    }
}

void TUinputDevice::Emit(uint16_t type, uint16_t code, int32_t value) {
    input_event e{};
    e.type = type;
    e.code = code;
    e.value = value;
    if (::write(FFd, &e, sizeof e) != static_cast<ssize_t>(sizeof e)) {
        ++FWriteFailures;
    }
}

void TUinputDevice::Sync() {
    Emit(EV_SYN, SYN_REPORT, 0);
}

void TUinputDevice::Key(uint16_t code, int32_t value) {
    Emit(EV_KEY, code, value);
    Sync();
}

void TUinputDevice::Tap(uint16_t code) {
    Key(code, 1);
    Key(code, 0);
}
