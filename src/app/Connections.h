#pragma once
// The session table and the connections being set up: which dongles the application holds a
// session of, the worker that sets each new one up, which sessions take input, and the handles
// that name a session across an event loop. The window starts connections, tells it what the
// dongles did (activated, disconnected) and what the user gave up, and turns what it reports into
// images, captions and boxes; it holds no widget and no timer, so each path runs without a window.
//
// Threads. Everything here runs on the owner's thread but the workers. A session enters the table
// at Start, before its worker runs, so the table only ever changes on the owner's thread and a
// second start finds a connection that is being set up. A worker reports back through Post (in
// the order it posted), and only what still applies when its report runs reaches the events. A
// session whose InitData still runs is never destroyed: when it leaves the table first, it is
// destroyed when its worker has reported back.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/UnitCorvastelDevice.h"

class TBluetoothLEDevice;

// Capacity of the found-dongle table and of the session table.
inline constexpr int DeviceSlots = 65;

// A session named across an event loop (a box, a dialog, a menu): the session may leave the table
// meanwhile, and a new one may take its dongle or even its memory, so what outlives the loop is
// this handle, resolved again afterwards. Each session that enters the table gets a serial of its
// own, never reused (TCorvastelDevice::Serial); its device events carry it too.
struct TSessionHandle {
    uint64_t Serial = 0;  // 0: no session
    std::string Address;  // the dongle it was, for what is said when it went away
};

// How a connection's worker ended, as its owner hears it.
enum class TWorkerEnd {
    Linked,       // the link is up: the session stays and its device events tell the rest
    NeverLinked,  // no link came up, so no disconnect will follow: the session left the table now
    LeftEarlier,  // the session had left the table while the worker ran: it is destroyed now
};

// What the owner hears, always on its own thread (through Post).
struct TConnectionEvents {
    // A worker began setting its session up, and the session is still being set up.
    std::function<void(TCorvastelDevice& Session)> WorkerStarted;
    // The set-up of a connection that is not quiet raised an error (Error: what it said) while the
    // session was still being set up and had not ended otherwise. The session stays in the table.
    std::function<void(TCorvastelDevice& Session, const std::string& Error)> SetupThrew;
    // A worker ended; Address: its dongle's.
    std::function<void(TWorkerEnd End, const std::string& Address)> WorkerEnded;
    // A session is leaving the table (not at Close): nothing may be sent to it any more.
    std::function<void(const TCorvastelDevice& Session)> Leaving;
};

class TConnections {
  public:
    using TPost = std::function<void(std::function<void()>)>;
    using TClock = std::chrono::steady_clock;

    // Ui: what the sessions of connections that are not quiet show their messages with. Post:
    // carries a worker's report onto the owner's thread, in the order posted; once the owner stops
    // running it (before Close), a report left in it must never run.
    TConnections(TDeviceUi& Ui, TPost Post, TConnectionEvents Events);
    // Closes (see Close).
    ~TConnections();
    TConnections(const TConnections&) = delete;
    TConnections& operator=(const TConnections&) = delete;

    // The table, in the order the sessions entered it. Sessions[0, Count) are owned here; the owner
    // reads them freely on its thread and changes them only through this object.
    std::array<TCorvastelDevice*, DeviceSlots> Sessions{};
    int Count = 0;

    enum class TStart {
        Started,
        Held,     // a session of the table is on this device
        Closing,  // the worker of a session that left the table still runs on this device
        Full,     // every slot of the table is taken
    };
    // Sets up a connection to Device: a session enters the table and a worker of its own runs its
    // InitData. Quiet: a try that fails again and again while the dongle is away; its session says
    // nothing and its set-up errors are not reported.
    TStart Start(TBluetoothLEDevice& Device, bool Quiet);

    // Slot of the first session on the device with this address; -1 for none.
    int Find(const std::string& Address) const;
    bool Holds(const TCorvastelDevice* Session) const;
    // A session of the table that was not sent its all-released reports yet.
    bool InSetup(const TCorvastelDevice* Session) const;
    // Whether any session of the table is being set up.
    bool SettingUp() const;
    // The sessions being set up that made no progress for Bound up to Now and did not end by
    // themselves (a setup that failed by itself has its failure on the way).
    std::vector<TSessionHandle> Stalled(TClock::time_point Now, TClock::duration Bound) const;
    // Gives a connection being set up up: its setup is cancelled, its link closed and it leaves the
    // table. Returns its dongle's address.
    std::string GiveUp(TCorvastelDevice& Session);

    // The session became active. The first time, it is sent its all-released reports (a dongle that
    // dropped and came back may still hold keys on its target) and from then on takes input; true
    // that first time.
    bool Activated(TCorvastelDevice& Session);
    // A session that is active and was sent its all-released reports.
    bool InputReady(const TCorvastelDevice* Session) const;
    // The session's link went: it leaves the table. True when it dropped: it took input and went
    // without the user asking.
    bool Disconnected(TCorvastelDevice& Session);
    // Takes the session out of the table; it is destroyed now, or once its worker is done with it.
    void Remove(TCorvastelDevice& Session);

    TSessionHandle HandleOf(const TCorvastelDevice* Session) const;
    // The session the handle names while it is still in the table; null once it left.
    TCorvastelDevice* Resolve(const TSessionHandle& Handle) const;

    // Closes the link of every connection still being set up, so that its worker does not wait out
    // the connect time-out.
    void CutSetupsShort();
    // Cuts the setups short, waits for every worker and destroys every session. The owner has
    // stopped running reports first. Nothing is reported.
    void Close();

    // Workers that have not reported their end yet.
    int Workers() const { return static_cast<int>(FJobs.size()); }

  private:
    // A connection being set up: its worker runs the session's InitData.
    struct TJob {
        TCorvastelDevice* Session = nullptr;
        TBluetoothLEDevice* Device = nullptr;
        std::thread Worker;
        bool Removed = false;  // it left the table first: destroy it when the worker ends
    };
    // The connect worker: what each connection runs on a thread of its own.
    void ConnectWorker(TCorvastelDevice& Session, TBluetoothLEDevice& Device, bool Quiet);
    void WorkerDone(TCorvastelDevice* Session, bool Linked);
    bool Released(const TCorvastelDevice* Session) const;

    TDeviceUi& FUi;
    // What a quiet connection's session says goes nowhere: a try fails again and again while the
    // dongle is away, and the owner already says what happens.
    struct TQuietUi final : TDeviceUi {
        void ShowMessageAndWait(const std::string&) override {}
    } FQuietUi;
    TPost FPost;
    TConnectionEvents FEvents;
    std::vector<std::unique_ptr<TJob>> FJobs;
    // The serial the last session was given (TSessionHandle, TCorvastelDevice::Serial).
    uint64_t FLastSerial = 0;
    // Sessions of the table that were sent their all-released reports; only these take input.
    std::vector<const TCorvastelDevice*> FReleased;
};
