// The imitation of bluetoothd against what the real one does where a client can tell: the same
// scripted central (corvastel-bluez-probe) walked a dongle through connect, failing writes, reads
// while notifying, link loss and a cancelled connect on a real bluetoothd in the kernel rig; its
// trace is kept in data/. Each rule below holds for that trace and must hold for the imitation.
//
// To record the trace again (one boot of the rig, a few minutes), from the source tree with the
// debug build:
//   tests/support/kernel/kernel-rig --timeout 480 --out artifacts/kernel/bluez-probe
//     tools/virtual-dongles/probe/probe-guest.sh
//     $PWD/tools/virtual-dongles/service/org.corvastel.VirtualDongles.conf
//     $PWD/build/debug/tools/virtual-dongles/service/corvastel-virtual-dongles
//     $PWD/build/debug/tools/virtual-dongles/probe/corvastel-bluez-probe
// (one command line) and take artifacts/kernel/bluez-probe/probe.txt; dbus-monitor.txt and
// btmon.snoop lie beside it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "ChildProcess.h"

using namespace std::chrono_literals;

namespace {

using TLines = std::vector<std::string>;
// The lines without their time stamps, and each line's time stamp (seconds) beside them.
struct TTrace : TLines {
    std::vector<double> at;
};

TTrace ReadTrace(const std::string& path) {
    TTrace lines;
    std::ifstream in(path);
    const std::regex stamp(R"(^\+\s*([0-9.]+) )");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        lines.at.push_back(std::regex_search(line, m, stamp) ? std::stod(m[1].str()) : 0.0);
        lines.push_back(std::regex_replace(line, stamp, ""));
    }
    return lines;
}

// The lines of one step: after "STEP  title" up to the next step.
TTrace StepOf(const TTrace& trace, const std::string& title) {
    TTrace out;
    bool in = false;
    for (size_t i = 0; i < trace.size(); ++i) {
        const std::string& line = trace[i];
        if (line.rfind("STEP  ", 0) == 0) {
            if (in)
                break;
            in = line == "STEP  " + title;
            continue;
        }
        if (in) {
            out.push_back(line);
            out.at.push_back(trace.at[i]);
        }
    }
    return out;
}

long Find(const TLines& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos)
            return static_cast<long>(i);
    }
    return -1;
}
bool Has(const TLines& lines, const std::string& text) {
    return Find(lines, text) >= 0;
}
bool Before(const TLines& lines, const std::string& first, const std::string& then) {
    const long a = Find(lines, first);
    const long b = Find(lines, then);
    return a >= 0 && b > a;
}

// Seconds from the first line holding first to the first holding then; negative when either is
// missing.
double Seconds(const TTrace& lines, const std::string& first, const std::string& then) {
    const long a = Find(lines, first);
    const long b = Find(lines, then);
    if (a < 0 || b < 0)
        return -1;
    return lines.at[static_cast<size_t>(b)] - lines.at[static_cast<size_t>(a)];
}

struct TRule {
    const char* step;
    const char* what;
    std::function<bool(const TTrace&)> holds;
};

// bluetoothd's disconnect timer (DISCONNECT_TIMER, 2 s): a Disconnect of a link that is up is
// carried out that long after the call (the real trace: 2.7 s). A little under it, for the time
// stamps' own slack.
constexpr double DisconnectTimerSeconds = 1.8;

// The walk's waits are shortened by this much for the imitation (--settle-scale), and its timers
// with them: the times the rules see are the real stack's times this much shorter.
double TimeScale = 1.0;

// bluetoothd's time-out for a device it never connected (TemporaryTimeout, 30 s), counted from when
// it last heard it.
constexpr double TemporaryTimeoutSeconds = 30.0;

const char* const Forgotten = "a dongle heard but never connected is forgotten";
const char* const Connect = "connect, and a second connect while the first is pending";
const char* const Fails = "writes the dongle fails";
const char* const Drop = "the dongle drops the link";
const char* const PowerOff = "the central's adapter is powered off";
const char* const Silent = "a connect to a silent dongle, cancelled by Disconnect";

