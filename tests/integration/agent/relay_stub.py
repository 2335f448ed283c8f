# A local relay on 127.0.0.1 (elixirV2) with tablets behind it, for the host's end-to-end run.
# Usage: relay_stub.py RELAY_TOKEN SESSION HOST_TOKEN HOST_ID NONCE WORKSPACE
# Prints "port N"; a line of figures once a flood of wrong tokens through the relay has been met; "paired" once
# two tablets paired through the agent's relay link; "revoked" once the first one's conversation was closed
# with 1008 "device revoked", it was refused under its own and the second one's id, and the second is still
# served; then it reads the new pairing nonce on standard input and says "revoked" once a tablet paired with it
# and none with the old one.
# "FAIL reason" and a non-zero exit at the first unexpected thing.
import asyncio
import collections
import json
import sys
import time

import websockets

from session_tablet import TIMEOUT, device

FLOOD_PEERS = 100


def fail(reason):
    print(f"FAIL {reason}", flush=True)
    sys.exit(1)


def expect(condition, reason):
    if not condition:
        fail(reason)


class Relay:
    """A relay (elixirV2) on 127.0.0.1 for one host link: it acknowledges every numbered frame the host sends,
    numbers its own, and sorts the host's frames by peer. `failed` is told the reason of a broken rule."""

    def __init__(self, path, token, failed):
        self.path, self.token, self.failed, self.seq = path, token, failed, 0
        self.inbox = collections.defaultdict(asyncio.Queue)
        self.hello = asyncio.get_running_loop().create_future()

    async def serve(self):
        self.server = await websockets.serve(self.link, "127.0.0.1", 0, max_size=2 ** 24)
        return self.server.sockets[0].getsockname()[1]

    async def link(self, ws, path):
        if ws.request_headers.get("Authorization") != f"Bearer {self.token}" or path != self.path:
            self.failed(f"the relay link asked for {path}")
        self.ws = ws
        self.hello.set_result(json.loads(await ws.recv()))
        async for text in ws:
            frame = json.loads(text)
            if "seq" in frame and frame.get("type") != "ack":
                await ws.send(json.dumps({"type": "ack", "seq": frame["seq"]}))
            # The list of sessions changing is news this relay's tablets do not follow.
            if "peer" in frame and "sessions.changed" not in frame.get("payload", ""):
                await self.inbox[frame["peer"]].put(frame)

    async def send(self, peer, payload):
        self.seq += 1
        await self.ws.send(json.dumps({"type": "data", "peer": peer, "payload": payload, "seq": self.seq}))


async def main(token, session, host_token, host_id, nonce, workspace):
    relay = Relay(f"/relay/v2/{session}", token, fail)
    print(f"port {await relay.serve()}", flush=True)
    expect((await asyncio.wait_for(relay.hello, TIMEOUT)).get("type") == "hello", "no hello")

    async def send(peer, payload):
        await relay.send(peer, json.dumps(payload))

    async def next_frame(peer):
        try:
            return await asyncio.wait_for(relay.inbox[peer].get(), TIMEOUT)
        except asyncio.TimeoutError:
            fail(f"nothing for {peer} within {TIMEOUT} s")

    async def auth(peer, device_id, secret=None, pairing=False, host_token=host_token, nonce=nonce):
        # The answer's payload, and for a refusal the close frame that follows it.
        proof = {"pairingNonce": nonce} if pairing else {}
        if secret is not None:
            proof["deviceSecret"] = secret
        await send(peer, {"id": 1, "method": "auth", "params": device(
            {"token": host_token, "hostId": host_id}, device_id, **proof)})
        answer = json.loads((await next_frame(peer))["payload"])
        if "error" in answer:
            closing = await next_frame(peer)
            expect((closing.get("type"), closing.get("code")) == ("close", 1008),
                   f"{peer} was refused without a close: {closing}")
        return answer

    async def next_code():
        return (await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)).strip()

    # The scanned code pairs one device; the second pairs with the code the host shows next, which it writes here.
    secrets, codes = {}, {"tablet-1": nonce}
    for peer in ("tablet-1", "tablet-2"):
        if peer != "tablet-1":
            expect("error" in await auth(f"{peer}-used", f"relay-{peer}", pairing=True), "a used code paired again")
            print("used", flush=True)
            codes[peer] = await next_code()
        answer = await auth(peer, f"relay-{peer}", pairing=True, nonce=codes[peer])
        expect(answer.get("result", {}).get("paired") is True, f"{peer} did not pair: {answer}")
        secrets[peer] = answer["result"]["deviceSecret"]

    # A flood of wrong tokens through the relay, each from a peer of its own, then more from one of them: only
    # that peer's refusals are held back, and the right credentials from that very peer get in at once.
    started = time.monotonic()
    await asyncio.gather(*(send(f"guess-{n}", {"id": 1, "method": "auth", "params": {"token": f"guess-{n}"}})
                           for n in range(FLOOD_PEERS)))
    for n in range(FLOOD_PEERS):
        answer = json.loads((await next_frame(f"guess-{n}"))["payload"])
        expect("error" in answer, f"guess-{n} was not refused")
        await next_frame(f"guess-{n}")
    flooded = time.monotonic() - started
    for _ in range(3):
        started = time.monotonic()
        expect("error" in await auth("guess-0", "relay-tablet-2", host_token="guess"), "guess-0 was let in")
    held = time.monotonic() - started
    started = time.monotonic()
    expect("result" in await auth("guess-0", "relay-tablet-2", secrets["tablet-2"]),
           "the right credentials were refused after the flood")
    admitted = time.monotonic() - started
    print(f"flood relay peers={FLOOD_PEERS} in {flooded:.2f}s, fourth refusal of one peer held {held:.2f}s, "
          f"right credentials from it answered in {admitted:.3f}s", flush=True)
    expect(held >= 0.9 and admitted <= 0.5, "the throttle held back the wrong attempt")
    print("paired", flush=True)

    closing = await next_frame("tablet-1")  # once the host revokes it
    expect([closing.get(key) for key in ("type", "code", "reason")] == ["close", 1008, "device revoked"],
           f"tablet-1 got {closing}")
    # The revoked tablet still holds the host token and its own secret; the second tablet's id is no secret.
    for device_id, secret in (("relay-tablet-2", secrets["tablet-1"]), ("relay-tablet-2", None),
                              ("relay-tablet-1", secrets["tablet-1"])):
        answer = await auth("tablet-1", device_id, secret)
        expect(answer.get("error", {}).get("code") == "auth_failed", f"tablet-1 in as {device_id}: {answer}")
    await send("tablet-2", {"id": 2, "method": "fs.list", "params": {"path": workspace}})
    expect("result" in json.loads((await next_frame("tablet-2"))["payload"]), "tablet-2 lost its link")
    expect("result" in await auth("tablet-2-again", "relay-tablet-2", secrets["tablet-2"]),
           "tablet-2 cannot come back")
    # A code of the old pairing pairs nobody now; the new one, whose code the host writes here, does.
    fresh = await next_code()
    expect("error" in await auth("tablet-3", "relay-tablet-3", pairing=True), "the old pairing still pairs")
    expect("result" in await auth("tablet-3-again", "relay-tablet-3", pairing=True, nonce=fresh),
           "the new pairing does not pair")
    print("revoked", flush=True)
    relay.server.close()


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:7]))
