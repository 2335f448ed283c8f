# The agent as a process on each route: the LAN, ngrok (fake-ngrok.sh on PATH) and a relay played by the test,
# and what a flood of wrong credentials meets there.
# Usage: routes_test.py AGENT_PATH [SCENARIO...]. Prints one line per scenario and "N passed, N failed".
import asyncio
import base64
import contextlib
import json
import os
import re
import resource
import signal
import socket
import struct
import time

import websockets

from noise_initiator import Initiator
from relay_stub import Relay
from session_tablet import HERE, TIMEOUT, Failure, Tablet, check, device, run, until, upgraded_socket


def health(agent, host=None):
    """The health answer, to a request that names the agent `host` when given (as a page of another site could),
    or {} when refused."""
    answer = agent.http("/healthz", headers={"Host": host} if host else {})
    return answer if isinstance(answer, dict) else {}


async def closing(ws, timeout=TIMEOUT):
    """The close code and reason of a connection the agent ends."""
    await asyncio.wait_for(ws.wait_closed(), timeout)
    return ws.close_code, ws.close_reason


def wrong_auth(agent, token, device_id="ipad"):
    return json.dumps({"id": 1, "method": "auth", "params": device(dict(agent.secrets, VELMORA_HOST_TOKEN=token),
                                                                   device_id)})


def oversized(port):
    """1.5 MiB in a single frame, as browsers send it, from a plain socket with a small send buffer: the client is
    still sending, blocked, when the agent closes, and like a browser it fails the connection (1006) when a write
    fails before it has read the close frame. The close code and reason it got, and whether the end followed."""
    sock, reply = upgraded_socket(port, SO_SNDBUF=16384)
    try:
        sock.sendall(bytes([0x81, 0xFF]) + struct.pack(">Q", 3 * 2**19) + bytes(4) + b"x" * (3 * 2**19))
    except OSError:
        return "closed=1006 reason="
    # The end must come well before the agent would give up draining on its own (two seconds).
    sock.settimeout(1)
    frame = reply + sock.recv(4096)
    if frame[:1] != b"\x88":
        return f"not a close frame: {frame[:16]!r}"
    while sock.recv(4096):
        pass
    return f"closed={struct.unpack('>H', frame[2:4])[0]} reason={frame[4:2 + frame[1]].decode()}\neof"


