# The agent and a tablet for the agent's scenario tests: one ferrowyn-agent with its own HOME, runtime folder and
# secrets, a tablet's conversation that reassembles each session's output by offset and acknowledges it, and the
# runner that gives each scenario an agent of its own.
import asyncio
import base64
import ctypes
import hashlib
import hmac
import json
import os
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

import websockets

from noise_initiator import NOT_PAIRED, DecryptionFailed, Initiator, key_text, public_key

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT = 10
# Under AddressSanitizer every request is about three times slower, and its own bookkeeping (redzones, shadow
# memory, the quarantine of freed memory) counts in a process's resident memory.
SANITIZED = "ASAN_OPTIONS" in os.environ
PROGRAMS = ("codex", "counter", "sizer", "envdump", "keydump", "burst", "flood", "resumer")
SECRET_NAMES = ("VELMORA_HOST_TOKEN", "VELMORA_HOST_ID", "VELMORA_PAIRING_NONCE", "VELMORA_CONTROL_SECRET",
                "VELMORA_NGROK_AUTHTOKEN", "VELMORA_RELAY_TOKEN", "VELMORA_RELAY_SESSION")
# Every test agent's static secret key: fixed, so that a failure can be replayed byte for byte.
AGENT_KEY = hashlib.sha256(b"ferrowyn test agent").digest()


class Failure(Exception):
    pass


class Closed(Exception):
    """The agent closed a tablet's conversation behind the relay (a `close` frame for its peer)."""

    def __init__(self, code, reason):
        super().__init__(f"closed {code} {reason}")
        self.code, self.reason = code, reason


def unframed(message):
    """The bytes of an encrypted message: a WebSocket's binary message as it is, a relay payload from Base64."""
    return message if isinstance(message, bytes) else base64.b64decode(message, validate=True)


def check(condition, message):
    if not condition:
        raise Failure(message)


async def until(predicate, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not predicate():
        if Tablet.broken:
            raise Failure(Tablet.broken.pop())
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        await asyncio.sleep(0.01)


def holder_pids(sessions_folder):
    """The process of each session's holder that runs, by session id (from its command line)."""
    pids = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                words = file.read().split(b"\0")
        except OSError:
            continue
        if os.path.basename(words[0]) == b"ferrowyn-session" and b"--folder" in words:
            folder = os.fsdecode(words[words.index(b"--folder") + 1])
            if os.path.dirname(folder) == sessions_folder:
                pids[os.path.basename(folder)] = int(pid)
    return pids


def proc_status(pid, field):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(field + r":\s+(\d+)", status.read()).group(1))


def wake_ups(pids):
    """Voluntary context switches so far of every thread of `pids`."""
    total = 0
    for pid in pids:
        for thread in os.listdir(f"/proc/{pid}/task"):
            total += proc_status(f"{pid}/task/{thread}", "voluntary_ctxt_switches")
    return total


def holder_say(path, *frames, leave=True):
    """Connects to a session's holder (its socket at `path`) as a reader that attaches at the end, sends `frames`
    (type, body) and leaves, or stays attached (`leave` False: the caller closes the connection returned)."""
    connection = socket.socket(socket.AF_UNIX)
    connection.connect(path)
    for kind, body in ((0x01, struct.pack(">QHH", 2 ** 63, 0, 0)),) + frames:
        connection.sendall(struct.pack(">IB", len(body) + 1, kind) + body)
    if leave:
        connection.close()
    return connection


