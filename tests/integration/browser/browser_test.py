# The browser client in a real browser: Debian's chromium, headless, driven over its DevTools protocol, against
# the real agent. Pairs from the setup link's browser form, checks what the page keeps and shows, refuses a
# page of another origin, takes screenshots at tablet sizes in light and dark, and sees a revocation arrive.
# Fails on any CSP violation or error in the browser's console.
import argparse
import asyncio
import datetime
import http.server
import json
import os
import re
import secrets
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


class Agent:
    """The real ferrowyn-agent with its own HOME and fresh secrets, and the host's requests to it."""

    def __init__(self, program, workspace, home, bin_dir):
        self.program, self.workspace, self.home, self.bin_dir = program, workspace, home, bin_dir
        self.token, self.host_id = secrets.token_urlsafe(24), "host_" + secrets.token_hex(8)
        self.nonce, self.control = secrets.token_urlsafe(24), secrets.token_urlsafe(24)
        self.port = free_port()
        self.output = []
        self.earlier_secrets = []

    async def start(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("VELMORA_", "FERROWYN_AGENT_TEST_"))}
        env.update(HOME=self.home, VELMORA_HOST_TOKEN=self.token, VELMORA_HOST_ID=self.host_id,
                   VELMORA_PAIRING_NONCE=self.nonce, VELMORA_CONTROL_SECRET=self.control,
                   XDG_RUNTIME_DIR=os.path.join(self.home, "runtime"), PATH=f"{self.bin_dir}:{os.environ['PATH']}")
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        self.process = await asyncio.create_subprocess_exec(
            self.program, "--workspace", self.workspace, "--addr", f"127.0.0.1:{self.port}",
            "--session-program", "codex", env=env,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        listening = asyncio.get_running_loop().create_future()

        async def read():
            while line := await self.process.stdout.readline():
                self.output.append(line.decode(errors="replace"))
                if "listening on" in self.output[-1] and not listening.done():
                    listening.set_result(True)
        self.reader = asyncio.ensure_future(read())
        await asyncio.wait_for(listening, 10)

    async def stop(self):
        if self.process.returncode is None:
            self.process.send_signal(signal.SIGTERM)
        await asyncio.wait_for(self.process.wait(), 10)
        await self.reader

    async def rotate(self):
        """What "Rotate Pairing" does: every secret anew, the devices forgotten, the agent started again."""
        await self.stop()
        self.earlier_secrets += [self.token, self.host_id, self.nonce]
        self.token, self.host_id = secrets.token_urlsafe(24), "host_" + secrets.token_hex(8)
        self.nonce = secrets.token_urlsafe(24)
        os.remove(os.path.join(self.home, ".ferrowyn", "trusted-devices.json"))
        await self.start()

    def browser_link(self, expires_in=datetime.timedelta(minutes=15)):
        expires = (datetime.datetime.now(datetime.timezone.utc) + expires_in).strftime("%Y-%m-%dT%H:%M:%SZ")
        fragment = urllib.parse.urlencode({"token": self.token, "hostId": self.host_id,
                                           "pairingNonce": self.nonce, "expiresAt": expires}, safe=":")
        return f"http://127.0.0.1:{self.port}/#{fragment}"

    def devices(self):
        path = os.path.join(self.home, ".ferrowyn", "trusted-devices.json")
        with open(path) as devices:
            return json.load(devices)["devices"]

    def revoke(self, device_id):
        self.earlier_secrets.append(self.nonce)
        self.nonce = secrets.token_urlsafe(24)
        request = urllib.request.Request(
            f"http://127.0.0.1:{self.port}/control/revoke", method="POST",
            data=json.dumps({"deviceId": device_id, "pairingNonce": self.nonce}).encode(),
            headers={"Authorization": f"Bearer {self.control}"})
        with urllib.request.urlopen(request, timeout=5) as answer:
            return json.load(answer)["revoked"]

    def secrets(self):
        return [self.token, self.host_id, self.nonce, self.control] + self.earlier_secrets


class ForeignSite:
    """A page of another origin that tries the agent's WebSocket."""

    def __init__(self, agent_port):
        page = ("<!doctype html><script>window.attempt = new Promise(done => {"
                f" const ws = new WebSocket('ws://127.0.0.1:{agent_port}/ws'); let opened = false;"
                " ws.onopen = () => { opened = true; ws.send('{}'); };"
                " ws.onclose = (e) => done({opened, code: e.code}); });</script>").encode()

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
    agent = Agent(args.agent, workspace, os.path.join(work, "home"), bin_dir)
    await agent.start()
    proxy = await CuttingProxy().start()
    foreign = ForeignSite(agent.port)
    try:
        policy = headers_of(f"http://127.0.0.1:{agent.port}/")["Content-Security-Policy"]
        check(policy and "default-src 'self'" in policy and "frame-ancestors 'none'" in policy
              and "unsafe" not in policy, "the page is served with a strict Content-Security-Policy")

        async with Browser(proxy.browser_args()) as browser:
            page = await browser.new_page()
            link = agent.browser_link()
            await page.navigate(link)
            check(await page.evaluate("location.href") == f"http://127.0.0.1:{agent.port}/",
                  "the pairing secrets are gone from the address bar")
            entries = (await page.call("Page.getNavigationHistory"))["entries"]
            # The entry keeps the address navigated to as "userTypedURL", and chromium's global history keeps it
            # too: no page can change those. What the tab's history shows and returns to is the plain page.
            check(not any(s in entry["url"] for entry in entries for s in agent.secrets()),
                  "and from the tab's history")
            await page.wait_for("document.body.dataset.screen === 'pair'", what="the pairing screen")
            await screenshots(page, args.screenshots, "pair")
            await page.evaluate("document.getElementById('device-name').value = 'Test tablet <b>'")
            await page.evaluate("document.getElementById('pair-button').click()")
            await page.wait_for("document.body.dataset.screen === 'home'", what="the home screen after pairing")
            await page.wait_for("document.querySelectorAll('#folders li').length === 1", what="the pinned folder")
            devices = agent.devices()
            check([d["name"] for d in devices] == ["Test tablet <b>"], "the browser is paired and listed")
            stored = await page.evaluate("localStorage.getItem('ferrowyn.device')")
            check(json.loads(stored)["deviceId"] == devices[0]["deviceId"] and json.loads(stored)["deviceSecret"],
                  "the device id and its secret are kept in the origin's storage")
            check(await page.evaluate("document.cookie") == "", "nothing is kept in a cookie")
            check(await page.evaluate("document.getElementById('home-device').textContent")
                  == "Paired as Test tablet <b>", "the device's name is shown as text")
            visible = await page.evaluate("document.documentElement.outerHTML + document.title")
            check(not any(s in visible for s in agent.secrets() + [json.loads(stored)["deviceSecret"]]),
                  "no secret is in the page or its title")

            # A reload comes back as the trusted device, without the link.
            await page.reload()
            await page.wait_for("document.body.dataset.screen === 'home'", what="the home screen after a reload")
            check(len(agent.devices()) == 1, "a reload does not pair again")

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

            # The connection cut while output goes on: the page resumes where it stopped.
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

            # The computer stops hosting, then hosts again: the page says so, and the session is still there.
            await agent.stop()
            await page.wait_for("!document.getElementById('banner').hidden", what="the banner")
            banner = await page.evaluate("document.getElementById('banner-text').textContent")
            check("stopped hosting" in banner, f"the page says the computer stopped hosting: {banner}")
            await agent.start()
            await page.wait_for("document.getElementById('banner').hidden", what="the banner to go", timeout=15)
            await type_line(page, "still here")
            await wait_terminal(page, "You said: still here", "an answer after the agent started again")
            check(True, "the page reconnects by itself and the session goes on")

            # The key bar's sticky Ctrl applies to the next key typed: Ctrl-C ends the program.
            await page.evaluate("document.querySelector('#key-bar [aria-pressed]').click()")
            await page.call("Input.insertText", text="c")
            status = await page.wait_for("document.getElementById('terminal-status').textContent",
                                         what="the end of the program")
            check(status == "The program ended (exit status 130).", f"Ctrl from the key bar and c: {status}")

            # The page's own rules, in the page.
            rules = await page.evaluate("""(async () => {
                const { withControl } = await import('./key-bar.js');
                const { defaultDeviceName } = await import('./device-store.js');
                return {
                  control: ['c', 'C', '[', '?', ' ', '1', 'ab'].map(withControl),
                  names: [
                    defaultDeviceName('Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 Safari/605.1.15', 5),
                    defaultDeviceName('Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 Safari/605.1.15', 0),
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

            check(agent.revoke(devices[0]["deviceId"]), "the host revokes the browser")
            await page.wait_for("document.body.dataset.screen === 'message'", what="the revoked message")
            title = await page.evaluate("document.getElementById('message-title').textContent")
            check("removed" in title, f"the page says the device was revoked: {title}")
            await screenshots(page, args.screenshots, "revoked")
            await page.reload()
            await page.wait_for("document.body.dataset.screen === 'message'", what="the revoked message again")
            check(await page.evaluate("document.getElementById('message-title').textContent") == title,
                  "a reload still says so")

            # An expired code is refused by the page itself; a current one pairs again.
            await page.navigate(agent.browser_link(expires_in=datetime.timedelta(minutes=-1)))
            await page.wait_for("document.body.dataset.screen === 'message'", what="the expired message")
            title = await page.evaluate("document.getElementById('message-title').textContent")
            check(title == "This code has expired", f"an expired code: {title}")
            await page.navigate(agent.browser_link())
            await page.wait_for("document.body.dataset.screen === 'pair'", what="the pairing screen again")
            await page.evaluate("document.getElementById('pair-button').click()")
            await page.wait_for("document.body.dataset.screen === 'home'", what="the home screen after pairing again")

            # A rotated pairing: the browser's credentials are no longer accepted.
            await agent.rotate()
            await page.wait_for("document.body.dataset.screen === 'message'", what="the message after a rotation",
                                timeout=20)
            title = await page.evaluate("document.getElementById('message-title').textContent")
            check(title == "This computer no longer accepts this browser", f"a rotated pairing: {title}")

            for each in (page,):
                check(each.csp_violations() == [], "no CSP violation was reported")
                check(each.errors() == [], f"no error in the console: {each.errors()}")
        log = "".join(agent.output)
        check(not any(s in log for s in agent.secrets()), "no secret is in the agent's log")
    finally:
        foreign.close()
        await proxy.stop()
        await agent.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
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
