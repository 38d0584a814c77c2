#!/usr/bin/env python3
"""A game feeding marlpike-falloff-server through its control port. Standard library only."""
import argparse, math, signal, socket, time

WALK = 1.4  # metres a second
# Voice alias (the Mumble user name) -> certificate hash, as your voice server reports them.
PLAYERS = {"VC-Listener": "3f1a9c0e5b7d2468ace13579bdf02468ace13579",
           "VC-Fox": "9b2e4c6a8d0f1357924680ace13579bdf0246813",
           "VC-Heron": "5d7f9b1c3e5a7092b4d6f8a0c2e4a6b8d0f21436",
           "VC-Otter": "e1c3a5b7d9f0e2c4a6b8d0f2e4c6a8b0d2f46587",
           "VC-Kite": "7c9e1a3b5d7f9024c6e8a0b2d4f6183a5c7e9b1d"}

def to_and_fro(t, length):  # how far along a path walked there and back, and which way
    s = WALK * t % (2 * length)
    return (s, 1) if s < length else (2 * length - s, -1)

def where(alias, t):  # x east, y north (metres), heading (degrees clockwise from north)
    if alias == "VC-Fox":  # a 4 m circle round the listener, passing behind the shed
        a = WALK * t / 4
        return 4 * math.sin(a), 4 * math.cos(a), math.degrees(a) + 90
    if alias == "VC-Heron":  # walks past on the listener's left, whispering
        s, way = to_and_fro(t, 24)
        return -3, s - 12, 0 if way > 0 else 180
    if alias == "VC-Otter":  # walks east, out of range, and back
        s, way = to_and_fro(t, 14)
        return 14 + s, 1, 90 if way > 0 else 270
    if alias == "VC-Kite":  # the listener's radio partner, half a kilometre away
        return 400 + 5 * math.sin(t / 4), 300, 90
    return 0, 0, 0  # VC-Listener stands at the origin, facing north

def connect(address, transcript):
    """The control connection: send(*lines), and sync() for the refusals of the lines sent."""
    sock = socket.create_connection(address.rsplit(":", 1))
    answers = sock.makefile("r", encoding="utf-8")
    def send(*lines):
        sock.sendall("".join(line + "\n" for line in lines).encode())
        if transcript:  # each line with the time it went, for the demo's map
            transcript.writelines(f"{time.time():.3f} {line}\n" for line in lines)
    def sync():  # the server answers OK once it has applied every line sent before
        send("sync")
        refusals = []
        for answer in answers:
            if answer.strip() == "OK":
                return refusals
            refusals.append(answer.strip())  # "ERR <reason>: <the line>"
        raise ConnectionError("the falloff server closed the control connection")
    return send, sync

def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--control", default="127.0.0.1:8891", help="the server's control HOST:PORT")
    p.add_argument("--seconds", type=float, default=60, help="how long to run")
    p.add_argument("--transcript", help="write every line sent, timed, to this file")
    args = p.parse_args()
    stopping = []  # a signal ends the walk; the players then leave
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    send, sync = connect(args.control, args.transcript and open(args.transcript, "w", buffering=1))
    bound = {"VC-Listener": "127.0.0.1"}  # this one's voice link is taken only from that address
    send(*(f"player {alias} {cert} {bound.get(alias, '')}".rstrip() for alias, cert in PLAYERS.items()),
         "wall shed 0.5 -3.5 3.8 -0.8 0.8",  # id, from x y, to x y, muffle
         "wall hedge -2 2 -2 6 0.3",
         "range VC-Heron 8",  # a whisper carries 8 m
         "hear VC-Listener VC-Kite 0.9 0 0 1",  # gain pan muffle radio, whatever the distance
         "hear VC-Kite VC-Listener 0.9 0 0 1")
    refusals, start, ticks = sync(), time.monotonic(), 0
    while not refusals and not stopping and (t := time.monotonic() - start) < args.seconds:
        send(*(f"pos {alias} {x:.2f} {y:.2f} 0 {heading:.0f}"
               for alias in PLAYERS for x, y, heading in [where(alias, t)]))
        ticks += 1
        time.sleep(max(0.0, start + ticks / 10 - time.monotonic()))
    send(*(f"leave {alias}" for alias in PLAYERS))  # their voice links close at once
    refusals += sync()
    print("\n".join(refusals) or f"done: {ticks} rounds of positions", flush=True)
    return 1 if refusals else 0

if __name__ == "__main__":
    raise SystemExit(main())