def upgraded_socket(port, source="127.0.0.1", **options):
    """A plain socket that asked the agent for a WebSocket and got it, with the socket `options` (SO_RCVBUF=...)
    set before it connected; and the bytes that came after the answer's headers."""
    sock = socket.socket()
    for name, value in options.items():
        sock.setsockopt(socket.SOL_SOCKET, getattr(socket, name), value)
    sock.settimeout(TIMEOUT)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    sock.sendall(f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
    reply = b""
    while b"\r\n\r\n" not in reply:
        reply += sock.recv(4096)
    check(b" 101 " in reply, f"the upgrade: {reply[:40]!r}")
    return sock, reply[reply.index(b"\r\n\r\n") + 4:]


def pairing_code(nonce, host_id, age=0):
    """A pairing code (or ticket) as the host makes it from the nonce, made `age` seconds ago."""
    expiry, serial = str(int(time.time()) - age + 900), base64.urlsafe_b64encode(os.urandom(9)).decode()
    signed = "".join(part + "\n" for part in ("ferrowyn-pairing-ticket-1", host_id, expiry, serial)).encode()
    mac = hmac.new(nonce.encode(), signed, hashlib.sha256).digest()[:16]
    return f"{expiry}.{serial}.{base64.urlsafe_b64encode(mac).decode().rstrip('=')}"


def device(query, device_id, **proof):
    # What a tablet presents: the link's host token and id, its own id, and the nonce or its secret.
    return {"token": query["token"], "hostId": query["hostId"], "deviceId": device_id, "deviceName": device_id,
            **proof}



class LinkedAgent:
    """What a Tablet needs to know of the agent, from the setup link alone."""

    def __init__(self, link, workspace):
        parsed = urllib.parse.urlsplit(link)
        if parsed.scheme != "ferrowyn" or parsed.netloc != "connect":
            raise SystemExit(f"not a setup link: {link}")
        query = dict(urllib.parse.parse_qsl(parsed.query, strict_parsing=True))
        self.url, self.workspace = query["endpoint"], workspace
        self.secrets = {"VELMORA_HOST_TOKEN": query["token"], "VELMORA_HOST_ID": query["hostId"]}
        self.code = query["pairingNonce"]
        # A link with the agent's key is for a tablet that encrypts, on every route.
        self.public_key = base64.urlsafe_b64decode(query["agentKey"] + "=") if "agentKey" in query else None
        self.encrypted = self.public_key is not None

    def pairing_code(self):
        return self.code


class Agent:
    """One ferrowyn-agent with its own HOME, runtime folder and secrets; it can be stopped and started again."""

    def __init__(self, path, root):
        self.path, self.root = path, root
        self.home, self.run, self.bin = (os.path.join(root, name) for name in ("home", "run", "bin"))
        self.workspace = os.path.join(root, "work")
        for folder in (self.home, self.run, self.bin, os.path.join(self.workspace, "project")):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        for name in PROGRAMS:
            os.symlink(os.path.join(HERE, "fake-codex.sh" if name == "codex" else "session_programs.sh"),
                       os.path.join(self.bin, name))
        self.secrets = {name: f"{name.lower()}-{os.urandom(8).hex()}" for name in SECRET_NAMES}
        self.secrets["VELMORA_HOST_ID"] = "host_" + os.urandom(8).hex()
        self.secrets["VELMORA_AGENT_KEY"] = key_text(AGENT_KEY)
        # On this computer a tablet may still talk in plain text; elsewhere it encrypts with this key.
        self.public_key, self.encrypted = public_key(AGENT_KEY), False
        self.arguments = ["--workspace", self.workspace, "--addr", "127.0.0.1:0"]
        for program in PROGRAMS + ("missing",):
            self.arguments += ["--session-program", program]
        # Variables of the agent's environment beyond its secrets; None leaves one out.
        self.extra = {"NGROK_AUTHTOKEN": "ngrok-decoy"}
        # The largest file the agent and its holders may write (ulimit -f), in bytes; None for no limit.
        self.file_limit = None
        self.process, self.port, self.log = None, None, []

    def pairing_code(self, age=0):
        return pairing_code(self.secrets["VELMORA_PAIRING_NONCE"], self.secrets["VELMORA_HOST_ID"], age)

    # Whether mounts made by this process stay in a mount namespace of its own (root, before any thread starts).
    private_mounts = False

    def small_disk(self, size):
        """Puts the agent's runtime folder on a tmpfs of `size` bytes, where mounts are private; false elsewhere."""
        options = f"size={size},mode=0700".encode()
        return Agent.private_mounts and ctypes.CDLL(None).mount(b"ferrowyn-test", os.fsencode(self.run), b"tmpfs", 0,
                                                                options) == 0

    def environment(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("VELMORA_", "FERROWYN_", "TMUX"))}
        env.update(self.secrets, HOME=self.home, XDG_RUNTIME_DIR=self.run, PATH=f"{self.bin}:/usr/bin:/bin")
        env.update(self.extra)
        if SANITIZED:
            # The quarantine is 256 MB by default: far more than the memory bounds here allow.
            env["ASAN_OPTIONS"] += ":quarantine_size_mb=8"
        return {name: value for name, value in env.items() if value is not None}

    async def start(self):
        limit = self.file_limit and (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (self.file_limit,) * 2))
        self.process = await asyncio.create_subprocess_exec(
            self.path, *self.arguments, env=self.environment(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            preexec_fn=limit)
        line = (await asyncio.wait_for(self.process.stdout.readline(), TIMEOUT)).decode()
        self.log.append(line)
        match = re.search(r"listening on .*:(\d+),", line)
        check(match, f"the agent did not start: {line}")
        self.port = int(match.group(1))
        self.url = f"ws://127.0.0.1:{self.port}/ws"
        self.reader = asyncio.ensure_future(self.collect())

    async def collect(self):
        async for line in self.process.stdout:
            self.log.append(line.decode())

    async def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        await asyncio.wait_for(self.process.wait(), TIMEOUT)
        await self.reader

    def rss_kb(self, session=None):
        """The agent's resident memory, or that of the session's holder."""
        return proc_status(self.process.pid if session is None else self.holders()[session], "VmRSS")

    def control(self, path, body, secret=None):
        """The answer of a request of the host's, or the HTTP status it was refused with."""
        secret = secret or self.secrets["VELMORA_CONTROL_SECRET"]
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}{path}", data=json.dumps(body).encode(),
                                         headers={"Authorization": "Bearer " + secret})
        try:
            with urllib.request.urlopen(request, timeout=TIMEOUT) as reply:
                return json.loads(reply.read())
        except urllib.error.HTTPError as refusal:
            return refusal.code

    def sessions_folder(self):
        return os.path.join(self.run, "ferrowyn", "sessions")

    def socket(self, session):
        return os.path.join(self.sessions_folder(), session, "socket")

    def holders(self):
        return holder_pids(self.sessions_folder())

    def live_sessions(self):
        """The sessions whose holder runs: each session has one of its own."""
        return sorted(self.holders())

    def state(self):
        """The state file, which the agent writes a moment after a change; a missing one means no session."""
        path = os.path.join(self.run, "ferrowyn", "sessions.json")
        if not os.path.exists(path):
            return {"format": 1, "sessions": []}
        with open(path) as state:
            return json.load(state)

    def kill_holders(self):
        for holder in self.holders().values():
            os.kill(holder, signal.SIGKILL)

    def devices(self):
        path = os.path.join(self.home, ".ferrowyn", "trusted-devices.json")
        if not os.path.exists(path):
            return []
        with open(path) as file:
            return json.load(file)["devices"]

    def leaked(self):
        """Every secret, device secret issued and secret hash that appears in the agent's output."""
        secrets = dict(self.secrets, **{f"secret of {d}": v for (_, d), v in Tablet.device_secrets.items()})
        secrets.update((f"hash of {d['deviceId']}", d["secretHash"].partition(":")[2])
                       for d in self.devices() if d.get("secretHash"))
        text = "".join(self.log)
        return [name for name, value in secrets.items() if value.strip() and value in text]