def outside_address():
    """This computer's address on its network, or None where it has none."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1", 9))  # no packet is sent: this only picks the route
        except OSError:
            return None
        return None if probe.getsockname()[0].startswith("127.") else probe.getsockname()[0]


async def from_outside(agent):
    """A WebSocket that the agent sees come from another computer: from this one's network address, or where it has
    none, forwarded by a tunnel (the agent takes any X-Forwarded-For as not from here)."""
    address = outside_address()
    return await websockets.connect(f"ws://{address or '127.0.0.1'}:{agent.port}/ws",
                                    extra_headers={} if address else {"X-Forwarded-For": "203.0.113.7"})


async def lan(agent):
    agent.arguments[agent.arguments.index("--addr") + 1] = "0.0.0.0:0"
    await agent.start()
    # From another computer only a tablet that encrypts is heard; a plain one is told why and closed.
    outsider = await from_outside(agent)
    await outsider.send(json.dumps({"id": 1, "method": "auth", "params": {}}))
    check("encryption_required" in await outsider.recv(), "a plain tablet from outside")
    check(await closing(outsider) == (1008, "encryption required"), "the plain tablet's end")
    await until(lambda: "refused: not encrypted" in "".join(agent.log), "the refusal logged")
    outsider = await from_outside(agent)
    await Tablet(agent, "outsider").connect(outsider.send, outsider.recv)
    # The health answer is for the names the agent has, the host's 127.0.0.1 among them: not for a foreign name
    # that DNS points at this computer.
    for host, answered in ((f"127.0.0.1:{agent.port}", True), (f"localhost:{agent.port}", True),
                           (f"evil.example:{agent.port}", False), ("127.0.0.1:1", False)):
        check((health(agent, host).get("status") == "ok") == answered, f"health under {host}")

    # Exactly 1 MiB is allowed (one byte more is not: the secure channel's unit test).
    paired = await Tablet(agent, "d").connect()
    limit = '{"id":99,"method":"x","pad":"%s"}'
    await paired.send(limit % ("a" * (2**20 - len(limit) + 2)))
    await until(lambda: paired.unanswered.get(99) == "method_not_found", "the answer to 1 MiB")
    # A client still sending when the agent closes gets the close frame too, not a reset, and then the end.
    said = await asyncio.get_running_loop().run_in_executor(None, oversized, agent.port)
    check(re.fullmatch(r"closed=1009 reason=\S.*\neof", said), said)
    # Revoking a device ends its connection and forgets it; the host deleting the file, as when it replaces the
    # pairing, ends the others' too, told as a reset.
    a, b = await Tablet(agent, "A").connect(), await Tablet(agent, "B").connect()
    agent.control("/control/revoke", {"deviceId": "A", "pairingNonce": "n2"})
    check(await closing(a.ws, 1) == (1008, "device revoked"), "A's end")
    check([(d["deviceId"], d.get("route")) for d in agent.devices()] == [("outsider", "lan"), ("d", "lan"), ("B", "lan")],
          str(agent.devices()))
    os.remove(os.path.join(agent.home, ".ferrowyn", "trusted-devices.json"))
    check(await closing(b.ws, 1) == (1008, "pairing reset"), "B's end")
    # An interrupt ends the agent at once with status 0; a tablet is told why, and the port is free.
    async with websockets.connect(agent.url) as watcher:
        interrupted = time.monotonic()
        await agent.stop(signal.SIGINT)
        check(time.monotonic() - interrupted < 1 and "received SIGINT" in "".join(agent.log), "the interrupt")
        check((await closing(watcher))[0] == 1001, "the tablet told")
    socket.create_server(("127.0.0.1", agent.port)).close()
    # Started to let older clients in, the agent hears a plain one from another computer.
    agent.arguments.append("--allow-unencrypted-clients")
    await agent.start()
    outsider = await from_outside(agent)
    await Tablet(agent, "older-client").connect(outsider.send, outsider.recv, b"")


def ngrok(mode, go, error):
    """The fake's mode, whether it is told to report a URL, and the error the agent reports (none: online)."""
    async def scenario(agent):
        os.symlink(os.path.join(HERE, "fake-ngrok.sh"), os.path.join(agent.bin, "ngrok"))
        record = os.path.join(agent.root, "record")
        # A blank authtoken is no authtoken: ngrok then uses its own configuration.
        blank = "0.7" in error
        agent.extra.update(FAKE_NGROK_MODE=mode, FAKE_NGROK_RECORD=record, NGROK_AUTHTOKEN=None,
                           FAKE_NGROK_GO=os.path.join(agent.root, "go" if go else "never"),
                           FERROWYN_AGENT_TEST_NGROK_TIMEOUT_MS="700")
        if blank:
            agent.extra["VELMORA_NGROK_AUTHTOKEN"] = "   "
        agent.arguments += ["--tunnel-mode", "ngrok"]
        await agent.start()
        # What ngrok is called with; it never receives the pairing secrets.
        await until(lambda: os.path.exists(record), "ngrok's start")
        with open(record) as file:
            called = file.read()
        token = "<unset>" if blank else agent.secrets["VELMORA_NGROK_AUTHTOKEN"]
        check(called.startswith(f"args=http 127.0.0.1:{agent.port} --log stdout --log-format json\n"
                                f"authtoken={token}\nvelmora=0\n"), called)
        open(os.path.join(agent.root, "go"), "w").close()
        state = "failed" if error else "online"
        await until(lambda: health(agent).get("tunnel", {}).get("state") == state, f"the tunnel {state}")
        tunnel = health(agent)["tunnel"]
        # Through the tunnel, under its public name, too.
        check((health(agent, "fake-tunnel.ngrok-free.app") == {}) == bool(error), "health through the tunnel")
        check((tunnel.get("lastError", ""), tunnel.get("publicUrl", "")) ==
              (error, "" if error else "https://fake-tunnel.ngrok-free.app"), str(tunnel))
        if error:
            await until(lambda: "tunnel: failed" in "".join(agent.log), "the failure logged")
        # Behind the tunnel each client that ngrok names last in X-Forwarded-For is a source of its own: four
        # waiting from one and four from another, then a fifth from the first pushes out only that one's oldest.
        idle = [await websockets.connect(agent.url, extra_headers={
            "X-Forwarded-For": f"10.0.0.{n}, 203.0.113.{1 if n < 4 or n == 8 else 2}"}) for n in range(9)]
        check(await closing(idle[0]) == (1008, "too many unauthenticated connections"), "the oldest pushed out")
        await asyncio.gather(*(ws.close() for ws in idle))
        check([ws.close_code for ws in idle[1:]] == [1000] * 8, "tunnel clients taken for one source")
        # A tablet that ngrok forwards is recorded as one that came through the tunnel.
        ws = await websockets.connect(agent.url, extra_headers={"X-Forwarded-For": "203.0.113.5"})
        await Tablet(agent, f"t-{mode}-{go}").connect(ws.send, ws.recv)
        check(agent.devices()[0]["route"] == "tunnel", str(agent.devices()))
        # Past the start timeout an online tunnel stays online; the agent keeps serving either way.
        with contextlib.suppress(Failure):
            await until(lambda: health(agent).get("tunnel", {}).get("lastError", "") != error, "a change", 0.8)
            raise AssertionError("the tunnel's state changed")
        await ws.close()

    scenario.__name__ = f"ngrok_{mode}" + ("" if go or mode != "online" else "_without_url")
    return scenario


