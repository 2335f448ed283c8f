# A local relay on 127.0.0.1 with tablets behind it, for the agent's scenarios.
import asyncio
import base64
import collections
import contextlib
import json

import websockets

from session_tablet import Closed, until


class Relay:
    """A relay on 127.0.0.1 for the host's link. elixirV2 numbers the tablets' messages on from `seq`, and with `acks`
    the relay acknowledges each numbered frame of the agent's (without, the agent keeps them to send again).
    `frames` keeps what the agent sent since its link last came back, `texts` every frame either way, as a relay
    operator could see them."""

    def __init__(self, version="elixirV2", seq=0, acks=True):
        self.version, self.seq, self.acks, self.links, self.frames, self.texts = version, seq, acks, [], [], []
        self.numbered = version == "elixirV2"
        self.inbox = collections.defaultdict(asyncio.Queue)

    async def serve(self):
        """The relay's URL, as the agent is given it."""
        self.server = await websockets.serve(self.link, "127.0.0.1", 0, max_size=2 ** 24)
        return f"ws://127.0.0.1:{self.server.sockets[0].getsockname()[1]}/relay/" + ("v2/" if self.numbered else "")

    async def link(self, ws, path):
        self.frames.clear()
        self.links.append((ws, path))
        with contextlib.suppress(websockets.ConnectionClosed):
            async for text in ws:
                self.texts.append(text)
                frame = json.loads(text)
                self.frames.append(frame)
                if self.acks and "seq" in frame and frame["type"] != "ack":
                    await ws.send(json.dumps({"type": "ack", "seq": frame["seq"]}))
                if "peer" in frame:
                    self.inbox[frame["peer"]].put_nowait(frame)

    async def hello(self):
        """The link, once the agent said hello on it (for elixirV2, resuming after the relay's last number)."""
        hello = dict(type="hello", role="host", version=self.version, **({"resumeFrom": self.seq} if self.numbered
                                                                        else {}))
        await until(lambda: self.frames[:1] == [hello], f"the hello from {self.seq}")
        return self.links[-1]

    async def send(self, peer, payload):
        """A tablet's message: text as it is, an encrypted one (bytes) in Base64."""
        if isinstance(payload, bytes):
            payload = base64.b64encode(payload).decode()
        frame = {"type": "data", "peer": peer, "payload": payload}
        if self.numbered:
            self.seq += 1
            frame["seq"] = self.seq
        self.texts.append(json.dumps(frame))
        await self.links[-1][0].send(self.texts[-1])

    def to(self, peer, kind="data"):
        """The agent's frames of `kind` to `peer` since its link last came back."""
        return [frame for frame in self.frames if frame["type"] == kind and frame.get("peer") == peer]

    async def receive(self, peer):
        """The payload of the agent's next message to `peer`; Closed when it closes that peer's conversation."""
        frame = await self.inbox[peer].get()
        if frame["type"] == "close":
            raise Closed(frame["code"], frame["reason"])
        return frame["payload"]
