#pragma once
// Which of bluetoothd's device objects for one address a write past Qt goes to. bluetoothd keeps
// one object per adapter that heard the device (/org/bluez/hci0/dev_..., /org/bluez/hci1/dev_...);
// only the one whose link Qt brought up can carry the write.

#include <algorithm>
#include <string>
#include <vector>

struct TBluezDeviceObject {
    std::string path;
    std::string adapterPath;  // its Adapter property
    bool connected = false;   // its Connected property
};

// The object Qt connected: the connected one, on the adapter Qt uses where several are connected;
// with none connected (yet), the one on Qt's adapter. Among equals the first by path, as Qt takes
// the first adapter by path when it was given none. qtAdapterPath may be empty (not known). Empty
// when there is no candidate.
inline std::string ChooseDeviceObject(std::vector<TBluezDeviceObject> candidates,
                                      const std::string& qtAdapterPath) {
    std::sort(candidates.begin(), candidates.end(),
              [](const TBluezDeviceObject& a, const TBluezDeviceObject& b) { return a.path < b.path; });
    const auto score = [&](const TBluezDeviceObject& o) {
        const bool onQtAdapter = !qtAdapterPath.empty() && o.adapterPath == qtAdapterPath;
        return (o.connected ? 2 : 0) + (onQtAdapter ? 1 : 0);
    };
    const TBluezDeviceObject* best = nullptr;
    for (const TBluezDeviceObject& o : candidates) {
        if (!best || score(o) > score(*best))
            best = &o;
    }
    return best ? best->path : std::string();
}
