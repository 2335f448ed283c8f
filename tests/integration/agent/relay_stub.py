"""A local relay for the agent's relay link, driving one scripted scenario.

Usage: relay_stub.py VERSION RELAY_TOKEN SESSION HOST_TOKEN HOST_ID NONCE WORKSPACE [limits]
Prints "port N" once listening, "phase1 done" when the agent may be restarted, and "ok" at the end;
with "limits", frames too large for a tablet or for the link instead, and "ok" at the end;
exits non-zero with the reason at the first unexpected thing. Listens on 127.0.0.1 only.
"""
import asyncio
import json
import sys

import websockets

TIMEOUT = 10


class Relay:
    def __init__(self, token):
        self.token = token
        self.refuse = 1  # the first attempt is refused, so the agent must come back on its own
        self.connections = asyncio.Queue()

    async def process_request(self, path, headers):
        if headers.get("Authorization") != f"Bearer {self.token}":
            fail(f"wrong Authorization header on {path}")
        if self.token in path:
            fail("relay token in the URL")
        if self.refuse:
            self.refuse -= 1
            return (503, [], b"busy\n")
        return None

    async def handler(self, ws, path):
        await self.connections.put((ws, path))
        await ws.wait_closed()

    async def accept(self):
        ws, path = await asyncio.wait_for(self.connections.get(), TIMEOUT)
        hello = await receive(ws)
        if hello.get("type") != "hello" or hello.get("role") != "host":
            fail(f"no hello: {hello}")
        return ws, path, hello


def fail(reason):
    print(f"FAIL {reason}", flush=True)
    sys.exit(1)


async def receive(ws):
    return json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))


class Tablet:
    """One tablet behind the relay; numbers its frames when the relay speaks elixirV2."""

    def __init__(self, version, peer):
        self.version, self.peer, self.seq = version, peer, 0
        self.pending = []  # frames for this tablet that came after the reply

    def frame(self, payload, seq=None):
        text = payload if isinstance(payload, str) else json.dumps(payload)
        frame = {"type": "data", "peer": self.peer, "payload": text}
        if self.version == "elixirV2":
            if seq is None:
                self.seq += 1
                seq = self.seq
            frame["seq"] = seq
        return json.dumps(frame)

    async def call(self, ws, request, seq=None):
        """Sends a request; returns the tablet's reply, checking the agent's acknowledgement on the way."""
        await ws.send(self.frame(request, seq))
        reply, acked = None, self.version != "elixirV2"
        while reply is None or not acked:
            frame = await receive(ws)
            if frame.get("type") == "ack":
                acked = True
            elif frame.get("type") in ("data", "close") and frame.get("peer") == self.peer:
                if self.version == "elixirV2":
                    await ws.send(json.dumps({"type": "ack", "seq": frame["seq"]}))
                if reply is not None:
                    self.pending.append(frame)
                else:
                    reply = json.loads(frame["payload"]) if frame["type"] == "data" else frame
            else:
                fail(f"unexpected frame {frame}")
        return reply


async def scenario(version, token, session, host_token, host_id, nonce, workspace):
    relay = Relay(token)
    server = await websockets.serve(relay.handler, "127.0.0.1", 0, process_request=relay.process_request)
    print(f"port {server.sockets[0].getsockname()[1]}", flush=True)
    expected_path = f"/relay/v2/{session}" if version == "elixirV2" else f"/relay/{session}"

    ws, path, hello = await relay.accept()
    if path != expected_path:
        fail(f"path {path}, expected {expected_path}")
    if hello.get("version") != version or (version == "elixirV2" and hello.get("resumeFrom") != 0):
        fail(f"hello {hello}")
    tablet = Tablet(version, "tablet-1")
    auth = {"id": 1, "method": "auth", "params": {"token": host_token, "hostId": host_id,
                                                 "pairingNonce": nonce, "deviceId": "relay-ipad",
                                                 "deviceName": "Relay iPad"}}
    reply = await tablet.call(ws, auth)
    if reply.get("result", {}).get("paired") is not True:
        fail(f"pairing through the relay: {reply}")
    reply = await tablet.call(ws, {"id": 2, "method": "fs.list", "params": {"path": workspace}})
    if "entries" not in reply.get("result", {}):
        fail(f"fs.list through the relay: {reply}")
    # A stranger behind the same relay is refused and its conversation closed.
    stranger = Tablet(version, "tablet-2")
    stranger.seq = tablet.seq
    bad = dict(auth, params=dict(auth["params"], token="wrong", deviceId="other"))
    reply = await stranger.call(ws, bad)
    tablet.seq = stranger.seq
    if reply.get("error", {}).get("code") != "auth_failed":
        fail(f"stranger: {reply}")
    closing = stranger.pending[0] if stranger.pending else await receive(ws)
    if closing.get("type") != "close" or closing.get("code") != 1008:
        fail(f"stranger not closed: {closing}")

    await ws.close(code=1011, reason="relay restarting")
    ws, path, hello = await relay.accept()
    if version == "elixirV2":
        if hello.get("resumeFrom") != tablet.seq:
            fail(f"resume after a drop: {hello}, expected {tablet.seq}")
        # A replay of a frame the agent already handled is acknowledged but not served again.
        await ws.send(tablet.frame({"id": 2, "method": "fs.list", "params": {"path": workspace}}, seq=tablet.seq))
        ack = await receive(ws)
        if ack != {"type": "ack", "seq": tablet.seq}:
            fail(f"replayed frame: {ack}")
        reply = await tablet.call(ws, {"id": 3, "method": "workspaces.list"})
        if reply.get("result", {}).get("workspaces", [{}])[0].get("path") != workspace:
            fail(f"resumed conversation: {reply}")
    else:
        # Without resume the conversation is gone: the tablet has to authenticate again.
        reply = await tablet.call(ws, {"id": 3, "method": "workspaces.list"})
        if reply.get("error", {}).get("code") != "unauthenticated":
            fail(f"goV1 after a drop: {reply}")
    print("phase1 done", flush=True)

    # The test restarts the agent; the new one resumes from the state file.
    ws, path, hello = await relay.accept()
    if version == "elixirV2" and hello.get("resumeFrom") != tablet.seq:
        fail(f"resume after a restart: {hello}, expected {tablet.seq}")
    print("ok", flush=True)
    server.close()


