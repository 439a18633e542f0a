#pragma once
// Command-line description of the virtual dongles and the service around them.
//
//   corvastel-virtual-dongles [--preview] [--powered-off] [--no-adapter] [--disconnect-timer-ms N]
//                             [--temporary-timeout-ms N] [--dongle TRAITS]...
//   corvastel-virtual-dongles --bluez-adapters hci1,hci2 [--dongle TRAITS]...
//
// The imitation keeps bluetoothd's time rules: a Disconnect of a link that is up is carried out
// after its disconnect timer (--disconnect-timer-ms, 2000 as bluetoothd's), and a device that was
// never connected is forgotten (its object removed) once it has not been heard for its temporary
// time-out (--temporary-timeout-ms, 30000 as bluetoothd's TemporaryTimeout; 0: never). Tests that
// are about other things may shorten both.
//
// --bluez-adapters serves the dongles as real peripherals through the system's bluetoothd, one
// dongle per named adapter (in order), instead of imitating bluetoothd.
//
// TRAITS is a comma-separated list of key=value traits (every key is optional):
//   name=Corvastel-A          advertised name ("" for none)
//   address=C0:FF:EE:00:00:01
//   firmware=1.2.0            Firmware Revision String
//   identity=0451:16B4[:ver]  USB identity the dongle presents
//   answers-identity=1        0: older firmware that ignores the identity request
//   reply-code=A1             A0 or A1
//   identity-reply=A13412     the exact identity reply bytes, in hexadecimal (a malformed reply)
//   write-delay-us=0          air time per write, one after the other (no connection events)
//   interval-us=0             connection interval: writes reach the target at connection events
//   packets-per-event=1       writes one connection event carries
//   ask-interval-us=7500      with --bluez-adapters: once connected, the dongle's controller asks
//                             the central for this connection interval (7500..4000000)
//   rssi=-48
//   services=F800             advertised services, ';'-separated
//   without=F803;F804         characteristics the dongle lacks
//   readable=F801             characteristics that also allow reads, ';'-separated
//   unreadable=2A26           characteristics whose reads fail, ';'-separated
//   request-only=1            no characteristic allows write without response
//   request-only-on=F803;F804 these characteristics allow no write without response
//   advertising=1             0: in range but silent
//   never-resolve=1           connects but its services never resolve
//   security=none             what the vendor characteristics demand of the link: none, encrypt
//                             (any pairing; bluetoothd pairs Just Works by itself on the first
//                             refused request) or authenticated (a pairing with passkey entry:
//                             the dongle shows a passkey, the central's agent asks for it)
//   passkey=123456            the passkey the dongle shows (default: a new random one each time;
//                             the service prints it and Passkey(address) on the control interface
//                             gives it)
//   layout=us                 the target's keyboard layout ("de", "fr", "ch(fr)"): the target
//                             decodes the keys it receives into text on it, as a computer set to
//                             that layout would
//   system=linux              the target's system ("windows", "macos"): its dead keys, AltGr and
//                             Alt+keypad codes (Windows) decode as that system's layouts do
// Without --dongle, one standard dongle is served.

#include <optional>
#include <string>
#include <vector>

#include "VirtualDongle.h"

struct TServiceDongle {
    vdongle::TDongleConfig config;
    bool neverResolve = false;
    // The connection interval a real peripheral asks for once connected (0: none).
    int askIntervalUs = 0;
};

struct TServiceOptions {
    bool preview = false;
    // --preview-beside WxH: the preview keeps clear of a window of this size centred on the screen
    // (the app's, which centres itself), placed beside it where there is room. 0x0: anywhere.
    int besideWidth = 0;
    int besideHeight = 0;
    bool adapterPresent = true;
    bool powered = true;
    int disconnectTimerMs = 2000;
    int temporaryTimeoutMs = 30000;
    std::vector<TServiceDongle> dongles;
    std::vector<std::string> bluezAdapters;  // peripheral front: one adapter per dongle
};

// Parses one TRAITS; nullopt and *error on a bad trait. index numbers default names and addresses.
std::optional<TServiceDongle> ParseDongleTraits(const std::string& traits, int index, std::string* error);

// Parses the whole command line (argv[0] excluded).
std::optional<TServiceOptions> ParseServiceOptions(const std::vector<std::string>& args, std::string* error);
