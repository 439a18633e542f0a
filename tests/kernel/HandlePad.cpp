// corvastel_rig_handle_pad: holds one LE link to a controller of the kernel from an emulated
// controller the kernel never sees, so that btvirt numbers that controller's next link the way the
// central numbers it.
//
//   corvastel_rig_handle_pad HCI_INDEX ADDRESS [SERVER_SOCKET]
//
// Why: btvirt (BlueZ 5.66 to at least 5.8x) gives each side of a new link the lowest free handle
// from 42 up on that side (emulator/btdev.c conn_link/conn_new), but tells the peripheral's host
// the central's number (le_conn_complete) and forwards data unchanged (send_acl). While the central
// holds a link on 42, its second link is 43 on its side and 42 on a peripheral without links: the
// peripheral's host answers on 43, the emulator finds no such link on that controller, and every
// answer is lost. One link held on the second peripheral's controller keeps its 42 taken, so its
// link with the central is 43 on both sides.
//
// How: btvirt -s serves emulated controllers over a Unix socket (/tmp/bt-server-le), in the same
// emulated air as its /dev/vhci ones but unknown to the kernel and to bluetoothd. Through the
// kernel's management interface the target controller advertises (connectable) for a moment; this
// program, the central of that link, connects to it, turns the advertising off again, forks into
// the background to keep the link (answering the target's ATT requests with errors, so its
// bluetoothd has nothing to wait for) and returns once the link is up. Exit status 0 then, 1 when
// the link could not be made (the reason on stderr).

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TBytes = std::vector<uint8_t>;

constexpr int AfBluetooth = 31;
constexpr int BtProtoHci = 1;
constexpr uint16_t HciDevNone = 0xffff;
constexpr uint16_t HciChannelControl = 3;

struct TSockAddrHci {
    sa_family_t family;
    uint16_t dev;
    uint16_t channel;
};