class RefusedError(Exception):
    def __init__(self, error):
        super().__init__(f"{error['code']}: {error['message']}")
        self.code = error["code"]
        self.data = error.get("data")


class Tablet:
    """A tablet's conversation: requests by id, and each session's output reassembled by offset. With
    `ack_rate` (bytes per second, None for "at once", 0 for never) it acknowledges output as a terminal that draws
    that fast."""

    def __init__(self, agent, device="tablet-1", ack_rate=None):
        self.agent, self.device, self.ack_rate = agent, device, ack_rate
        self.next_id, self.pending, self.output, self.ended, self.chunks = 0, {}, {}, {}, []
        self.start, self.unanswered, self.acknowledged, self.list_changes, self.sizes = {}, {}, {}, 0, {}
        # The code and reason the agent closed the conversation with behind the relay.
        self.closed = None

    async def connect(self, send=None, receive=None, key=None):
        """Over a WebSocket of its own, or over `send` and `receive` (the relay's, or the tunnel's). It encrypts with
        the agent's key behind the relay or the tunnel and where the link gives one, or with `key` (b"": not at
        all)."""
        if key is None:
            key = self.agent.public_key if send is not None or self.agent.encrypted else b""
        if send is None:
            self.ws = await websockets.connect(self.agent.url, max_size=2 ** 21)
            send, receive = self.ws.send, self.ws.recv
        self.send, self.receive = (await self.handshake(key, send, receive)) if key else (send, receive)
        self.reader = asyncio.ensure_future(self.read())
        secrets = self.agent.secrets
        params = device({"token": secrets["VELMORA_HOST_TOKEN"], "hostId": secrets["VELMORA_HOST_ID"]}, self.device)
        # A device pairs once with a pairing code; later it comes back with the secret it was issued, as tablets do.
        known = Tablet.device_secrets.get((secrets["VELMORA_HOST_ID"], self.device))
        params.update({"deviceSecret": known} if known else {"pairingNonce": self.agent.pairing_code()})
        self.auth = await self.call("auth", params)
        if "deviceSecret" in self.auth:
            Tablet.device_secrets[(secrets["VELMORA_HOST_ID"], self.device)] = self.auth["deviceSecret"]
        return self

    device_secrets = {}

    async def handshake(self, key, send, receive):
        """Sealed `send` and `receive` once the agent proved it holds `key`; DecryptionFailed saying why the tablet
        stops when it does not."""
        self.channel, self.raw_send = Initiator(key), send
        await send(self.channel.first())
        try:
            self.channel.read(unframed(await receive()))
        except (websockets.ConnectionClosed, Closed):  # the agent could not read the first message
            raise DecryptionFailed(NOT_PAIRED) from None

        async def sealed(text):
            await send(self.channel.sending.seal(text.encode()))

        async def opened():
            return self.channel.receiving.open(unframed(await receive())).decode()

        return sealed, opened

    async def close(self):
        self.reader.cancel()
        await self.ws.close()

    async def read(self):
        try:
            while True:
                message = json.loads(await self.receive())
                if "id" in message and message["id"] in self.pending:
                    attached = message.get("result", {})
                    if "from" in attached:
                        # The output of an attachment starts where its answer says, after the answer.
                        self.start[attached["session"]["id"]] = attached["from"]
                        self.output[attached["session"]["id"]] = bytearray()
                    self.pending.pop(message["id"]).set_result(message)
                elif message.get("method") == "session.output":
                    await self.take(message["params"])
                elif message.get("method") == "session.ended":
                    self.ended[message["params"]["id"]] = message["params"]
                elif message.get("method") == "session.resized":
                    self.sizes[message["params"]["id"]] = (message["params"]["cols"], message["params"]["rows"])
                elif message.get("method") == "sessions.changed":
                    self.list_changes += 1
                elif "error" in message:
                    self.unanswered[message["id"]] = message["error"]["code"]
                else:
                    raise Failure(f"unexpected message {message}")
        except Closed as closed:
            self.closed = (closed.code, closed.reason)
        except (websockets.ConnectionClosed, asyncio.CancelledError):
            pass
        except Exception as error:  # a broken rule in a message fails the scenario at its next wait
            Tablet.broken.append(f"{self.device}: {error}")

    broken = []

    async def take(self, params):
        data = base64.b64decode(params["data"])
        stream = self.output.setdefault(params["id"], bytearray())
        check(params["offset"] == self.start.get(params["id"], 0) + len(stream),
              f"output at {params['offset']} after {len(stream)} bytes")
        self.chunks.append(data)
        stream += data
        if self.ack_rate:
            await asyncio.sleep(len(data) / self.ack_rate)
        if self.ack_rate == 0:
            return
        self.acknowledged[params["id"]] = params["offset"] + len(data)
        await self.post("session.ack", {"id": params["id"], "offset": params["offset"] + len(data)})

    async def post(self, method, params):
        self.next_id += 1
        await self.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        return self.next_id

    async def call(self, method, params=None):
        request_id = await self.post(method, params or {})
        answer = asyncio.get_running_loop().create_future()
        self.pending[request_id] = answer
        message = await asyncio.wait_for(answer, TIMEOUT)
        if "error" in message:
            raise RefusedError(message["error"])
        return message["result"]

    async def refusal(self, method, params):
        if method in ("session.input", "session.ack"):
            # Answered only when refused: the answer to a later request shows that none is coming.
            request_id = await self.post(method, params)
            await self.call("sessions.list")
            return self.unanswered.get(request_id, "accepted")
        try:
            await self.call(method, params)
        except RefusedError as refused:
            return str(refused)  # "code: message"
        return "accepted"

    async def end_told(self, session):
        """How an ended session ended, as an attach to it is refused."""
        try:
            await self.call("session.attach", {"id": session})
        except RefusedError as refused:
            check(refused.code == "session_ended", str(refused))
            return refused.data
        raise AssertionError("an ended session was attached")

    async def open(self, program, folder="project", cols=80, rows=24):
        result = await self.call("session.open", {"folder": os.path.join(self.agent.workspace, folder),
                                                  "program": program, "cols": cols, "rows": rows})
        return result["session"]["id"]

    async def attach(self, session, offset=0):
        return await self.call("session.attach", {"id": session, "from": offset})

    def text(self, session):
        return bytes(self.output.get(session, b"")).decode("utf-8", "replace")

    async def wait_text(self, session, text):
        await until(lambda: text in self.text(session), repr(text))

    async def type(self, session, text):
        await self.post("session.input", {"id": session, "data": text})

    async def echo(self, sizer):
        """The seconds a line typed into a sizer session takes to come back."""
        typed, count = time.monotonic(), self.text(sizer).count("24 80")
        await self.type(sizer, "\r")
        await until(lambda: self.text(sizer).count("24 80") > count, "an echo")
        return time.monotonic() - typed


