# A tablet stand-in. "SETUP_LINK WORKSPACE [ENDPOINT]", knowing only what a scanned QR code says (ENDPOINT
# stands in for the link's own, for a tunnel that leads nowhere in a test): pairs, keeps the device secret it
# is issued, reconnects with it as a trusted device, lists the folder, one line per step, and exits non-zero at
# the first unexpected answer.
# "--oversized WS_URL": sends one 1.5 MiB message in a single frame, as browsers do, and prints the close code
# and reason it gets, then "eof" once the agent ends the connection.
# "--flood WS_URL COUNT": COUNT connections from this address, each presenting a wrong host token, as fast as
# the agent takes them (without waiting for refusals the agent holds back); says "flooded=COUNT seconds=S
# cut_off=N", N the attempts whose connection failed.
import asyncio
import base64
import json
import os
import socket
import struct
import sys
import time
import urllib.parse

import websockets

from session_tablet import LinkedAgent, Tablet


async def main(link, workspace, endpoint=None):
    agent = LinkedAgent(link, workspace, endpoint)
    print(f"paired={(await Tablet(agent, 'py-tablet').connect()).auth['paired']}")
    # As a tablet keeps it in its keystore: the only proof that this device id is this tablet.
    tablet = await Tablet(agent, "py-tablet").connect()
    print(f"trusted={not tablet.auth['paired'] and 'deviceSecret' not in tablet.auth}")
    folders = await tablet.call("workspaces.list")
    if [w["path"] for w in folders["workspaces"]] != [workspace]:
        raise SystemExit(f"unexpected workspaces: {folders}")
    listing = await tablet.call("fs.list", {"path": workspace})
    print("entries=" + ",".join(e["name"] for e in listing["entries"]))


def oversized(url):
    # A plain socket with a small send buffer: the client is still sending, blocked, when the agent closes, and
    # like a browser it fails the connection (1006) when a write fails before it has read the close frame.
    parsed = urllib.parse.urlsplit(url)
    sock = socket.create_connection((parsed.hostname, parsed.port))
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 16384)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall(f"GET {parsed.path} HTTP/1.1\r\nHost: {parsed.netloc}\r\nUpgrade: websocket\r\n"
                 f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
    reply = b""
    while b"\r\n\r\n" not in reply:
        reply += sock.recv(4096)
    try:
        sock.sendall(bytes([0x81, 0xFF]) + struct.pack(">Q", 3 * 2**19) + bytes(4) + b"x" * (3 * 2**19))
    except OSError:
        print("closed=1006 reason=")
        return
    # The end must come well before the agent would give up draining on its own (two seconds).
    sock.settimeout(1)
    frame = reply[reply.index(b"\r\n\r\n") + 4:] + sock.recv(4096)
    if frame[:1] != b"\x88":
        raise SystemExit(f"not a close frame: {frame[:16]!r}")
    print(f"closed={struct.unpack('>H', frame[2:4])[0]} reason={frame[4:2 + frame[1]].decode()}")
    while sock.recv(4096):
        pass
    print("eof")


async def flood(url, count):
    started = time.monotonic()
    gate = asyncio.Semaphore(32)
    cut_off = 0

    async def attempt(number):
        nonlocal cut_off
        async with gate:
            try:
                async with websockets.connect(url, close_timeout=5) as ws:
                    await ws.send(json.dumps({"id": number, "method": "auth", "params": {
                        "token": f"guess-{number}", "hostId": "guess", "deviceId": "guess"}}))
            except (OSError, websockets.WebSocketException):
                cut_off += 1  # a guesser does not care; the count tells the test

    await asyncio.gather(*(attempt(number) for number in range(count)))
    print(f"flooded={count} seconds={time.monotonic() - started:.2f} cut_off={cut_off}", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "--flood":
        asyncio.run(flood(sys.argv[2], int(sys.argv[3])))
    elif sys.argv[1] == "--oversized":
        oversized(sys.argv[2])
    else:
        asyncio.run(main(*sys.argv[1:4]))