void Put16(TBytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xff));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool WriteAll(int fd, const TBytes& b) {
    size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = write(fd, b.data() + done, b.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// ---- the kernel's management interface: one command, waits for its completion.
class TMgmt {
  public:
    bool Open() {
        FFd = socket(AfBluetooth, SOCK_RAW | SOCK_CLOEXEC, BtProtoHci);
        if (FFd < 0)
            return false;
        TSockAddrHci a{AfBluetooth, HciDevNone, HciChannelControl};
        return bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~TMgmt() {
        if (FFd >= 0)
            close(FFd);
    }
    // Returns the command's status (0 success), or -1 when no answer came.
    int Command(uint16_t opcode, uint16_t index, uint8_t value) {
        TBytes b;
        Put16(b, opcode);
        Put16(b, index);
        Put16(b, 1);
        b.push_back(value);
        if (!WriteAll(FFd, b))
            return -1;
        const auto until = std::chrono::steady_clock::now() + 10s;
        std::array<uint8_t, 1024> buf{};
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{FFd, POLLIN, 0};
            if (poll(&p, 1, 500) <= 0)
                continue;
            const ssize_t n = read(FFd, buf.data(), buf.size());
            if (n < 9)
                continue;
            const uint16_t event = Get16(&buf[0]);
            // Command Complete (1) and Command Status (2) carry the opcode, then the status.
            if ((event == 1 || event == 2) && Get16(&buf[2]) == index && Get16(&buf[6]) == opcode)
                return buf[8];
        }
        return -1;
    }

  private:
    int FFd = -1;
};

constexpr uint16_t MgmtSetConnectable = 0x0007;
constexpr uint16_t MgmtSetAdvertising = 0x0029;

// ---- the emulated controller, spoken to in H4 framing.
class TPad {
  public:
    bool Open(const std::string& path) {
        FFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (FFd < 0)
            return false;
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        return connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }

    bool CreateConnection(const std::array<uint8_t, 6>& peer) {
        TBytes p;
        Put16(p, 0x0060);  // scan interval
        Put16(p, 0x0030);  // scan window
        p.push_back(0);    // no accept list
        p.push_back(0);    // the peer's address is public
        p.insert(p.end(), peer.begin(), peer.end());
        p.push_back(0);    // our address: public
        Put16(p, 0x0018);  // the interval within what the kernel prefers: it asks for no update
        Put16(p, 0x0028);
        Put16(p, 0);       // latency
        Put16(p, 0x01f4);  // supervision time-out, 5 s
        Put16(p, 0);
        Put16(p, 0);
        return Command(0x200d, p);
    }

    // Reads what the controller sends for up to `wait`; fills *handle (and returns true) once an LE
    // Connection Complete arrives, with its status in *status.
    bool WaitConnection(std::chrono::milliseconds wait, uint8_t* status, uint16_t* handle) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < until) {
            TBytes packet;
            if (!Next(200ms, &packet))
                continue;
            // Event, LE Meta, LE Connection Complete.
            if (packet.size() >= 7 && packet[0] == 0x04 && packet[1] == 0x3e && packet[3] == 0x01) {
                *status = packet[4];
                *handle = Get16(&packet[5]) & 0x0fff;
                return true;
            }
        }
        return false;
    }

    // Keeps the link: answers ATT requests and L2CAP signalling requests so that nobody on the
    // other side waits for this controller; ends when the socket closes.
    void Serve() {
        for (;;) {
            TBytes packet;
            if (!Next(-1ms, &packet)) {
                if (FClosed)
                    return;
                continue;
            }
            if (packet[0] != 0x02 || packet.size() < 9)
                continue;
            const uint16_t handle = Get16(&packet[1]) & 0x0fff;
            const uint16_t cid = Get16(&packet[7]);
            const TBytes pdu(packet.begin() + 9, packet.end());
            if (pdu.empty())
                continue;
            if (cid == 0x0004)
                Att(handle, pdu);
            else if (cid == 0x0005)
                Signalling(handle, pdu);
        }
    }

  private:
    bool Command(uint16_t opcode, const TBytes& params) {
        TBytes b{0x01};
        Put16(b, opcode);
        b.push_back(static_cast<uint8_t>(params.size()));
        b.insert(b.end(), params.begin(), params.end());
        return WriteAll(FFd, b);
    }

    void SendL2cap(uint16_t handle, uint16_t cid, const TBytes& pdu) {
        TBytes b{0x02};
        Put16(b, handle);  // packet boundary 0: the start of a PDU
        Put16(b, static_cast<uint16_t>(pdu.size() + 4));
        Put16(b, static_cast<uint16_t>(pdu.size()));
        Put16(b, cid);
        b.insert(b.end(), pdu.begin(), pdu.end());
        WriteAll(FFd, b);
    }

    void Att(uint16_t handle, const TBytes& pdu) {
        const uint8_t op = pdu[0];
        if (op == 0x02) {  // Exchange MTU: the default
            SendL2cap(handle, 0x0004, {0x03, 23, 0});
        } else if (op == 0x1d) {  // an indication wants its confirmation
            SendL2cap(handle, 0x0004, {0x1e});
        } else if ((op & 0x01) == 0 && op < 0x40 && op != 0x1e && op != 0x1b) {
            // A request: searches find nothing, anything else is not supported.
            const bool search = op == 0x04 || op == 0x06 || op == 0x08 || op == 0x10;
            const uint16_t at = search && pdu.size() >= 3 ? Get16(&pdu[1]) : 0;
            SendL2cap(handle, 0x0004,
                      {0x01, op, static_cast<uint8_t>(at & 0xff), static_cast<uint8_t>(at >> 8),
                       static_cast<uint8_t>(search ? 0x0a : 0x06)});
        }
    }

    void Signalling(uint16_t handle, const TBytes& pdu) {
        if (pdu.size() < 4)
            return;
        const uint8_t code = pdu[0];
        const uint8_t ident = pdu[1];
        // Responses (and a reject) need nothing back; a request gets "command not understood".
        if (code == 0x01 || code == 0x13 || code == 0x15 || code == 0x17)
            return;
        SendL2cap(handle, 0x0005, {0x01, ident, 2, 0, 0, 0});
    }

    // One H4 packet (type byte first); false on time-out or a closed socket.
    bool Next(std::chrono::milliseconds wait, TBytes* packet) {
        for (;;) {
            if (size_t need = Needed(); need && FIn.size() >= need) {
                packet->assign(FIn.begin(), FIn.begin() + static_cast<long>(need));
                FIn.erase(FIn.begin(), FIn.begin() + static_cast<long>(need));
                return true;
            }
            pollfd p{FFd, POLLIN, 0};
            const int r = poll(&p, 1, static_cast<int>(wait.count()));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            std::array<uint8_t, 4096> buf{};
            const ssize_t n = read(FFd, buf.data(), buf.size());
            if (n <= 0) {
                FClosed = true;
                return false;
            }
            FIn.insert(FIn.end(), buf.begin(), buf.begin() + n);
        }
    }
    // The length of the packet at the front of the input once its header is in; 0 before.
    size_t Needed() {
        if (FIn.empty())
            return 0;
        switch (FIn[0]) {
            case 0x04:
                return FIn.size() >= 3 ? 3u + FIn[2] : 0;
            case 0x02:
                return FIn.size() >= 5 ? 5u + Get16(&FIn[3]) : 0;
            default:
                // Nothing else is expected from an LE controller: drop the byte and resynchronise.
                FIn.erase(FIn.begin());
                return 0;
        }
    }

    int FFd = -1;
    bool FClosed = false;
    TBytes FIn;
};