def relay(version):
    async def scenario(agent):
        elixir = version == "elixirV2"
        # A relay that acknowledges nothing, so that the agent keeps its frames to send again; each peer's channel.
        relay, channels = Relay(version, seq=7, acks=False), {}
        # Hosts of the previous release kept the state under another name and passed the session as an option:
        # the state is taken over, so that sequence numbers survive, and the environment's session wins.
        session, host_id = agent.secrets["VELMORA_RELAY_SESSION"], agent.secrets["VELMORA_HOST_ID"]
        folder = os.path.join(agent.home, ".ferrowyn", "relay-codec-state")
        os.makedirs(folder)
        earlier, state = (os.path.join(folder, name) for name in (f"{host_id}-{version}-{session}.json", "state"))
        with open(earlier, "w") as file:
            file.write('{"format":1,"lastAckedInbound":7,"nextOutbound":3}')
        agent.extra.update(FERROWYN_AGENT_TEST_RELAY_BACKOFF_MS="50", VELMORA_RELAY_SESSION=session if elixir else None)
        agent.arguments += ["--relay-codec-state", state, "--relay-session", "stale" if elixir else session,
                            "--relay-url", await relay.serve()]
        await agent.start()
        frames, to = relay.frames, relay.to

        async def answer(peer, payload):
            """The bytes of the agent's next message to `peer`, after `payload`."""
            count = len(to(peer))
            await relay.send(peer, payload)
            await until(lambda: len(to(peer)) > count, f"the answer to {peer}")
            return base64.b64decode(to(peer)[-1]["payload"])

        async def handshake(peer):
            channels[peer] = Initiator(agent.public_key)
            channels[peer].read(await answer(peer, channels[peer].first()))

        def seal(peer, text):
            return channels[peer].sending.seal(text.encode())

        async def call(peer, request):
            return json.loads(channels[peer].receiving.open(await answer(peer, seal(peer, json.dumps(request)))))

        ws, path = await relay.hello()
        check(path == ("/relay/v2/" if elixir else "/relay/") + session, path)
        check(ws.request_headers["Authorization"] == "Bearer " + agent.secrets["VELMORA_RELAY_TOKEN"], "bearer")
        # Behind the relay only a tablet that encrypts is heard; a plain one is told why and closed.
        await relay.send("t0", json.dumps({"id": 1, "method": "auth", "params": {}}))
        await until(lambda: to("t0", "close"), "the plain tablet's end")
        check("encryption_required" in to("t0")[0]["payload"] and to("t0", "close")[0]["reason"] ==
              "encryption required", str(frames))
        await handshake("t1")
        paired = await call("t1", {"id": 1, "method": "auth", "params": device(agent.secrets, "relay-ipad",
                                                                               pairingNonce=agent.pairing_code())})
        check(paired["result"]["paired"], str(paired))
        # elixirV2 numbers the agent's frames on from the state taken over, and acknowledges each of the relay's.
        await until(lambda: len(frames) == (8 if elixir else 5), "the acknowledgements")
        check(not elixir or [frame["seq"] for frame in frames[1:]] == [3, 4, 8, 5, 9, 6, 10], str(frames))
        # A frame the agent cannot take is logged, and acknowledged when it has a number.
        await relay.send(7, "{}")
        await until(lambda: "dropped a frame" in "".join(agent.log), "the dropped frame logged")
        await until(lambda: len(frames) == (9 if elixir else 5), "its acknowledgement")

        # A broken link comes back; only elixirV2 conversations survive it, and its unacknowledged frames are
        # resent. goV1's tablet, whose message reaches a new conversation, is closed: it must shake hands anew.
        ws.transport.abort()
        frames.clear()
        await relay.hello()
        await until(lambda: len(frames) == (5 if elixir else 1), "the resent frames")
        if elixir:
            check([frame["seq"] for frame in frames[1:]] == [3, 4, 5, 6], str(frames))
            check("result" in await call("t1", {"id": 2, "method": "workspaces.list"}), "t1 lost")
        else:
            await relay.send("t1", seal("t1", json.dumps({"id": 2, "method": "workspaces.list"})))
            await until(lambda: to("t1", "close"), "t1's end")
            check(to("t1", "close")[0]["reason"] == "decryption failed", str(frames))
        # The bound on a message is on its plaintext, as on /ws: 1 MiB is carried, one byte more ends that tablet's
        # conversation, and the link stays.
        await handshake("t3")
        await handshake("t4")
        check("parse_error" in channels["t3"].receiving.open(await answer("t3", seal("t3", "\x01" * 2**20))).decode(),
              "t3 not answered")
        await relay.send("t4", seal("t4", "\x01" * (2**20 + 1)))
        await until(lambda: to("t4", "close"), "the end of t4")
        check(to("t4", "close")[0]["code"] == 1009 and not to("t3", "close"), str(to("t4", "close")))
        # At most 64 tablets behind the relay wait to authenticate at once, those that shook hands and t3 among
        # them: past that the one that waited longest gives way.
        for peer in range(65):
            await relay.send(str(peer), Initiator(agent.public_key).first())
        await until(lambda: to("0", "close"), "the longest waiting after t3 pushed out")
        check(to("t3", "close") and not to("1", "close") and not to("64", "close"), "the wrong ones pushed out")
        # A frame over 16 MiB ends the link; elixirV2 counts it as handled, so that the relay, resuming past it,
        # does not send it into the same end again and again.
        oversized_frame = asyncio.ensure_future(relay.send("t5", "x" * 2**24))
        await until(lambda: len(relay.links) == 3, "the link back after the oversized frame")
        await relay.hello()
        with contextlib.suppress(websockets.ConnectionClosed):
            await oversized_frame
        # Revoking the relay tablet ends its conversation, which elixirV2 kept across the drop.
        check(agent.control("/control/revoke", {"deviceId": "relay-ipad", "pairingNonce": "n2"}) == {"revoked": True},
              "the revocation")
        revoked = (lambda: sum(frame.get("reason") == "device revoked" for frame in frames))
        await until(lambda: revoked() == (1 if elixir else 0), "the revoked conversation's end")
        await agent.stop()
        relay.server.close()
        check("".join(agent.log).count("connection lost") == 2, "two links lost")
        check(not os.path.exists(earlier), "the earlier state file taken over")
        # goV1 keeps no resume state and leaves the file alone.
        with open(state) as file:
            saved = file.read()
        check(saved == ('{"format":1,"lastAckedInbound":82,"nextOutbound":80}' if elixir else
                        '{"format":1,"lastAckedInbound":7,"nextOutbound":3}'), saved)

    scenario.__name__ = f"relay_{version}"
    return scenario


