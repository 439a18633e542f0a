#!/usr/bin/env python3
"""Where a key's time goes on the real stack, from a btmon trace and bench_key_latency --details.

    key-latency-stages.py BTMON_SNOOP DETAILS_CSV

Prints the link parameters the controllers reported (connection complete and update events), how
the reports travelled (the fixed ATT channel or an enhanced ATT channel with credits), and for each
real-stack run the key latency split in three: from the key injected to the write leaving the
central's controller interface (program, Qt, D-Bus, bluetoothd, kernel), from there to the
peripheral's controller interface (the emulated air), and on to the dongle's target (bluetoothd on
the peripheral side, D-Bus, the service). Figures only.

Reads the btsnoop file itself: btmon -r of BlueZ 5.66 crashes partway through these traces.
"""
import struct
import sys

EPOCH_US = 0x00DCDDB30F2F8000  # what BlueZ adds to the Unix time in a btsnoop file
OP_EVENT, OP_ACL_TX, OP_ACL_RX = 3, 4, 5


def records(path):
    data = open(path, 'rb').read()
    if data[:8] != b'btsnoop\0':
        raise SystemExit(f'{path} is no btsnoop file')
    pos = 16
    while pos + 24 <= len(data):
        _, length, flags, _, ts = struct.unpack('>IIIIq', data[pos:pos + 24])
        pos += 24
        yield ts - EPOCH_US, flags >> 16, flags & 0xFFFF, data[pos:pos + length]
        pos += length


def percentile(values, p):
    if not values:
        return 0.0
    values = sorted(values)
    return values[min(len(values) - 1, int(p * (len(values) - 1) + 0.5))]


def main():
    snoop, details = sys.argv[1], sys.argv[2]
    sent, received = [], []  # (time us, channel, value hex) of ATT write commands
    credits = 0
    for ts, index, op, d in records(snoop):
        if op == OP_EVENT and len(d) >= 3 and d[0] == 0x3E:
            sub = d[2]
            at = {0x01: 14, 0x0A: 26, 0x03: 6}.get(sub)
            if at is not None and d[3] == 0 and len(d) >= at + 4:
                interval, latency = struct.unpack('<HH', d[at:at + 4])
                what = 'connection update' if sub == 0x03 else f'connection (role {"peripheral" if d[6] else "central"})'
                print(f'hci{index} {what}: interval {interval * 1.25:.2f} ms, peripheral latency {latency}')
        elif op in (OP_ACL_TX, OP_ACL_RX) and len(d) >= 9:
            channel = struct.unpack('<H', d[6:8])[0]
            if channel == 0x0005 and d[8] == 0x16 and op == OP_ACL_TX:
                credits += 1
                continue
            # A dynamic channel (enhanced ATT) carries a 2-byte SDU length first.
            att = 10 if channel >= 0x40 else 8
            if len(d) > att and d[att] == 0x52:
                entry = (ts, channel, d[att + 3:].hex(' ').upper())
                if index == 0 and op == OP_ACL_TX:
                    sent.append(entry)
                elif index == 1 and op == OP_ACL_RX:
                    received.append(entry)
    channels = sorted({c for _, c, _ in sent})
    print(f'write commands: {len(sent)} sent on hci0, {len(received)} received on hci1, on channel(s) '
          + ', '.join('ATT' if c == 4 else f'0x{c:04X} (enhanced ATT, credit-based)' for c in channels)
          + f'; {credits} credit packets')

    runs = {}
    for line in open(details):
        run, monotonic, injected, report, _, arrived = line.rstrip('\n').split(',')
        if run.startswith('real_stack'):
            # The service stamps arrivals on CLOCK_MONOTONIC; btmon on the time of day.
            offset = int(injected) - int(monotonic)
            runs.setdefault(run, []).append((int(injected), report, int(arrived) + offset if int(arrived) else 0))
    for run, keys in runs.items():
        central, air, peripheral = [], [], []
        k = 0
        for injected, report, arrived in keys:
            while k < len(sent) and (sent[k][0] < injected or sent[k][2] != report):
                k += 1
            if k == len(sent) or not arrived:
                continue
            central.append((sent[k][0] - injected) / 1000)
            if k < len(received):
                air.append((received[k][0] - sent[k][0]) / 1000)
                peripheral.append((arrived - received[k][0]) / 1000)
            k += 1
        print(f'{run}: {len(central)} of {len(keys)} key reports traced; p50 / max ms: '
              f'key -> hci0 {percentile(central, .5):.1f} / {max(central, default=0):.1f}, '
              f'hci0 -> hci1 {percentile(air, .5):.1f} / {max(air, default=0):.1f}, '
              f'hci1 -> target {percentile(peripheral, .5):.1f} / {max(peripheral, default=0):.1f}')


if __name__ == '__main__':
    main()
