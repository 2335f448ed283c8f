# A local relay on 127.0.0.1 (elixirV2) with tablets behind it, for the agent's scenarios.
import asyncio
import base64
import collections
import json

import websockets

from session_tablet import Closed


class Relay:
    """A relay (elixirV2) on 127.0.0.1 for one host link: it acknowledges every numbered frame the host sends,
    numbers its own, and sorts the host's frames by peer. `failed` is told the reason of a broken rule; `texts` keeps
    every frame either way, as a relay operator could."""

    def __init__(self, path, token, failed):
        self.path, self.token, self.failed, self.seq, self.texts = path, token, failed, 0, []
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
            self.texts.append(text)
            frame = json.loads(text)
            if "seq" in frame and frame.get("type") != "ack":
                await ws.send(json.dumps({"type": "ack", "seq": frame["seq"]}))
            if "peer" in frame:
                await self.inbox[frame["peer"]].put(frame)

    async def send(self, peer, payload):
        """A tablet's message: text as it is, an encrypted one (bytes) in Base64."""
        self.seq += 1
        if isinstance(payload, bytes):
            payload = base64.b64encode(payload).decode()
        self.texts.append(json.dumps({"type": "data", "peer": peer, "payload": payload, "seq": self.seq}))
        await self.ws.send(self.texts[-1])

    async def receive(self, peer):
        """The payload of the agent's next message to `peer`; Closed when it closes that peer's conversation."""
        frame = await self.inbox[peer].get()
        if frame["type"] == "close":
            raise Closed(frame["code"], frame["reason"])
        return frame["payload"]
