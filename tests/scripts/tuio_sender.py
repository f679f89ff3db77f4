#!/usr/bin/env python3
"""A TUIO 1.1 tracker on its own: writes the bundles of a short multi-touch gesture to a UDP port.

Each frame is one OSC bundle on /tuio/2Dcur holding "source", "alive" with the sessions present,
one "set" per session (session, x, y, X, Y, m) and "fseq" with the frame number, as the TUIO 1.1
protocol lays out its cursor profile. Only the standard library is used.

The gesture: session 41 touches at frame 1 and moves right; session 42 joins at frame 3; 41 lifts
after frame 5; 42 moves on and lifts after frame 8. Every frame is sent --repeat times (UDP may
drop a datagram; a tracker repeats its frames too).

    tuio_sender.py PORT [--host 127.0.0.1] [--repeat 1]
"""

import argparse
import socket
import struct
import time


def osc_string(text):
    data = text.encode("utf-8") + b"\0"
    return data + b"\0" * (-len(data) % 4)


def osc_message(address, *arguments):
    tags = ","
    payload = b""
    for value in arguments:
        if isinstance(value, str):
            tags += "s"
            payload += osc_string(value)
        elif isinstance(value, int):
            tags += "i"
            payload += struct.pack(">i", value)
        else:
            tags += "f"
            payload += struct.pack(">f", value)
    return osc_string(address) + osc_string(tags) + payload


def osc_bundle(messages):
    data = osc_string("#bundle") + struct.pack(">II", 0, 1)  # immediately
    for message in messages:
        data += struct.pack(">i", len(message)) + message
    return data


def frames():
    """(frame number, {session: (x, y)}) for each frame of the gesture."""
    for number in range(1, 11):
        cursors = {}
        if number <= 5:
            cursors[41] = (0.1 * number, 0.5)
        if 3 <= number <= 8:
            cursors[42] = (0.9, 0.1 * number)
        yield number, cursors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--repeat", type=int, default=1)
    options = parser.parse_args()

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    profile = "/tuio/2Dcur"
    for number, cursors in frames():
        messages = [osc_message(profile, "source", "tuio_sender@127.0.0.1"),
                    osc_message(profile, "alive", *sorted(cursors))]
        for session, (x, y) in sorted(cursors.items()):
            messages.append(osc_message(profile, "set", session, x, y, 0.0, 0.0, 0.0))
        messages.append(osc_message(profile, "fseq", number))
        for _ in range(options.repeat):
            sock.sendto(osc_bundle(messages), (options.host, options.port))
        time.sleep(0.01)
    sock.close()


if __name__ == "__main__":
    main()