const std::vector<TRule> Rules = {
    // Heard last as the scan ended, or shortly before: forgotten about the time-out later, not at
    // once and not never.
    {Forgotten, "a device never connected is forgotten its temporary time-out after it was last heard",
     [](const TTrace& l) {
         const double s = Seconds(l, "NOTE  scan ended", "dev InterfacesRemoved Device1");
         return s >= 0.5 * TemporaryTimeoutSeconds * TimeScale &&
                s <= 1.5 * TemporaryTimeoutSeconds * TimeScale;
     }},
    {Connect, "a second Connect while one is pending is refused",
     [](const TLines& l) {
         return Has(l, R"(Connect#2 error org.bluez.Error.Failed "Operation already in progress")");
     }},
    // The GATT objects' InterfacesAdded came before "resolved" in one run and after it in
    // another (bluetoothd sends them from an idle callback); clients read the objects once resolved.
    {Connect, "Connect is answered before the services resolve, and the GATT objects come",
     [](const TLines& l) {
         return Before(l, "REPLY first Connect#1 ok", "Device1 {ServicesResolved=true, UUIDs=(") &&
                Before(l, "REPLY first Connect#1 ok", "InterfacesAdded GattService1");
     }},
    {Connect, "the service list and 'resolved' come in one signal",
     [](const TLines& l) {
         return !Has(l, "Device1 {UUIDs=") && !Has(l, "Device1 {ServicesResolved=true}");
     }},
    {"read a notifying characteristic (F801 readable, F80F not)",
     "a read's value comes as a change before the reply",
     [](const TLines& l) {
         return Before(l, "GattCharacteristic1 {Value=[]}", "REPLY ReadValue F801 ok []");
     }},
    {Fails, "a write without response the dongle fails is confirmed all the same",
     [](const TLines& l) { return Before(l, "REPLY WriteValue F801 command ok", "DONGL"); }},
    {Fails, "the dongle records that write as failed",
     [](const TLines& l) {
         const long at = Find(l, "DONGL");
         return at >= 0 && l[static_cast<size_t>(at)].find(R"("status":257)") != std::string::npos;
     }},
    {Fails, "a write with response the dongle fails reports the failure",
     [](const TLines& l) { return Has(l, "REPLY WriteValue F804 request error org.bluez.Error.Failed"); }},
    {Drop, "link loss is one signal",
     [](const TLines& l) { return Has(l, "Device1 {Connected=false, ServicesResolved=false}"); }},
    {Drop, "the GATT objects stay, and calls on them fail as not connected",
     [](const TLines& l) {
         return !Has(l, "InterfacesRemoved") &&
                Has(l, R"(after the drop error org.bluez.Error.Failed "Not connected")");
     }},
    {"reconnect after a scan", "a new link keeps the GATT objects and resolves after the answer",
     [](const TLines& l) {
         return !Has(l, "InterfacesAdded Gatt") &&
                Before(l, "REPLY again Connect#1 ok", "ServicesResolved=true");
     }},
    {PowerOff, "the link ends in one signal, and power and scan go in one",
     [](const TLines& l) {
         return Has(l, "Device1 {Connected=false, ServicesResolved=false}") &&
                Has(l, "Adapter1 {Discovering=false, Powered=false}");
     }},
    {PowerOff, "a write or a connect meanwhile fails",
     [](const TLines& l) {
         return Has(l, R"(command while off error org.bluez.Error.Failed "Not connected")") &&
                Has(l, R"(Connect while powered off error org.bluez.Error.Failed "Input/output error")");
     }},
    {"connect after power-on", "the link comes back with the objects it had",
     [](const TLines& l) { return !Has(l, "InterfacesAdded Gatt") && Has(l, "ServicesResolved=true"); }},
    {Silent, "Disconnect: the services go, then the answer, then the link",
     [](const TLines& l) {
         return Before(l, "Device1 {ServicesResolved=false}", "REPLY Disconnect ok") &&
                Before(l, "REPLY Disconnect ok", "Device1 {Connected=false}");
     }},
    {Silent, "Disconnect waits for the disconnect timer before the services go",
     [](const TTrace& l) {
         return Seconds(l, "CALL  Disconnect", "Device1 {ServicesResolved=false}") >= DisconnectTimerSeconds;
     }},
    {Silent, "a Disconnect that cancels a pending connect is answered at once, with no timer",
     [](const TTrace& l) {
         const double s =
             Seconds(l, "CALL  Disconnect while connecting", "REPLY Disconnect while connecting");
         return s >= 0 && s < 1.0;
     }},
    {Silent, "a connect waits for a silent dongle until Disconnect cancels it",
     [](const TLines& l) {
         return Before(
             l, "CALL  Disconnect while connecting",
             R"(REPLY Connect (silent dongle) error org.bluez.Error.Failed "br-connection-canceled")");
     }},
};