async def limits(version, token, session, host_token, host_id, nonce, workspace):
    relay = Relay(token)
    server = await websockets.serve(relay.handler, "127.0.0.1", 0, process_request=relay.process_request)
    print(f"port {server.sockets[0].getsockname()[1]}", flush=True)
    ws, _, _ = await relay.accept()
    tablet = Tablet(version, "tablet-1")
    auth = {"id": 1, "method": "auth", "params": {"token": host_token, "hostId": host_id,
                                                 "pairingNonce": nonce, "deviceId": "relay-ipad",
                                                 "deviceName": "Relay iPad"}}
    if "result" not in await tablet.call(ws, auth):
        fail("pairing")
    # 1 MiB of control characters is a legal message; escaped, the frame is six times as large.
    noisy = Tablet(version, "tablet-2")
    noisy.seq = tablet.seq
    reply = await noisy.call(ws, "\x01" * 2**20)
    if reply.get("error", {}).get("code") != "parse_error":
        fail(f"1 MiB of control characters: {reply}")
    # An 8 MiB frame with a payload over the limit ends only its own tablet's conversation.
    flood = Tablet(version, "tablet-3")
    flood.seq = noisy.seq
    reply = await flood.call(ws, "\x01" * (8 * 2**20 // 6))
    if reply.get("type") != "close" or reply.get("code") != 1009:
        fail(f"8 MiB frame: {reply}")
    tablet.seq = flood.seq
    if "result" not in await tablet.call(ws, {"id": 2, "method": "workspaces.list"}):
        fail("the other tablet lost its conversation")
    # A frame the agent cannot take is logged, and acknowledged when it has a sequence number.
    numbered = json.loads(tablet.frame({"id": 9, "method": "workspaces.list"}))
    await ws.send(json.dumps(dict(numbered, peer=7)))
    if version == "elixirV2" and await receive(ws) != {"type": "ack", "seq": tablet.seq}:
        fail("a dropped frame was not acknowledged")
    # A frame over what the link reads ends the link, once: the agent comes back past it.
    try:
        await ws.send(tablet.frame("\x01" * (3 * 2**20)))
    except websockets.ConnectionClosed:
        pass  # the agent may close while the frame is still on its way
    await ws.wait_closed()
    if ws.close_code != 1009:
        fail(f"link closed with {ws.close_code}")
    ws, _, hello = await relay.accept()
    if version == "elixirV2" and hello.get("resumeFrom") != tablet.seq:
        fail(f"resumed before the frame that ended the link: {hello}, expected {tablet.seq}")
    reply = await tablet.call(ws, {"id": 3, "method": "workspaces.list"})
    expected = "result" if version == "elixirV2" else "error"
    if expected not in reply:
        fail(f"after the link came back: {reply}")
    await asyncio.sleep(1)
    if not relay.connections.empty() or ws.closed:
        fail("the link did not stay up")
    # A link that simply breaks has no close code to report.
    ws.transport.abort()
    await relay.accept()
    print("ok", flush=True)
    server.close()


if __name__ == "__main__":
    if sys.argv[8:] == ["limits"]:
        asyncio.run(limits(*sys.argv[1:8]))
    else:
        asyncio.run(scenario(*sys.argv[1:8]))
