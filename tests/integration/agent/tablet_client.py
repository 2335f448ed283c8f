# A tablet stand-in. "SETUP_LINK WORKSPACE [ENDPOINT]", knowing only what a scanned QR code says (ENDPOINT
# stands in for the link's own, for a tunnel that leads nowhere in a test): pairs, reconnects as a trusted
# device, lists the folder, one line per step, and exits non-zero at the first unexpected answer.
# "--oversized WS_URL": sends one 1.5 MiB message in a single frame, as browsers do, and prints the close code
# and reason it gets, then "eof" once the agent ends the connection.
import asyncio
import base64
import json
import os
import socket
import struct
import sys
import urllib.parse

import websockets


async def call(ws, request_id, method, params=None):
    await ws.send(json.dumps({"id": request_id, "method": method, "params": params or {}}))
    reply = json.loads(await asyncio.wait_for(ws.recv(), 5))
    if reply.get("id") != request_id or "result" not in reply:
        raise SystemExit(f"unexpected reply to {method}: {reply}")
    return reply["result"]


async def main(link, workspace, endpoint=None):
    parsed = urllib.parse.urlsplit(link)
    if parsed.scheme != "ferrowyn" or parsed.netloc != "connect":
        raise SystemExit(f"not a setup link: {link}")
    query = dict(urllib.parse.parse_qsl(parsed.query, strict_parsing=True))
    query["endpoint"] = endpoint or query["endpoint"]
    device = {"token": query["token"], "hostId": query["hostId"], "deviceId": "py-tablet", "deviceName": "Python tablet"}
    async with websockets.connect(query["endpoint"], max_size=2**20) as ws:
        result = await call(ws, 1, "auth", dict(device, pairingNonce=query["pairingNonce"]))
        print(f"paired={result['paired']}")
    async with websockets.connect(query["endpoint"], max_size=2**20) as ws:
        result = await call(ws, 1, "auth", device)
        print(f"trusted={not result['paired']}")
        folders = await call(ws, 2, "workspaces.list")
        if [w["path"] for w in folders["workspaces"]] != [workspace]:
            raise SystemExit(f"unexpected workspaces: {folders}")
        listing = await call(ws, 3, "fs.list", {"path": workspace})
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


async def hold(link, device_id):
    # "--hold SETUP_LINK DEVICE_ID": pairs as that device, says "ready", and stays until the agent closes.
    query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(link).query))
    async with websockets.connect(query["endpoint"]) as ws:
        await call(ws, 1, "auth", {"token": query["token"], "hostId": query["hostId"], "deviceId": device_id,
                                   "deviceName": device_id, "pairingNonce": query["pairingNonce"]})
        print("ready", flush=True)
        try:
            while True:
                await ws.recv()
        except websockets.ConnectionClosed as closed:
            print(f"closed={closed.code} reason={closed.reason}", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "--hold":
        asyncio.run(hold(*sys.argv[2:4]))
    elif sys.argv[1] == "--oversized":
        oversized(sys.argv[2])
    else:
        asyncio.run(main(*sys.argv[1:4]))
