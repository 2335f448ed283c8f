# A local relay on 127.0.0.1 driving one scripted run of the agent's relay link.
# Usage: relay_stub.py VERSION RELAY_TOKEN SESSION HOST_TOKEN HOST_ID NONCE WORKSPACE
# Prints "port N", "phase1 done" when the agent may be restarted, then "ok"; "FAIL reason" and a non-zero exit
# at the first unexpected thing.
import asyncio
import json
import sys

import websockets

TIMEOUT = 10


def fail(reason):
    print(f"FAIL {reason}", flush=True)
    sys.exit(1)


async def receive(ws):
    return json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))


class Relay:
    def __init__(self, token):
        self.token = token
        self.refuse = 1  # the first attempt is refused, so the agent must come back on its own
        self.connections = asyncio.Queue()

    async def process_request(self, path, headers):
        if headers.get("Authorization") != f"Bearer {self.token}" or self.token in path:
            fail(f"the relay token is not only in the Authorization header: {path}")
        if self.refuse:
            self.refuse -= 1
            return (503, [], b"busy\n")
        return None

    async def handler(self, ws, path):
        await self.connections.put((ws, path))
        await ws.wait_closed()

    async def accept(self, version, resume_from):
        ws, path = await asyncio.wait_for(self.connections.get(), TIMEOUT)
        hello = await receive(ws)
        expected = {"type": "hello", "role": "host", "version": version}
        if version == "elixirV2":
            expected["resumeFrom"] = resume_from
        if hello != expected:
            fail(f"hello {hello}, expected {expected}")
        return ws, path


class Tablet:
    # One tablet behind the relay; elixirV2 frames are numbered across tablets.

    seq = 0

    def __init__(self, version, peer):
        self.version, self.peer = version, peer

    def frame(self, payload, seq=None):
        text = payload if isinstance(payload, str) else json.dumps(payload)
        frame = {"type": "data", "peer": self.peer, "payload": text}
        if self.version == "elixirV2":
            if seq is None:
                Tablet.seq += 1
            frame["seq"] = seq or Tablet.seq
        return json.dumps(frame)

    async def call(self, ws, request, then_close=False):
        # The reply (a close frame when that comes first), with then_close also the close that must follow it;
        # the agent's acknowledgement is checked on the way.
        await ws.send(self.frame(request))
        replies, acked = [], self.version != "elixirV2"
        while len(replies) < 1 + then_close or not acked:
            frame = await receive(ws)
            if frame.get("type") == "ack" and frame.get("seq") == Tablet.seq:
                acked = True
            elif frame.get("type") in ("data", "close") and frame.get("peer") == self.peer:
                if self.version == "elixirV2":
                    await ws.send(json.dumps({"type": "ack", "seq": frame["seq"]}))
                replies.append(json.loads(frame["payload"]) if frame["type"] == "data" else frame)
            else:
                fail(f"unexpected frame {frame}")
        if then_close and replies[1].get("type") != "close":
            fail(f"no close after {replies[0]}: {replies[1]}")
        return replies[0] if not then_close else replies


async def scenario(version, token, session, host_token, host_id, nonce, workspace):
    relay = Relay(token)
    server = await websockets.serve(relay.handler, "127.0.0.1", 0, process_request=relay.process_request)
    print(f"port {server.sockets[0].getsockname()[1]}", flush=True)
    ws, path = await relay.accept(version, 0)
    expected_path = f"/relay/v2/{session}" if version == "elixirV2" else f"/relay/{session}"
    if path != expected_path:
        fail(f"path {path}, expected {expected_path}")
    tablet = Tablet(version, "tablet-1")
    auth = {"id": 1, "method": "auth", "params": {"token": host_token, "hostId": host_id, "pairingNonce": nonce,
                                                 "deviceId": "relay-ipad", "deviceName": "Relay iPad"}}
    if (await tablet.call(ws, auth)).get("result", {}).get("paired") is not True:
        fail("pairing through the relay")
    if "entries" not in (await tablet.call(ws, {"id": 2, "method": "fs.list", "params": {"path": workspace}}))["result"]:
        fail("fs.list through the relay")
    # A stranger behind the same relay is refused and its conversation closed.
    bad = dict(auth, params=dict(auth["params"], token="wrong", deviceId="other"))
    refusal, closing = await Tablet(version, "tablet-2").call(ws, bad, then_close=True)
    if refusal.get("error", {}).get("code") != "auth_failed" or closing.get("code") != 1008:
        fail(f"stranger: {refusal} {closing}")
    # 1 MiB of control characters is a legal message; escaped, the frame is six times as large.
    if (await Tablet(version, "tablet-3").call(ws, "\x01" * 2**20)).get("error", {}).get("code") != "parse_error":
        fail("1 MiB of control characters")
    # A frame within what the link reads, with a payload over the limit, ends only its own tablet's conversation.
    closing = await Tablet(version, "tablet-4").call(ws, "\x01" * (8 * 2**20 // 6))
    if closing.get("type") != "close" or closing.get("code") != 1009:
        fail(f"8 MiB frame: {closing}")
    if "result" not in await tablet.call(ws, {"id": 3, "method": "workspaces.list"}):
        fail("the other tablet lost its conversation")
    # A frame the agent cannot take is logged, and acknowledged when it has a sequence number.
    await ws.send(json.dumps(dict(json.loads(tablet.frame({"id": 9, "method": "workspaces.list"})), peer=7)))
    if version == "elixirV2" and await receive(ws) != {"type": "ack", "seq": Tablet.seq}:
        fail("a dropped frame was not acknowledged")
    # A frame over what the link reads ends the link, once: the agent comes back past it.
    try:
        await ws.send(tablet.frame("\x01" * (3 * 2**20)))
    except websockets.ConnectionClosed:
        pass  # the agent may close while the frame is still on its way
    await ws.wait_closed()
    if ws.close_code != 1009:
        fail(f"link closed with {ws.close_code}")
    ws, _ = await relay.accept(version, Tablet.seq)
    if version == "elixirV2":
        # A replay of a frame the agent already handled is acknowledged but not served again.
        await ws.send(tablet.frame({"id": 4, "method": "workspaces.list"}, seq=Tablet.seq))
        if await receive(ws) != {"type": "ack", "seq": Tablet.seq}:
            fail("replayed frame")
    # Without resume the conversation is gone with the link: the tablet has to authenticate again.
    reply = await tablet.call(ws, {"id": 5, "method": "workspaces.list"})
    if ("result" if version == "elixirV2" else "error") not in reply:
        fail(f"after the link came back: {reply}")
    # A link that simply breaks has no close code to report.
    ws.transport.abort()
    await relay.accept(version, Tablet.seq)
    print("phase1 done", flush=True)
    # The test restarts the agent; the new one resumes from the state file.
    await relay.accept(version, Tablet.seq)
    print("ok", flush=True)
    server.close()


if __name__ == "__main__":
    asyncio.run(scenario(*sys.argv[1:8]))