std::string Breaches(const TTrace& trace, double timeScale = 1.0) {
    TimeScale = timeScale;
    std::string out;
    for (const auto& rule : Rules) {
        const TTrace step = StepOf(trace, rule.step);
        if (step.empty()) {
            out += std::string("no step '") + rule.step + "'\n";
        } else if (!rule.holds(step)) {
            out += std::string("'") + rule.step + "': " + rule.what + "\n";
            for (const auto& line : step)
                out += "    " + line + "\n";
        }
    }
    return out;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(BluezLikeness, TheRulesHoldForTheRealStack) {
    const TTrace trace = ReadTrace(CORVASTEL_REAL_BLUEZ_TRACE);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(Breaches(trace), "");
}

namespace {
constexpr double WalkScale = 0.1;

// The probe's walk through the imitation started with these further options (a later option
// overrides an earlier one); the trace.
void WalkTheImitation(const std::vector<std::string>& extra, TTrace* trace) {
    std::string error;
    auto bus = TPrivateBus::Start(&error);
    if (!bus)
        GTEST_SKIP() << "no private D-Bus bus: " << error;
    // Files of their own for each walk: CTest runs the walks side by side, and two walks writing
    // one trace gave each a garbled one (its times and lines mixed with the other's).
    const std::string dir = ::testing::TempDir();
    const std::string walk = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                             "-" + std::to_string(getpid());
    const std::string serviceOut = dir + "bluez-likeness-service-" + walk + ".txt";
    const std::string traceOut = dir + "bluez-likeness-trace-" + walk + ".txt";
    const std::string address = "00:AA:01:01:00:01";
    TChildProcess::Options options;
    options.env["DBUS_SYSTEM_BUS_ADDRESS"] = bus->Address();
    options.stdoutPath = serviceOut;
    std::vector<std::string> argv{
        CORVASTEL_VIRTUAL_DONGLES_EXE, "--dongle", "name=Corvastel-A,address=" + address + ",readable=F801",
        "--temporary-timeout-ms",
        std::to_string(static_cast<int>(TemporaryTimeoutSeconds * 1000 * WalkScale))};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto service = TChildProcess::Start(argv, options, &error);
    ASSERT_TRUE(service) << error;
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (Slurp(serviceOut).find("ready") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "the service never became ready";
        std::this_thread::sleep_for(20ms);
    }

    options.stdoutPath = traceOut;
    auto probe = TChildProcess::Start({CORVASTEL_BLUEZ_PROBE_EXE, "--device", address, "--control",
                                       "org.bluez", "--settle-scale", std::to_string(WalkScale)},
                                      options, &error);
    ASSERT_TRUE(probe) << error;
    const auto status = probe->WaitExit(90s);
    ASSERT_TRUE(status) << Slurp(traceOut);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << Slurp(traceOut);
    *trace = ReadTrace(traceOut);
}
}  // namespace

TEST(BluezLikeness, TheImitationKeepsThem) {
    TTrace trace;
    ASSERT_NO_FATAL_FAILURE(WalkTheImitation({}, &trace));
    if (IsSkipped())
        return;
    EXPECT_EQ(Breaches(trace, WalkScale), "");
}

// The rules see time: an imitation that disconnects at once, as bluetoothd never does, breaks them.
TEST(BluezLikeness, AnImitationWithoutTheDisconnectTimerBreaksThem) {
    TTrace trace;
    ASSERT_NO_FATAL_FAILURE(WalkTheImitation({"--disconnect-timer-ms", "0"}, &trace));
    if (IsSkipped())
        return;
    const std::string breaches = Breaches(trace, WalkScale);
    EXPECT_NE(breaches.find("Disconnect waits for the disconnect timer"), std::string::npos) << breaches;
}

// And an imitation that never forgets a device breaks them too.
TEST(BluezLikeness, AnImitationThatNeverForgetsBreaksThem) {
    TTrace trace;
    ASSERT_NO_FATAL_FAILURE(WalkTheImitation({"--temporary-timeout-ms", "0"}, &trace));
    if (IsSkipped())
        return;
    const std::string breaches = Breaches(trace, WalkScale);
    EXPECT_NE(breaches.find("forgotten its temporary time-out after"), std::string::npos) << breaches;
}