async def flood_locks_nobody_out(agent):
    # Production timings, but for the interval of the log, which the test would otherwise wait out.
    agent.extra["FERROWYN_AGENT_TEST_AUTH_LOG_INTERVAL_MS"] = "500"
    await agent.start()
    await Tablet(agent, "ipad").connect()
    # A thousand wrong tokens from this address, as fast as the agent takes them (without waiting for the
    # refusals it holds back); then the right credentials from the same address get in at once.
    gate = asyncio.Semaphore(32)

    async def guess(number):
        async with gate:
            with contextlib.suppress(OSError, websockets.WebSocketException):  # a guesser does not care
                async with websockets.connect(agent.url, close_timeout=5) as ws:
                    await ws.send(wrong_auth(agent, f"guess-{number}", "guess"))

    await asyncio.gather(*(guess(number) for number in range(1000)))
    started = time.monotonic()
    await Tablet(agent, "ipad").connect()
    check(time.monotonic() - started < 1, f"the right credentials took {time.monotonic() - started:.2f} s")
    # A wrong one from there is still held back, far past the time to authenticate.
    async with websockets.connect(agent.url, close_timeout=1) as wrong:
        await wrong.send(wrong_auth(agent, "wrong"))
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(wrong.recv(), 1.5)
            raise AssertionError("a wrong attempt after the flood was answered at once")

    # Every refusal is counted in the log, in a few lines for the address rather than one each: a guess either
    # had its answer or, with more than a few waiting from here, was pushed out before it was heard.
    refusal = re.compile(r"(?:auth rejected: 127\.0\.0\.1: (?:(\d+) more refused|wrong host token)|"
                         r"connection from 127\.0\.0\.1 closed: too many)")
    counted = (lambda: [int(n or 1) for n in refusal.findall("".join(agent.log))])
    await until(lambda: sum(counted()) == 1001, "every refusal counted")
    check(len(counted()) <= 20, f"{len(counted())} log lines")


