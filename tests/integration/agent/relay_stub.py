# A local relay on 127.0.0.1 (elixirV2) with two tablets behind it, for the host's end-to-end run.
# Usage: relay_stub.py RELAY_TOKEN SESSION HOST_TOKEN HOST_ID NONCE WORKSPACE
# Prints "port N"; "paired" once both tablets paired through the agent's relay link; "revoked" once the first
# one's conversation was closed with 1008 "device revoked" while the second is still served. "FAIL reason" and
# a non-zero exit at the first unexpected thing.
import asyncio
import json
import sys

import websockets

TIMEOUT = 10


def fail(reason):
    print(f"FAIL {reason}", flush=True)
    sys.exit(1)


async def main(token, session, host_token, host_id, nonce, workspace):
    links = asyncio.Queue()

    async def handler(ws, path):
        if ws.request_headers.get("Authorization") != f"Bearer {token}" or path != f"/relay/v2/{session}":
            fail(f"the relay link asked for {path}")
        await links.put(ws)
        await ws.wait_closed()

    server = await websockets.serve(handler, "127.0.0.1", 0)
    print(f"port {server.sockets[0].getsockname()[1]}", flush=True)
    ws = await asyncio.wait_for(links.get(), TIMEOUT)
    if json.loads(await ws.recv()).get("type") != "hello":
        fail("no hello")
    seq = 0

    async def send(peer, payload):
        nonlocal seq
        seq += 1
        await ws.send(json.dumps({"type": "data", "peer": peer, "payload": json.dumps(payload), "seq": seq}))

    async def next_frame(peer):
        # The next data or close frame for the peer; every numbered frame is acknowledged, as a relay does.
        while True:
            frame = json.loads(await asyncio.wait_for(ws.recv(), TIMEOUT))
            if "seq" in frame and frame.get("type") != "ack":
                await ws.send(json.dumps({"type": "ack", "seq": frame["seq"]}))
            if frame.get("peer") == peer:
                return frame

    for peer in ("tablet-1", "tablet-2"):
        await send(peer, {"id": 1, "method": "auth", "params": {
            "token": host_token, "hostId": host_id, "pairingNonce": nonce, "deviceId": f"relay-{peer}",
            "deviceName": peer}})
        if json.loads((await next_frame(peer))["payload"]).get("result", {}).get("paired") is not True:
            fail(f"{peer} did not pair")
    print("paired", flush=True)
    closing = await next_frame("tablet-1")  # once the host revokes it
    if (closing.get("type"), closing.get("code"), closing.get("reason")) != ("close", 1008, "device revoked"):
        fail(f"tablet-1 got {closing}")
    await send("tablet-2", {"id": 2, "method": "fs.list", "params": {"path": workspace}})
    if "result" not in json.loads((await next_frame("tablet-2"))["payload"]):
        fail("tablet-2 lost its conversation")
    print("revoked", flush=True)
    server.close()


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:7]))