def run(scenarios):
    """Runs each scenario (or those named on the command line after the agent's path) with an agent of its own,
    which the scenario starts; one line per scenario, "N passed, N failed" at the end, and the exit status."""
    agent_path, names = sys.argv[1], sys.argv[2:]
    libc = ctypes.CDLL(None)
    # MS_REC | MS_PRIVATE: nothing mounted from here on shows outside, or outlives this process.
    Agent.private_mounts = os.geteuid() == 0 and libc.unshare(0x20000) == 0 and libc.mount(
        b"none", b"/", None, 0x4000 | 0x40000, None) == 0

    async def main():
        passed = failed = 0
        root = tempfile.mkdtemp(prefix="fs-")
        try:
            for number, scenario in enumerate(scenarios):
                if names and scenario.__name__ not in names:
                    continue
                agent = Agent(agent_path, os.path.join(root, str(number)))
                started = time.monotonic()
                try:
                    await scenario(agent)
                    if agent.process.returncode is None:
                        await agent.stop()
                    check(agent.leaked() == [], f"the log carries {agent.leaked()}")
                    check(agent.process.returncode == 0, f"the agent exited with {agent.process.returncode}")
                    print(f"PASS {scenario.__name__} ({time.monotonic() - started:.1f} s)", flush=True)
                    passed += 1
                except Exception as error:  # every scenario runs, each failure is reported
                    print(f"FAIL {scenario.__name__}: {type(error).__name__}: {error}", flush=True)
                    print("".join(agent.log[-30:]), flush=True)
                    failed += 1
                    if agent.process and agent.process.returncode is None:
                        agent.process.kill()
                finally:
                    agent.kill_holders()
        finally:
            shutil.rmtree(root, ignore_errors=True)
        print(f"{passed} passed, {failed} failed")
        return failed == 0

    sys.exit(0 if asyncio.run(main()) else 1)
