# The browser client in a real browser: Debian's chromium, headless, driven over its DevTools protocol, with the
# real host in headless mode and its agent. Pairs from the setup link's browser form, drives a session in the
# terminal, survives a reload, a cut connection and a stop of the host, keeps a page of another origin out, and
# shows a revocation, an expired code and a rotation each in its own words; takes screenshots at tablet sizes in
# light and dark. Fails on any CSP violation or error in the browser's console.
import argparse
import asyncio
import glob
import http.server
import json
import os
import re
import shutil
import signal
import socket
import sys
import tempfile
import threading
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devtools import Browser  # noqa: E402
from socks_proxy import CuttingProxy  # noqa: E402

TABLET_SIZES = {"portrait": (1024, 1366), "landscape": (1366, 1024)}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print(f"ok: {what}", flush=True)


class Host:
    """The real ferrowyn-host in headless mode, on loopback, with the pairing in a secrets file, and the command
    line that asks it for the browser link, the devices, a revocation, a rotation, a stop and a start."""

    def __init__(self, program, workspace, home, bin_dir):
        self.program, self.workspace = program, workspace
        self.port = free_port()
        self.output = []
        self.links = []
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("VELMORA_", "FERROWYN_AGENT_TEST_", "XDG_"))
                    and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # A window would need this platform and find no display: the test fails if the host wants one.
        self.env.update(HOME=home, XDG_RUNTIME_DIR=os.path.join(home, "run"), QT_QPA_PLATFORM="xcb",
                        PATH=f"{bin_dir}:{os.environ['PATH']}",
                        DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/ferrowyn-test-bus")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.printed_links = 0
        self.taken_links = 0
        self.link_printed = asyncio.Event()

    async def start(self):
        self.process = await asyncio.create_subprocess_exec(
            self.program, "--headless", "--loopback", "--port", str(self.port), "--workspace", self.workspace,
            "--secrets-file", "--qr=none", env=self.env, stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        self.reader = asyncio.ensure_future(self._read())

    async def _read(self):
        while line := await self.process.stdout.readline():
            self.output.append(line.decode(errors="replace"))
            if "Setup link: " in self.output[-1]:
                self.printed_links += 1
                self.link_printed.set()

    async def stop(self):
        if self.process.returncode is None:
            self.process.send_signal(signal.SIGTERM)
        await asyncio.wait_for(self.process.wait(), 15)
        await self.reader

    async def end_sessions(self):
        """Ends what a failed run left: a session's tmux server outlives the host and its agent."""
        pattern = os.path.join(self.env["XDG_RUNTIME_DIR"], "ferrowyn", "sessions", "*", "tmux")
        for socket_path in glob.glob(pattern):
            ending = await asyncio.create_subprocess_exec(
                "tmux", "-S", socket_path, "kill-server", stdin=asyncio.subprocess.DEVNULL,
                stdout=asyncio.subprocess.DEVNULL, stderr=asyncio.subprocess.DEVNULL)
            await asyncio.wait_for(ending.wait(), 10)

    async def ask(self, *arguments):
        process = await asyncio.create_subprocess_exec(
            self.program, *arguments, env=self.env, stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        out, _ = await asyncio.wait_for(process.communicate(), 15)
        return process.returncode, out.decode()

    async def browser_link(self, timeout=20):
        """A browser link the host did not give before, asked for each time it prints a new setup link."""
        async def fresh():
            while True:
                while self.printed_links <= self.taken_links:
                    self.link_printed.clear()
                    await self.link_printed.wait()
                self.taken_links = self.printed_links
                status, text = await self.ask("--link", "--browser")
                link = text.strip()
                if status != 0 or not link.startswith(f"http://127.0.0.1:{self.port}/#"):
                    raise AssertionError(f"--link --browser: {status} {text}")
                if link not in self.links:
                    self.links.append(link)
                    return link
        return await asyncio.wait_for(fresh(), timeout)

    async def devices(self):
        status, text = await self.ask("--devices", "--json")
        if status != 0:
            raise AssertionError(f"--devices: {text}")
        return json.loads(text)["devices"]

    async def request(self, *arguments):
        status, text = await self.ask(*arguments)
        if status != 0:
            raise AssertionError(f"{arguments}: {status} {text}")

    def secrets(self):
        """Every secret the links carried."""
        found = set()
        for link in self.links:
            fragment = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(link).fragment))
            found.update(fragment[name] for name in ("token", "hostId", "pairingNonce"))
        return sorted(found)


class ForeignSite:
    """A page of another origin that tries the agent's WebSocket."""

    def __init__(self, agent_port):
        page = ("<!doctype html><script>window.attempt = new Promise(done => {"
                f" const ws = new WebSocket('ws://127.0.0.1:{agent_port}/ws');"
                " ws.onopen = () => done({opened: true, code: 0});"
                " ws.onclose = (e) => done({opened: false, code: e.code}); });</script>").encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.end_headers()
                self.wfile.write(page)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


TERMINAL_TEXT = ("[...document.querySelectorAll('#terminal-host .xterm-rows > div')]"
                 ".map(row => row.textContent.trimEnd()).join('\\n')")


async def type_line(page, text):
    """Types as a keyboard would: the text into the terminal's input, then Enter."""
    await page.call("Input.insertText", text=text)
    for kind in ("keyDown", "keyUp"):
        await page.call("Input.dispatchKeyEvent", type=kind, key="Enter", code="Enter",
                        windowsVirtualKeyCode=13, **({"text": "\r"} if kind == "keyDown" else {}))


async def wait_terminal(page, needle, what):
    return await page.wait_for(f"(() => {{ const text = {TERMINAL_TEXT}; return text.includes({json.dumps(needle)})"
                               " && text; })()", what=what)


async def screenshots(page, directory, state):
    for orientation, (width, height) in TABLET_SIZES.items():
        for theme in ("light", "dark"):
            await page.screenshot(os.path.join(directory, f"browser-{state}-{orientation}-{theme}.png"),
                                  width, height, theme == "dark")
    await page.call("Emulation.setDeviceMetricsOverride", width=1024, height=1366, deviceScaleFactor=1,
                    mobile=False)


def headers_of(url):
    with urllib.request.urlopen(url, timeout=5) as answer:
        return answer.headers


async def run(args, work):
    workspace = os.path.join(work, "project")
    os.makedirs(workspace)
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir)
    os.symlink(os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake-coder.sh"),
               os.path.join(bin_dir, "codex"))
    host = Host(args.host, workspace, os.path.join(work, "home"), bin_dir)
    await host.start()
    proxy = await CuttingProxy().start()
    foreign = ForeignSite(host.port)
    page_url = f"http://127.0.0.1:{host.port}/"
    try:
        link = await host.browser_link()
        policy = headers_of(page_url)["Content-Security-Policy"]
        check(policy and "default-src 'self'" in policy and "frame-ancestors 'none'" in policy
              and "unsafe" not in policy, "the page is served with a strict Content-Security-Policy")

        async with Browser(proxy.browser_args()) as browser:
            page = await browser.new_page()
            await page.navigate(link)
            check(await page.evaluate("location.href") == page_url, "the pairing secrets are gone from the address bar")
            entries = (await page.call("Page.getNavigationHistory"))["entries"]
            # The entry keeps the address navigated to as "userTypedURL", and chromium's global history keeps it
            # too: no page can change those. What the tab's history shows and returns to is the plain page.
            check(not any(s in entry["url"] for entry in entries for s in host.secrets()),
                  "and from the tab's history")
            await page.wait_for("document.body.dataset.screen === 'pair'", what="the pairing screen")
            await screenshots(page, args.screenshots, "pair")
            await page.evaluate("document.getElementById('device-name').value = 'Test tablet <b>'")
            await page.evaluate("document.getElementById('pair-button').click()")
            await page.wait_for("document.body.dataset.screen === 'home'", what="the home screen after pairing")
            await page.wait_for("document.querySelectorAll('#folders li').length === 1", what="the pinned folder")
            devices = await host.devices()
            check([d["name"] for d in devices] == ["Test tablet <b>"], "the browser is paired and listed by --devices")
            stored = json.loads(await page.evaluate("localStorage.getItem('ferrowyn.device')"))
            check(stored["deviceId"] == devices[0]["deviceId"] and stored["deviceSecret"],
                  "the device id and its secret are kept in the origin's storage")
            check(await page.evaluate("document.cookie") == "", "nothing is kept in a cookie")
            check(await page.evaluate("document.getElementById('home-device').textContent")
                  == "Paired as Test tablet <b>", "the device's name is shown as text")
            visible = await page.evaluate("document.documentElement.outerHTML + document.title")
            check(not any(s in visible for s in host.secrets() + [stored["deviceSecret"]]),
                  "no secret is in the page or its title")

            # A reload comes back as the trusted device, without the link.
            await page.reload()
            await page.wait_for("document.body.dataset.screen === 'home'", what="the home screen after a reload")
            check(len(await host.devices()) == 1, "a reload does not pair again")

            # A session in the pinned folder, typed into and read back from the page.
            await page.wait_for("!document.getElementById('new-start').disabled", what="a program to start")
            await page.evaluate("document.getElementById('new-start').click()")
            await page.wait_for("document.body.dataset.screen === 'terminal'", what="the terminal")
            await wait_terminal(page, "Ready in project", "the program's first line")
            await type_line(page, "hello from the tablet")
            await wait_terminal(page, "You said: hello from the tablet", "the program's answer")
            check(True, "typed into the terminal, the answer is read back from the page")
            await screenshots(page, args.screenshots, "terminal")

            # Back to the list, where the session runs on, and into it again.
            await page.evaluate("document.getElementById('terminal-back').click()")
            await page.wait_for("document.querySelectorAll('#sessions li').length === 1", what="the session listed")
            await screenshots(page, args.screenshots, "home")
            await page.evaluate("document.querySelector('#sessions li button').click()")
            text = await wait_terminal(page, "You said: hello from the tablet", "the session opened from the list")
            check(text.count("Ready in project") == 1, "the session opened from the list shows its output once")

            # A reload comes back to the session with its output.
            await page.reload()
            await page.wait_for("document.body.dataset.screen === 'terminal'", what="the terminal after a reload")
            text = await wait_terminal(page, "You said: hello from the tablet", "the output after a reload")
            check(text.count("You said: hello from the tablet") == 1, "a reload shows the session with its output")

            # The connection cut while output goes on: the page says so, and resumes where it stopped.
            before = proxy.connections
            await page.evaluate("""new MutationObserver(() => (window.banners = window.banners || []).push(
                document.getElementById('banner-text').textContent)).observe(
                document.getElementById('banner-text'), {childList: true, characterData: true, subtree: true})""")
            await type_line(page, "ticks 60")
            await wait_terminal(page, "tick 5", "the first ticks")
            proxy.cut()
            text = await wait_terminal(page, "tick 60", "the last tick after the connection came back")
            ticks = re.findall(r"^tick (\d+)$", text, re.M)
            check(proxy.connections > before, "the page connected again after the cut")
            check(ticks == [str(n) for n in range(1, 61)], "output resumed without a duplicated or lost line")
            banners = await page.evaluate("window.banners")
            check(banners and "does not answer" in banners[0], f"the page said it was offline meanwhile: {banners}")

            # The key bar's sticky Ctrl applies to the next key typed: Ctrl-C ends the program.
            await page.evaluate("document.querySelector('#key-bar [aria-pressed]').click()")
            await page.call("Input.insertText", text="c")
            status = await page.wait_for("document.getElementById('terminal-status').textContent",
                                         what="the end of the program")
            check(status == "The program ended (exit status 130).", f"Ctrl from the key bar and c: {status}")
            await page.evaluate("document.getElementById('terminal-back').click()")
            await page.wait_for("document.body.dataset.screen === 'home'", what="the home screen")

            # The computer stops hosting, then hosts again: the page says so, and comes back by itself.
            await host.request("--stop")
            await page.wait_for("!document.getElementById('banner').hidden", what="the banner")
            banner = await page.evaluate("document.getElementById('banner-text').textContent")
            check("stopped hosting" in banner, f"the page says the computer stopped hosting: {banner}")
            await screenshots(page, args.screenshots, "stopped")
            await host.request("--start")
            await page.wait_for("document.getElementById('banner').hidden", what="the banner to go", timeout=20)
            check(True, "the page reconnects by itself when the computer hosts again")

            # The page's own rules, in the page.
            rules = await page.evaluate("""(async () => {
                const { withControl } = await import('./key-bar.js');
                const { defaultDeviceName } = await import('./device-store.js');
                const safari = 'Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 Safari/605.1.15';
                return {
                  control: ['c', 'C', '[', '?', ' ', '1', 'ab'].map(withControl),
                  names: [
                    defaultDeviceName(safari, 5),
                    defaultDeviceName(safari, 0),
                    defaultDeviceName('Mozilla/5.0 (Linux; Android 14; SM-X710) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36', 5),
                    defaultDeviceName('Mozilla/5.0 (iPad; CPU OS 17_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) CriOS/120.0 Mobile/15E148 Safari/604.1', 5),
                  ],
                };
            })()""")
            check(rules["control"] == ["\x03", "\x03", "\x1b", "\x7f", "\x00", "1", "ab"], "what Ctrl makes of a key")
            check(rules["names"] == ["Safari on iPad", "Safari on Mac", "Chrome on Android", "Chrome on iPad"],
                  f"a device's default name: {rules['names']}")

            # A page of another site in the same browser cannot reach the agent.
            other = await browser.new_page()
            await other.navigate(foreign.url)
            attempt = await other.evaluate("window.attempt")
            check(not attempt["opened"], f"a page on another origin cannot open /ws (closed with {attempt['code']})")
            await other.close()

            # Revoked from the host: the page says so, also after a reload.
            await host.request("--revoke", devices[0]["deviceId"], "--yes")
            await page.wait_for("document.body.dataset.screen === 'message'", what="the revoked message")
            title = await page.evaluate("document.getElementById('message-title').textContent")
            check("removed" in title, f"the page says the device was revoked: {title}")
            await screenshots(page, args.screenshots, "revoked")
            await page.reload()
            await page.wait_for("document.body.dataset.screen === 'message'", what="the revoked message again")
            check(await page.evaluate("document.getElementById('message-title').textContent") == title,
                  "a reload still says so")

            # An expired code is refused by the page itself; the current one pairs again.
            link = await host.browser_link()
            expired = re.sub(r"expiresAt=[^&]*", "expiresAt=2020-01-01T00:00:00Z", link)
            await page.navigate(expired)
            await page.wait_for("document.body.dataset.screen === 'message'", what="the expired message")
            title = await page.evaluate("document.getElementById('message-title').textContent")
            check(title == "This code has expired", f"an expired code: {title}")
            await page.navigate(link)
            await page.wait_for("document.body.dataset.screen === 'pair'", what="the pairing screen again")
            await page.evaluate("document.getElementById('pair-button').click()")
            await page.wait_for("document.body.dataset.screen === 'home'", what="the home screen after pairing again")

            # A rotated pairing: the browser's credentials are no longer accepted.
            await host.request("--rotate", "--yes")
            await page.wait_for("document.body.dataset.screen === 'message'", what="the message after a rotation",
                                timeout=20)
            title = await page.evaluate("document.getElementById('message-title').textContent")
            check(title == "This computer no longer accepts this browser", f"a rotated pairing: {title}")
            await host.browser_link()

            check(page.csp_violations() == [], "no CSP violation was reported")
            check(page.errors() == [], f"no error in the console: {page.errors()}")
        output = "".join(host.output)
        check(not any(s in output for s in host.secrets()), "no secret is in the host's output")
    finally:
        foreign.close()
        await proxy.stop()
        await host.stop()
        await host.end_sessions()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--screenshots", required=True)
    args = parser.parse_args()
    os.makedirs(args.screenshots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="ferrowyn-browser-test-")
    try:
        asyncio.run(asyncio.wait_for(run(args, work), 120))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