async def idle_connections_lock_nobody_out(agent):
    # Connections that never answer a close, so that each one pushed out is kept a while for draining, with the
    # agent under a usual limit of descriptors, and a paired tablet from another address gets in at once all the
    # same. (WebSockets that never authenticate meet the give-way rule that the tunnel's scenarios check.)
    agent.extra["FERROWYN_AGENT_TEST_UPGRADE_DEADLINE_MS"] = "3000"
    await agent.start()
    resource.prlimit(agent.process.pid, resource.RLIMIT_NOFILE, (1024, 1024))
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    silent, started = [], time.monotonic()
    while time.monotonic() - started < 2:
        silent.append(upgraded_socket(agent.port, "127.0.0.2")[0])
    await Tablet(agent, "ipad").connect()
    for sock in silent:
        sock.close()
    # Plain connections that never become WebSockets, half of them stalled in the middle of a request, from one
    # source and from 32: more than the agent has descriptors. The oldest of each source give way.
    loop = asyncio.get_running_loop()

    async def plain(source, half):
        sock = socket.socket()
        sock.setblocking(False)
        sock.bind((source, 0))
        await loop.sock_connect(sock, ("127.0.0.1", agent.port))
        with contextlib.suppress(OSError):  # given way already
            await loop.sock_sendall(sock, b"GET / HTTP/1.1\r\nHost: 127.0" if half else b"")
        return sock

    # One alone, within every limit, is cut off when it has not become a WebSocket in time (after the floods below,
    # which the deadline must not be what ends).
    alone = await plain("127.0.0.40", True)
    for sources in (["127.0.0.2"], [f"127.0.0.{n}" for n in range(2, 34)]):
        held = await asyncio.gather(*(plain(sources[n % len(sources)], n % 2) for n in range(1100)))
        started = time.monotonic()
        await Tablet(agent, "ipad").connect()
        check(time.monotonic() - started < 1, f"{len(sources)} source(s) of plain connections held the tablet out")
        for sock in held:
            sock.close()
    alone.setblocking(True)
    alone.settimeout(TIMEOUT)
    with alone, contextlib.suppress(ConnectionResetError):
        check(alone.recv(1) == b"", "a stalled request was answered")


SCENARIOS = [lan, ngrok("online", True, ""), ngrok("online", False, "ngrok gave no public URL within 0.7 seconds"),
             ngrok("error", False, "session closing: authentication failed: bad authtoken redacted"),
             ngrok("exit", False, "ngrok exited with status 3"), relay("elixirV2"), relay("goV1"),
             flood_locks_nobody_out, idle_connections_lock_nobody_out]

if __name__ == "__main__":
    run(SCENARIOS)
