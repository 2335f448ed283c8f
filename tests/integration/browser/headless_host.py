# The real ferrowyn-host in headless mode, for the browser test: started on loopback, and asked through its
# command line for links, devices, a revocation, a rotation, a stop and a start.
import asyncio
import json
import os
import signal
import socket
import sys
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "agent"))
from session_tablet import holder_pids  # noqa: E402


class Host:
    """The real ferrowyn-host in headless mode, on loopback, with the pairing in a secrets file, and the command
    line that asks it for the browser link, the devices, a revocation, a rotation, a stop and a start."""

    def __init__(self, program, workspace, home, bin_dir):
        self.program, self.workspace = program, workspace
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.output, self.links, self.app_links = [], [], []
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("VELMORA_", "FERROWYN_AGENT_TEST_", "XDG_"))
                    and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # A window would need this platform and find no display: the test fails if the host wants one.
        self.env.update(HOME=home, XDG_RUNTIME_DIR=os.path.join(home, "run"), QT_QPA_PLATFORM="xcb",
                        PATH=f"{bin_dir}:{os.environ['PATH']}",
                        DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/ferrowyn-test-bus")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)

    async def start(self):
        self.process = await asyncio.create_subprocess_exec(
            self.program, "--headless", "--loopback", "--port", str(self.port), "--workspace", self.workspace,
            "--secrets-file", "--qr=none", env=self.env, stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        self.reader = asyncio.ensure_future(self._read())

    async def _read(self):
        while line := await self.process.stdout.readline():
            self.output.append(line.decode(errors="replace"))

    async def stop(self):
        if self.process.returncode is None:
            self.process.send_signal(signal.SIGTERM)
        await asyncio.wait_for(self.process.wait(), 15)
        await self.reader

    def end_sessions(self):
        """Ends what a failed run left: a session's holder outlives the host and its agent."""
        for pid in holder_pids(os.path.join(self.env["XDG_RUNTIME_DIR"], "ferrowyn", "sessions")).values():
            os.kill(pid, signal.SIGKILL)

    async def request(self, *arguments, must_succeed=True):
        process = await asyncio.create_subprocess_exec(
            self.program, *arguments, env=self.env, stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        out, _ = await asyncio.wait_for(process.communicate(), 15)
        if must_succeed and process.returncode != 0:
            raise AssertionError(f"{arguments}: {process.returncode} {out.decode()}")
        return out.decode()

    async def browser_link(self):
        """A browser link the host did not give before (a new one follows each pairing, revocation and rotation,
        and no line of the host's output says so: it is asked for until it comes), and the app link of the same
        pairing, whose secrets the browser link must not carry."""
        for _ in range(200):
            # While the host has no link to give, it says why, which is no link.
            link = (await self.request("--link", "--browser", must_succeed=False)).strip()
            if link.startswith(f"http://127.0.0.1:{self.port}/#") and link not in self.links:
                self.app_links.append((await self.request("--link")).strip())
                self.links.append(link)
                return link
            await asyncio.sleep(0.1)
        raise AssertionError("no new browser link after 200 requests")

    async def devices(self):
        return json.loads(await self.request("--devices", "--json"))["devices"]

    async def sessions(self, count):
        """The running sessions as `--sessions` lists them, once there are `count`: the agent writes its list a
        moment after a change."""
        for _ in range(50):
            listed = json.loads(await self.request("--sessions", "--json"))["sessions"]
            if len(listed) == count:
                return listed
            await asyncio.sleep(0.1)
        raise AssertionError(f"not {count} session(s) listed: {listed}")

    def secrets(self):
        """Every lasting secret of the pairings the links were made for, as the app links carried them."""
        queries = [dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(link).query)) for link in self.app_links]
        return sorted({query[name] for query in queries for name in ("token", "hostId", "pairingNonce")})

    def tickets(self):
        return [dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(link).fragment))["ticket"] for link in self.links]
