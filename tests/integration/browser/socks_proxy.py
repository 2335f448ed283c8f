# A SOCKS5 proxy on loopback that the test browser sends everything through, so the test can cut every
# connection the page has at once, as a network loss would, while the page and the agent keep running, and can
# record what crosses the wire, as someone listening on the network would.
import asyncio
import struct


class CuttingProxy:
    def __init__(self):
        self.links = set()
        # While true, the network is down: new connections are refused as they come.
        self.refusing = False
        # While a list, what each connection carries in each direction is added to it, one bytearray per stream.
        self.recorded = None

    async def start(self):
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        self.port = self.server.sockets[0].getsockname()[1]
        return self

    async def stop(self):
        self.cut()
        self.server.close()
        await self.server.wait_closed()

    def cut(self):
        """Ends every connection open now, in both directions, without a close handshake."""
        for writer in list(self.links):
            writer.transport.abort()
        self.links.clear()

    async def _serve(self, reader, writer):
        if self.refusing:
            writer.transport.abort()
            return
        try:
            _, methods = await reader.readexactly(2)
            await reader.readexactly(methods)
            writer.write(b"\x05\x00")
            # Chromium names the address as a domain name, an IP address included, and leaves resolving to us.
            if (await reader.readexactly(4))[3] != 3:
                raise ConnectionError("address kind not supported")
            host = (await reader.readexactly((await reader.readexactly(1))[0])).decode()
            port = struct.unpack(">H", await reader.readexactly(2))[0]
            upstream_reader, upstream_writer = await asyncio.open_connection(host, port)
        except (OSError, asyncio.IncompleteReadError, ConnectionError):
            writer.close()
            return
        writer.write(b"\x05\x00\x00\x01" + bytes(4) + b"\x00\x00")
        self.links.update((writer, upstream_writer))

        async def pipe(source, target):
            stream = bytearray()
            try:
                while data := await source.read(65536):
                    if self.recorded is not None:
                        if not stream:
                            self.recorded.append(stream)
                        stream += data
                    target.write(data)
                    await target.drain()
            except (OSError, asyncio.CancelledError):
                pass
            finally:
                target.transport.abort()

        await asyncio.gather(pipe(reader, upstream_writer), pipe(upstream_reader, writer))
        self.links.difference_update((writer, upstream_writer))

    def browser_args(self):
        # Loopback is normally never proxied; "<-loopback>" lifts that rule.
        return [f"--proxy-server=socks5://127.0.0.1:{self.port}", "--proxy-bypass-list=<-loopback>"]
