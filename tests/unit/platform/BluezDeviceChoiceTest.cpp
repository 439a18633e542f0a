// The device object a write past Qt goes to, when bluetoothd keeps one per adapter for an address.

#include "platform/ble/qt/BluezDeviceChoice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string Hci0 = "/org/bluez/hci0";
const std::string Hci1 = "/org/bluez/hci1";
const std::string On0 = Hci0 + "/dev_C0_FF_EE_00_00_0A";
const std::string On1 = Hci1 + "/dev_C0_FF_EE_00_00_0A";

struct TCase {
    const char* name;
    std::vector<TBluezDeviceObject> candidates;
    std::string qtAdapter;
    std::string chosen;
};

TEST(BluezDeviceChoice, TakesTheObjectQtConnected) {
    const std::vector<TCase> cases{
        // The first object by path is not the one Qt connected: the connected one wins.
        {"connected on the second adapter", {{On0, Hci0, false}, {On1, Hci1, true}}, Hci0, On1},
        {"connected on the second adapter, Qt's not known", {{On1, Hci1, true}, {On0, Hci0, false}}, "", On1},
        {"both connected: Qt's adapter", {{On0, Hci0, true}, {On1, Hci1, true}}, Hci1, On1},
        {"none connected yet: Qt's adapter", {{On0, Hci0, false}, {On1, Hci1, false}}, Hci1, On1},
        {"none connected, Qt's not known: first by path", {{On1, Hci1, false}, {On0, Hci0, false}}, "", On0},
        {"one adapter", {{On0, Hci0, true}}, Hci0, On0},
        {"no object", {}, Hci0, ""},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ChooseDeviceObject(c.candidates, c.qtAdapter), c.chosen) << c.name;
}

}  // namespace