bool ParseAddress(const char* text, std::array<uint8_t, 6>* out) {
    unsigned v[6];
    if (std::sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        (*out)[static_cast<size_t>(i)] = static_cast<uint8_t>(v[5 - i]);
    return true;
}

int Fail(const char* why) {
    std::fprintf(stderr, "handle pad: %s\n", why);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return Fail("usage: corvastel_rig_handle_pad HCI_INDEX ADDRESS [SERVER_SOCKET]");
    const auto index = static_cast<uint16_t>(std::atoi(argv[1]));
    std::array<uint8_t, 6> peer{};
    if (!ParseAddress(argv[2], &peer))
        return Fail("the address is not of the form XX:XX:XX:XX:XX:XX");
    const std::string server = argc > 3 ? argv[3] : "/tmp/bt-server-le";

    TPad pad;
    if (!pad.Open(server))
        return Fail("no emulated controller to be had: is btvirt running with -s?");
    TMgmt mgmt;
    if (!mgmt.Open())
        return Fail("cannot open the kernel's Bluetooth management interface");
    if (mgmt.Command(MgmtSetConnectable, index, 1) != 0 || mgmt.Command(MgmtSetAdvertising, index, 1) != 0)
        return Fail("the target controller would not advertise");

    uint8_t status = 0xff;
    uint16_t handle = 0;
    // The advertising starts a moment after the kernel confirms the setting.
    for (int attempt = 0; attempt < 20 && status != 0; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(250ms);
        if (!pad.CreateConnection(peer))
            return Fail("the emulated controller went away");
        if (!pad.WaitConnection(5s, &status, &handle))
            status = 0xff;
    }
    mgmt.Command(MgmtSetAdvertising, index, 0);
    if (status != 0)
        return Fail("the target controller did not take the link");
    std::printf("handle pad: link to %s on handle %u\n", argv[2], handle);
    std::fflush(stdout);

    const pid_t child = fork();
    if (child < 0)
        return Fail("cannot fork");
    if (child > 0)
        return 0;
    setsid();
    pad.Serve();
    return 0;
}
