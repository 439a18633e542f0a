// Finds, opens and reads the input devices for TEvdevCapture: every /dev/input/event* node that is a
// keyboard or a mouse, opened while a hook is installed and closed when none is (nothing reads the
// keyboard while nothing captures). Devices that come and go meanwhile are followed with inotify on
// the folder: a node appears root-only and gets its group a moment later, so a node that cannot be
// opened yet is tried again when its attributes change. Everything runs on the thread that created
// the backend, through QSocketNotifiers. Nothing here writes what a key was anywhere.

#include "platform/hooks/evdev/EvdevHookPlatform.h"

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/hooks/evdev/EvdevCapture.h"

namespace {

bool IsEventNode(const std::string& name) {
    if (name.size() <= 5 || name.compare(0, 5, "event") != 0) {
        return false;
    }
    for (size_t i = 5; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    return true;
}

void WriteLedsTo(int fd, unsigned leds) {
    input_event events[4] = {};
    const unsigned codes[3] = {LED_NUML, LED_CAPSL, LED_SCROLLL};
    for (int i = 0; i < 3; ++i) {
        events[i].type = EV_LED;
        events[i].code = static_cast<uint16_t>(codes[i]);
        events[i].value = static_cast<int32_t>((leds >> codes[i]) & 1U);
    }
    events[3].type = EV_SYN;
    events[3].code = SYN_REPORT;
    if (::write(fd, events, sizeof events) < 0 && errno != ENODEV) {
        std::clog << "input capture: evdev: lock lights not restored: " << std::strerror(errno) << '\n';
    }
}

class TEvdevFdDevice final : public TEvdevDevice {
  public:
    TEvdevFdDevice(int fd, bool writable, bool leds) : FFd(fd), FWritable(writable), FLeds(leds) {}
    ~TEvdevFdDevice() override {
        if (FNotifier) {
            // Possibly inside its own activation: let Qt delete it once that has returned.
            FNotifier->setEnabled(false);
            FNotifier.release()->deleteLater();
        }
        ::close(FFd);
    }

    void Watch(TEvdevCapture* capture, int id) {
        FNotifier = std::make_unique<QSocketNotifier>(FFd, QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, FNotifier.get(),
                         [capture, id] { capture->Pump(id); });
    }

    long Read(input_event* events, size_t max) override {
        const ssize_t got = ::read(FFd, events, max * sizeof(input_event));
        if (got < 0) {
            return (errno == EAGAIN || errno == EINTR) ? 0 : -1;  // ENODEV: unplugged
        }
        return static_cast<long>(static_cast<size_t>(got) / sizeof(input_event));
    }
    int SetGrab(bool on) override { return ::ioctl(FFd, EVIOCGRAB, on ? 1 : 0) == 0 ? 0 : errno; }
    bool ReadKeys(TEvdevKeyBits& keys) override {
        return ::ioctl(FFd, EVIOCGKEY(sizeof keys.Words), keys.Words.data()) >= 0;
    }
    bool Pending() override {
        pollfd p{FFd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && p.revents != 0;  // an error or hang-up: Read says which
    }
    bool ReadLeds(unsigned& leds) override {
        TEvdevBits<LED_CNT> bits;
        if (!FLeds || ::ioctl(FFd, EVIOCGLED(sizeof bits.Words), bits.Words.data()) < 0) {
            return false;
        }
        leds = static_cast<unsigned>(bits.Words[0]);
        return true;
    }
    void WriteLeds(unsigned leds) override {
        if (!FLeds || !FWritable) {
            return;
        }
        // The console's keyboard handler sets its own lights on a device whose grab ends, and again a
        // moment later from its tasklet: write ours now and once more after that.
        WriteLedsTo(FFd, leds);
        const int fd = QCoreApplication::instance() != nullptr ? ::dup(FFd) : -1;
        if (fd >= 0) {
            QTimer::singleShot(50, QCoreApplication::instance(), [fd, leds] {
                WriteLedsTo(fd, leds);
                ::close(fd);
            });
        }
    }

  private:
    const int FFd;
    const bool FWritable;
    const bool FLeds;
    std::unique_ptr<QSocketNotifier> FNotifier;
};

TEvdevCaps QueryCaps(int fd, bool* leds = nullptr) {
    TEvdevBits<EV_CNT> events;
    TEvdevKeyBits keys;
    TEvdevBits<REL_CNT> rel;
    ::ioctl(fd, EVIOCGBIT(0, sizeof events.Words), events.Words.data());
    ::ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys.Words), keys.Words.data());
    ::ioctl(fd, EVIOCGBIT(EV_REL, sizeof rel.Words), rel.Words.data());
    if (leds != nullptr) {
        *leds = events.Test(EV_LED);
    }
    return ClassifyEvdevDevice(events, keys, rel);
}

class TEvdevHookPlatform final : public TEvdevCapture {
  public:
    explicit TEvdevHookPlatform(std::string directory) : FDirectory(std::move(directory)) {
        // Say at once when nothing could ever be captured, so the window can tell before the user tries.
        const TScan scan = Probe();
        if (!scan.Listed) {
            SetUnavailable("The input devices in " + FDirectory +
                           " cannot be listed, so the keyboard and mouse cannot be captured.");
        } else if (scan.Denied > 0 && FProbeKeyboards == 0) {
            SetUnavailable(PermissionReason);
        }
    }
    ~TEvdevHookPlatform() override { StopDevices(); }

  protected:
    TScan StartDevices() override {
        FDenied.clear();
        FWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (FWatch >= 0 && ::inotify_add_watch(FWatch, FDirectory.c_str(),
                                               IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_TO) >= 0) {
            FWatchNotifier = std::make_unique<QSocketNotifier>(FWatch, QSocketNotifier::Read);
            QObject::connect(FWatchNotifier.get(), &QSocketNotifier::activated, FWatchNotifier.get(),
                             [this] { ReadWatch(); });
        } else {
            std::clog << "input capture: evdev: devices plugged in later will not be seen: "
                      << std::strerror(errno) << '\n';
        }
        TScan scan;
        scan.Listed = ForEachNode([this](const std::string& name) { Open(name); });
        scan.Denied = static_cast<int>(FDenied.size());
        return scan;
    }

    void StopDevices() override {
        if (FWatchNotifier) {
            FWatchNotifier->setEnabled(false);
            FWatchNotifier.release()->deleteLater();
        }
        if (FWatch >= 0) {
            ::close(FWatch);
            FWatch = -1;
        }
        FNodes.clear();
        FDenied.clear();
    }

  private:
    template <typename TFn>
    bool ForEachNode(TFn fn) {
        DIR* dir = ::opendir(FDirectory.c_str());
        if (dir == nullptr) {
            return false;
        }
        while (const dirent* entry = ::readdir(dir)) {
            if (IsEventNode(entry->d_name)) {
                fn(entry->d_name);
            }
        }
        ::closedir(dir);
        return true;
    }

    TScan Probe() {
        TScan scan;
        scan.Listed = ForEachNode([&](const std::string& name) {
            const int fd = ::open((FDirectory + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                FProbeKeyboards += QueryCaps(fd).Keyboard ? 1 : 0;
                ::close(fd);
            } else if (errno == EACCES || errno == EPERM) {
                ++scan.Denied;
            }
        });
        return scan;
    }

    void Open(const std::string& name) {
        if (auto it = FNodes.find(name); it != FNodes.end() && HasDevice(it->second)) {
            return;
        }
        const std::string path = FDirectory + "/" + name;
        // Writable for the lock lights; reading is all that capture needs.
        bool writable = true;
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && (errno == EACCES || errno == EPERM)) {
            writable = false;
            fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) {
                FDenied.insert(name);
            }
            return;
        }
        FDenied.erase(name);
        bool leds = false;
        const TEvdevCaps caps = QueryCaps(fd, &leds);
        if (!caps.Keyboard && !caps.Pointer) {
            ::close(fd);
            return;
        }
        // Event times on the clock the rest of the app measures with.
        int clock = CLOCK_MONOTONIC;
        ::ioctl(fd, EVIOCSCLOCKID, &clock);
        char deviceName[256] = {};
        if (::ioctl(fd, EVIOCGNAME(sizeof deviceName - 1), deviceName) < 0) {
            deviceName[0] = '\0';
        }
        auto device = std::make_unique<TEvdevFdDevice>(fd, writable, leds);
        TEvdevFdDevice* watched = device.get();
        const int id = AddDevice(deviceName[0] != '\0' ? deviceName : name, caps, std::move(device));
        watched->Watch(this, id);
        FNodes[name] = id;
    }

    void ReadWatch() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(FWatch, buffer, sizeof buffer);
            if (got <= 0) {
                return;
            }
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string name = event->len > 0 ? event->name : "";
                if (!IsEventNode(name)) {
                    continue;
                }
                if ((event->mask & IN_DELETE) != 0) {
                    if (auto it = FNodes.find(name); it != FNodes.end()) {
                        const int id = it->second;
                        FNodes.erase(it);
                        RemoveDevice(id);
                    }
                } else {
                    Open(name);
                }
                if (FWatch < 0) {
                    return;  // a notification switched capture off
                }
            }
        }
    }

    const std::string FDirectory;
    int FProbeKeyboards = 0;  // keyboards this user may read, when the backend was made
    int FWatch = -1;
    std::unique_ptr<QSocketNotifier> FWatchNotifier;
    std::map<std::string, int> FNodes;  // node name -> device id
    std::set<std::string> FDenied;      // nodes this user may not open
};

}  // namespace

std::unique_ptr<THookPlatform> CreateEvdevHookPlatform(std::string* error, const std::string& directory) {
    if (QCoreApplication::instance() == nullptr) {
        if (error != nullptr) {
            *error = "Keyboard and mouse capture needs the application's event loop.";
        }
        return nullptr;
    }
    return std::make_unique<TEvdevHookPlatform>(directory);
}
