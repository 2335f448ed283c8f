# The browser client in a real browser: Debian's chromium, headless, driven over its DevTools protocol, with the
# real host in headless mode and its agent. Pairs from the setup link's browser form, which carries no lasting
# secret and pairs one device only, drives a session in the terminal over the encrypted channel (nothing readable
# on the wire), survives a reload, a cut connection and a stop of the host, keeps a page of another origin out,
# and shows a used code, a revocation, an expired code, a rotation and another computer at the same address each
# in its own words; takes screenshots at tablet sizes in light and dark. Fails on any CSP violation or error in
# the browser's console.
import argparse
import asyncio
import base64
import json
import os
import re
import shutil
import socket
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devtools import Browser  # noqa: E402
from headless_host import Host  # noqa: E402
from socks_proxy import CuttingProxy  # noqa: E402

TABLET_SIZES = {"portrait": (1024, 1366), "landscape": (1366, 1024)}


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print(f"ok: {what}", flush=True)


# The terminal's rows and columns lie within its part of the screen, above the key bar, and the key bar on screen.
TERMINAL_FITS = """(() => {
  const screen = document.querySelector('#terminal-host .xterm-screen').getBoundingClientRect();
  const host = document.getElementById('terminal-host').getBoundingClientRect();
  const keys = document.getElementById('key-bar').getBoundingClientRect();
  return screen.bottom <= keys.top + 0.5 && screen.right <= host.right + 0.5 && keys.bottom <= innerHeight + 0.5;
})()"""

ROWS = "document.querySelectorAll('#terminal-host .xterm-rows > div')"
TERMINAL_TEXT = f"[...{ROWS}].map(row => row.textContent.trimEnd()).join('\\n')"
# What the program shows, its lines joined: the full-screen program's hex wraps at the terminal's width.
TYPED = f"({TERMINAL_TEXT}).replaceAll('\\n', '')"


async def type_line(page, text):
    """Types as a keyboard would: the text into the terminal's input, then Enter."""
    await page.call("Input.insertText", text=text)
    for kind in ("keyDown", "keyUp"):
        await page.call("Input.dispatchKeyEvent", type=kind, key="Enter", code="Enter",
                        windowsVirtualKeyCode=13, **({"text": "\r"} if kind == "keyDown" else {}))


async def wait_terminal(page, needle, what):
    return await page.wait_for(f"(() => {{ const text = {TERMINAL_TEXT}; return text.includes({json.dumps(needle)})"
                               " && text; })()", what=what)


async def typed(page, text, what, timeout=10):
    """Waits for the full-screen program to show that it received the text."""
    await page.wait_for(f"{TYPED}.includes({json.dumps(hex_of(text))})", what=what, timeout=timeout)


async def status(page, text, what):
    await page.wait_for(f"document.getElementById('terminal-status').textContent === {json.dumps(text)}", what=what)


async def show(page, screen, what, timeout=10):
    await page.wait_for(f"document.body.dataset.screen === '{screen}'", what=what, timeout=timeout)


async def click(page, element_id):
    await page.evaluate(f"document.getElementById('{element_id}').click()")


async def text_of(page, element_id):
    return await page.evaluate(f"document.getElementById('{element_id}').textContent")


async def start_session(page, what):
    """Starts a session in the pinned folder from the home screen, and waits for the program's first line."""
    await page.wait_for("!document.getElementById('new-start').disabled", what=f"a program to start: {what}")
    await click(page, "new-start")
    await wait_terminal(page, "Ready in project", what)


async def back_home(page):
    await click(page, "terminal-back")
    await show(page, "home", "the home screen")


async def message(page, what, timeout=10):
    """The title of the message screen, once it shows."""
    await show(page, "message", what, timeout)
    return await text_of(page, "message-title")


async def pair(page, link, what, outcome="home"):
    """Opens the link, pairs from its form as it stands, and waits for the screen that follows."""
    await page.navigate(link)
    await show(page, "pair", f"the pairing screen: {what}")
    await click(page, "pair-button")
    await show(page, outcome, f"the {outcome} screen: {what}")


async def screenshots(page, directory, state, sizes=TABLET_SIZES):
    for orientation, (width, height) in sizes.items():
        for theme in ("light", "dark"):
            await page.screenshot(os.path.join(directory, f"browser-{state}-{orientation}-{theme}.png"),
                                  width, height, theme == "dark")
    await page.resize()


def hex_of(text):
    return "".join(f"<{byte:02x}>" for byte in text.encode())


def readable_forms(text):
    """The text as it would cross the wire readable: as it is (so also inside JSON), and in Base64, standard and
    URL-safe, at each of the three alignments it can take in an encoded stream."""
    data = text.encode()
    wholes = [data[start:start + (len(data) - start) // 3 * 3] for start in range(3)]
    return {data, *map(base64.b64encode, wholes), *map(base64.urlsafe_b64encode, wholes)}


def unmasked(stream):
    """What a browser's WebSocket frames carry after its upgrade request: a browser masks each frame with a key
    written in the frame, which hides nothing from a listener, who takes it off."""
    data, payloads = bytes(stream), []
    at = data.find(b"\r\n\r\n") + 4
    while at + 6 <= len(data):
        length, at = data[at + 1] & 0x7F, at + 2
        if length >= 126:
            size = 2 if length == 126 else 8
            length, at = int.from_bytes(data[at:at + size], "big"), at + size
        mask, payload = data[at:at + 4], data[at + 4:at + 4 + length]
        payloads.append(bytes(byte ^ mask[n % 4] for n, byte in enumerate(payload)))
        at += 4 + length
    return b"".join(payloads)


async def other_agent(host, agent):
    """An agent with a key of its own on the address the host's agent had (stopped first), as another computer
    answering there would be."""
    home = os.path.join(os.path.dirname(host.env["HOME"]), "other-computer")
    os.makedirs(os.path.join(home, "run"), mode=0o700)
    env = dict(host.env, HOME=home, XDG_RUNTIME_DIR=os.path.join(home, "run"), VELMORA_HOST_TOKEN="other-token",
               VELMORA_HOST_ID="other-host",
               VELMORA_AGENT_KEY=base64.urlsafe_b64encode(os.urandom(32)).rstrip(b"=").decode())
    # The stopped agent may hold the port a moment longer: asked again until it is free.
    for _ in range(50):
        process = await asyncio.create_subprocess_exec(
            agent, "--addr", f"127.0.0.1:{host.port}", env=env, stdin=asyncio.subprocess.DEVNULL,
            stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.STDOUT)
        while line := await asyncio.wait_for(process.stdout.readline(), 10):
            if b"listening on" in line:
                return process
        await process.wait()
        await asyncio.sleep(0.1)
    raise AssertionError("the other agent did not start")


async def touch(page, kind, x=None, y=None):
    points = [] if x is None else [{"x": x, "y": y}]
    await page.call("Input.dispatchTouchEvent", type=kind, touchPoints=points)


async def drag(page, x, y, dy, steps=10):
    await touch(page, "touchStart", x, y)
    for step in range(1, steps + 1):
        await touch(page, "touchMove", x, y + dy * step / steps)
    await touch(page, "touchEnd")


async def touch_and_keys(page, directory):
    """A finger scrolls the shell's scrollback and, in a full-screen program, does what the wheel does there;
    a long press and a drag select what Copy copies; the key bar's keys and modifiers reach the program."""
    await page.call("Emulation.setTouchEmulationEnabled", enabled=True, maxTouchPoints=5)
    await type_line(page, "lines 300")
    await wait_terminal(page, "line 300", "300 lines")
    top = f"{ROWS}[0].textContent.trim()"
    box = await page.evaluate("(() => { const r = document.querySelector('#terminal-host .xterm-screen')"
                              ".getBoundingClientRect(); return {x: r.left + 40, y: r.top + r.height / 3}; })()")
    before = await page.evaluate(top)
    await drag(page, box["x"], box["y"], 300)
    after = await page.wait_for(f"{top} !== {json.dumps(before)} && {top}", what="the drag to scroll back")
    check(re.fullmatch(r"line \d+", before) and int(after.split()[1]) < int(before.split()[1]) - 5,
          f"a finger drawn down scrolls back ({before!r} at the top, then {after!r})")

    # A long press on a row, then a drag to the row below it, selects from the word pressed to the finger.
    await page.evaluate("navigator.clipboard.writeText = async (text) => { window.copied = text; }")
    await touch(page, "touchStart", box["x"] - 35, box["y"])
    await page.wait_for("document.getElementById('terminal-host').classList.contains('selecting')",
                        what="the long press to start a selection")
    height = await page.evaluate(f"{ROWS}[1].getBoundingClientRect().top - {ROWS}[0].getBoundingClientRect().top")
    await touch(page, "touchMove", box["x"] + 200, box["y"] + height)
    await touch(page, "touchEnd")
    await click(page, "terminal-copy")
    copied = await page.wait_for("window.copied", what="Copy to copy the selection")
    check(re.fullmatch(r"line (\d+)\s*\nline (\d+)\s*", copied), f"Copy copies what the finger selected: {copied!r}")
    await screenshots(page, directory, "selection")

    # The alternate screen has no scrollback: a swipe up is the wheel there, here the down arrow.
    await type_line(page, "keys")
    await wait_terminal(page, "keys:", "the full-screen program")
    await drag(page, box["x"], box["y"] + 200, -200)
    await typed(page, "\x1b[B" * 3, "arrow keys from a swipe on the alternate screen")
    bar = "document.querySelectorAll('#key-bar .key')"
    press = lambda label: f"[...{bar}].find(key => key.textContent === {json.dumps(label)}).click()"
    # Shift latches for one key; Alt applies to a key of the on-screen keyboard; a double tap locks Ctrl for
    # two arrows until it is tapped again; the page keys and the Fn row's F5.
    await page.evaluate(f"{press('Shift')}; {press('Tab')}; {press('Tab')}; {press('Alt')}")
    await page.call("Input.insertText", text="x")
    locked = await page.evaluate(f"{press('Ctrl')}; {press('Ctrl')}; "
                                 f"[...{bar}].find(key => key.textContent === 'Ctrl').className")
    check("locked" in locked, f"a double tap locks Ctrl, and it shows: {locked}")
    await page.evaluate(f"{press('←')}; {press('←')}; {press('Ctrl')}; {press('PgUp')}; {press('End')};"
                        f" {press('Fn')}; {press('F5')}")
    await typed(page, "\x1b[Z\t\x1bx\x1b[1;5D\x1b[1;5D\x1b[5~\x1b[F\x1b[15~", "the key bar's keys in the program")
    # Without the clipboard API (a page served over plain http), Paste offers a field; what is pasted reaches the
    # program whole, also past the 64 KiB the agent takes in one message.
    await page.evaluate("Object.defineProperty(navigator, 'clipboard', {value: undefined, configurable: true});"
                        "document.getElementById('terminal-paste').click()")
    await page.wait_for("document.activeElement === document.getElementById('paste-text')", what="the paste field")
    await page.call("Input.insertText", text="pasted " + "a" * 70000 + " text")
    await click(page, "paste-send")
    await typed(page, "aa text", "the pasted text", timeout=30)
    await page.resize(768, 1024)
    await page.wait_for(f"[...{bar}].every(key => key.getBoundingClientRect().right <= innerWidth)"
                        " && document.querySelectorAll('.function-keys .key').length === 12",
                        what="every key, F1-F12 among them, on screen at 768 pixels")
    await screenshots(page, directory, "keys", {"narrow": (768, 1024)})
    await page.evaluate(press('Fn'))
    await page.call("Emulation.setTouchEmulationEnabled", enabled=False)


async def second_tab(browser, page, page_url, directory):
    """A smaller tab: the home screen follows the session it opens and that ends, with no Refresh (each row says
    who opened it and who is attached, and ends after a question); then, typing into the session the page shows,
    it gives the program its size: the page draws at that size and says so, until a tap takes its own back."""
    rows = f"{ROWS}.length"
    notice = "document.getElementById('terminal-size-notice').hidden"
    other = await browser.new_page()
    await other.resize(768, 700)
    await other.navigate(page_url)
    await start_session(other, "the second tab's session")
    opened = await other.evaluate("sessionStorage.getItem('ferrowyn.openSession')")
    row = f"document.querySelector('#sessions li[data-session=\"{opened}\"]')"
    detail = await page.wait_for(f"document.querySelectorAll('#sessions li').length === 2 && {row}.textContent",
                                 what="the session another tab opened, listed as it opened")
    check("Opened by Test tablet <b>" in detail and "1 tablet attached" in detail, f"the row says who: {detail}")
    await screenshots(page, directory, "home")
    await page.evaluate(f"window.confirm = (question) => (window.asked = question, true); "
                        f"{row}.querySelector('button.danger').click()")
    await status(other, "The session was ended from a tablet.", "the end from the list, told in the tab")
    await page.wait_for("document.querySelectorAll('#sessions li').length === 1", what="the ended session gone")
    check((await page.evaluate("window.asked")).startswith("End the session in project?"), "End asks first")

    await page.evaluate("document.querySelector('#sessions li button.primary').click()")
    text = await wait_terminal(page, "You said: hello from the tablet", "the session opened from the list")
    check(text.count("Ready in project") == 1, "the session opened from the list shows its output once")
    own = await page.evaluate(rows)
    await other.activate()
    await back_home(other)
    await other.evaluate("document.querySelector('#sessions li button.primary').click()")
    await wait_terminal(other, "You said: hello from the tablet", "the page's session in the smaller tab")
    await type_line(other, "from the smaller tab")
    await wait_terminal(other, "You said: from the smaller tab", "the smaller tab's answer")
    theirs = await other.evaluate(rows)
    await page.activate()
    await page.wait_for(f"{rows} === {theirs} && !{notice}", what=f"the page at the smaller tab's {theirs} rows, saying so")
    # Typing makes this tablet the active one by itself (the agent's test); a tap must say so.
    await click(page, "terminal-host")
    await page.wait_for(f"{rows} === {own} && {notice}", what="the page's own size, taken back by a tap")
    await other.close()


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
    page_url = f"http://127.0.0.1:{host.port}/"
    try:
        link = await host.browser_link()
        # The address the browser keeps (its history, "userTypedURL") is this link as navigated to: no page can
        # change those, so it must hold no lasting secret.
        check(not any(s in link for s in host.secrets()), "the browser link holds no host token, host id or nonce")

        async with Browser(proxy.browser_args()) as browser:
            page = await browser.new_page()
            # As on http://<LAN address>, which is no secure context: the page does without crypto.subtle.
            await page.call("Page.addScriptToEvaluateOnNewDocument",
                            source="Object.defineProperty(Crypto.prototype, 'subtle', {get: () => undefined})")
            # Everything the page sends and receives from here to its reload, as one listening on the network has it.
            proxy.recorded = []
            await page.navigate(link)
            urls = [entry["url"] for entry in (await page.call("Page.getNavigationHistory"))["entries"]]
            check(urls == ["about:blank", page_url], f"the address bar and the tab's history hold the plain page: {urls}")
            await show(page, "pair", "the pairing screen")
            check(await text_of(page, "pair-computer") == f"Computer: {socket.gethostname()} · 1 pinned folder",
                  "the pairing screen names the computer and its folders")
            await screenshots(page, args.screenshots, "pair")
            await page.evaluate("document.getElementById('device-name').value = 'Test tablet <b>'")
            await click(page, "pair-button")
            await show(page, "home", "the home screen after pairing")
            await page.wait_for("document.querySelectorAll('#folders li').length === 1", what="the pinned folder")
            devices = await host.devices()
            check([d["name"] for d in devices] == ["Test tablet <b>"], "the browser is paired and listed by --devices")
            # Kept in the origin's storage, which the other tab below shares: what it connects with.
            stored = json.loads(await page.evaluate("localStorage.getItem('ferrowyn.device')"))
            check(await page.evaluate("document.cookie") == "", "nothing is kept in a cookie")
            check(await text_of(page, "home-device") == "Paired as Test tablet <b>", "the name is shown as text")
            visible = await page.evaluate("document.documentElement.outerHTML + document.title")
            check(not any(s in visible for s in host.secrets() + [stored["deviceSecret"]]),
                  "no secret is in the page or its title")

            # The code was used: the computer shows a new one, and another tablet that scans the old one is told.
            fresh = await host.browser_link()
            second = await browser.new_page(own_storage=True)
            await pair(second, link, "the used code", "message")
            title, text = await text_of(second, "message-title"), await text_of(second, "message-text")
            check(title == "This code was already used" and text.startswith("Scan the new code on the computer."),
                  f"a second use of the code: {title} {text}")
            await pair(second, fresh, "the second tablet, new code")
            # The code shown after that pairing, made before the revocation below: the one after it must be newer.
            await host.browser_link()
            # A browser that is paired already, opened with a code, stays the device it is.
            await page.navigate(fresh)
            await show(page, "home", "the home screen, paired already")
            check(json.loads(await page.evaluate("localStorage.getItem('ferrowyn.device')")) == stored,
                  "a paired browser opened with a code keeps its pairing")
            # One revoked while it was away pairs anew from a current code, rather than being told to scan one.
            removed = json.loads(await second.evaluate("localStorage.getItem('ferrowyn.device')"))["deviceId"]
            await second.navigate("about:blank")
            await host.request("--revoke", removed, "--yes")
            await pair(second, await host.browser_link(), "pairing anew after a revocation")
            await second.close()

            # A session in the pinned folder, typed into and read back from the page.
            await start_session(page, "the program's first line")
            await type_line(page, "hello from the tablet")
            await wait_terminal(page, "You said: hello from the tablet", "the program's answer")
            for width, height in (*TABLET_SIZES.values(), (390, 844)):
                await page.resize(width, height)
                await page.wait_for(TERMINAL_FITS, what=f"the terminal within the screen at {width}x{height}")
            check(await page.evaluate("getComputedStyle(document.querySelector('#terminal-host .xterm-viewport'))"
                                      ".backgroundColor === getComputedStyle(document.getElementById('terminal'))"
                                      ".backgroundColor"), "below the last row, the terminal's own background")
            await screenshots(page, args.screenshots, "terminal")

            # Back to the list, where the session runs on, and into it again.
            await back_home(page)
            await second_tab(browser, page, page_url, args.screenshots)

            # A reload comes back to the session with its output, and with the text size chosen in this browser.
            await page.evaluate("['terminal-larger', 'terminal-larger', 'terminal-smaller', 'terminal-larger']"
                                ".forEach(id => document.getElementById(id).click())")
            await page.reload()
            await show(page, "terminal", "the terminal after a reload")
            text = await wait_terminal(page, "You said: hello from the tablet", "the output after a reload")
            check(text.count("You said: hello from the tablet") == 1, "a reload shows the session with its output")
            wire = proxy.recorded + [unmasked(stream) for stream in proxy.recorded if stream.startswith(b"GET /ws")]
            proxy.recorded = None
            readable = {"the typed words": "hello from the tablet", "the device secret": stored["deviceSecret"],
                        **{f"secret {n} of the pairing": s for n, s in enumerate(host.secrets())},
                        **{f"ticket {n}": t for n, t in enumerate(host.tickets())}}
            leaked = [name for name, text in readable.items()
                      if any(form in stream for stream in wire for form in readable_forms(text))]
            check(any(b"Upgrade: websocket" in stream for stream in wire) and not leaked,
                  f"pairing, a session and a reload, captured on the wire, show nothing readable: {leaked}")
            size = await page.evaluate("getComputedStyle(document.querySelector('#terminal-host .xterm-rows')).fontSize")
            check(size == "17px", f"the text size chosen with A-/A+ is kept: {size}")
            await page.evaluate("['terminal-smaller', 'terminal-smaller'].forEach(id => document.getElementById(id).click())")

            # The connection cut while output goes on: the page resumes where it stopped.
            await type_line(page, "ticks 60")
            await wait_terminal(page, "tick 5", "the first ticks")
            proxy.cut()
            text = await wait_terminal(page, "tick 60", "the last tick after the connection came back")
            ticks = re.findall(r"^tick (\d+)$", text, re.M)
            check(ticks == [str(n) for n in range(1, 61)], "output resumed without a duplicated or lost line")

            # The agent restarted while the program writes, and the page turned to landscape meanwhile (a restart
            # without a turn takes the same way back): the page shows its banner (which takes rows) until it is back,
            # then exactly the bytes the program wrote (counted as the terminal is given them), nothing drawn again,
            # and the lines each once before its prompt. What follows types into it.
            await page.evaluate("""import('./vendor/xterm.mjs').then(({ Terminal }) => {
                const write = Terminal.prototype.write;
                Terminal.prototype.write = function (data, done) {
                  window.written += data.length;
                  return write.call(this, data, done);
                };
            })""")

            async def shows_last(lines, what):
                await page.wait_for(f"{TERMINAL_TEXT}.trimEnd().endsWith({json.dumps(chr(10).join(lines))})", what=what)

            await shows_last(["tick 60", ">"], "the prompt")
            await page.evaluate("window.written = 0")
            await type_line(page, "ticks 31")
            await host.request("--restart")
            await page.wait_for("!document.getElementById('banner').hidden", what="the banner after a restart")
            await page.resize(*TABLET_SIZES["landscape"])
            await page.wait_for("document.getElementById('banner').hidden", what="the page back", timeout=20)
            lines = ["> ticks 31"] + [f"tick {n}" for n in range(1, 32)] + [">"]
            await shows_last(lines, "the screen after a restart and a turn")
            written = len("ticks 31\r\n> ") + sum(len(f"tick {n}\r\n") for n in range(1, 32))
            check(await page.evaluate("window.written") == written, f"{written} bytes written after a restart")
            await page.resize()

            await touch_and_keys(page, args.screenshots)

            # The key bar's sticky Ctrl applies to the next key typed: Ctrl-C ends the program.
            await page.evaluate("document.querySelector('#key-bar [aria-pressed]').click()")
            await page.call("Input.insertText", text="c")
            await status(page, "The program ended (exit status 130).", "Ctrl from the key bar and c to end the program")
            check(await page.evaluate("document.getElementById('terminal-end').hidden && "
                                      "document.getElementById('key-bar').hidden"),
                  "an ended session offers neither End nor keys")

            # A session that ends while the page is away, which it says: the page is told how when it is back.
            await back_home(page)
            await start_session(page, "a second session")
            proxy.refusing = True
            proxy.cut()
            await page.wait_for("!document.getElementById('banner').hidden && document.getElementById('banner-text')"
                                ".textContent.includes('does not answer')", what="the banner over the terminal")
            await page.wait_for(TERMINAL_FITS, what="the key bar on screen below the banner")
            (session,) = await host.sessions(1)
            await host.request("--end-session", session["id"], "--yes")
            proxy.refusing = False
            await status(page, "The session was ended on the computer.", "the end told after the cut")
            await back_home(page)

            # Ended from this page, after its question: the page says who ended it.
            await start_session(page, "a third session")
            await page.evaluate("window.confirm = () => true")
            await click(page, "terminal-end")
            await status(page, "You ended this session.", "the end by this page told")
            await back_home(page)

            # The computer stops hosting, then hosts again: the page says so, and comes back by itself.
            await host.request("--stop")
            await page.wait_for("!document.getElementById('banner').hidden && "
                                "document.getElementById('banner-text').textContent.includes('stopped hosting')",
                                what="the page to say the computer stopped hosting")
            await screenshots(page, args.screenshots, "stopped")
            await host.request("--start")
            await page.wait_for("document.getElementById('banner').hidden", what="the banner to go", timeout=20)

            # No program the computer allows is installed: Start stays grey, and the page says why.
            codex = os.path.join(bin_dir, "codex")
            os.rename(codex, codex + ".away")
            await page.reload()
            await show(page, "home", "the home screen without codex")
            note = await page.wait_for("document.getElementById('sessions-unavailable').textContent",
                                       what="why Start is grey")
            check(note.startswith("No program the computer allows is installed there (codex)")
                  and await page.evaluate("document.getElementById('new-start').disabled"), note)
            os.rename(codex + ".away", codex)

            # The page's own rules, in the page.
            await page.call("Emulation.setEmulatedMedia", features=[{"name": "prefers-color-scheme", "value": "light"}])
            rules = await page.evaluate("""(async () => {
                const { withControl } = await import('./key-bar.js');
                const { ansiNames, contrastRatio, terminalTheme } = await import('./terminal-theme.js');
                const theme = terminalTheme();
                const { defaultDeviceName } = await import('./device-store.js');
                const safari = 'Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 Safari/605.1.15';
                const android = 'Mozilla/5.0 (Linux; Android 14; SM-X710) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36';
                const chromeOnIpad = 'Mozilla/5.0 (iPad; CPU OS 17_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) CriOS/120.0 Mobile/15E148 Safari/604.1';
                return {
                  contrast: Math.min(...ansiNames.map((name) => contrastRatio(theme[name], theme.background))),
                  control: ['c', 'C', '[', '?', ' ', '1', 'ab'].map(withControl),
                  names: [[safari, 5], [safari, 0], [android, 5], [chromeOnIpad, 5]].map(([agent, touch]) => defaultDeviceName(agent, touch)),
                };
            })()""")
            check(rules["contrast"] >= 4.5, f"the light theme's 16 colours are readable: {rules['contrast']:.2f}:1 or more")
            check(rules["control"] == ["\x03", "\x03", "\x1b", "\x7f", "\x00", "1", "ab"], "what Ctrl makes of a key")
            check(rules["names"] == ["Safari on iPad", "Safari on Mac", "Chrome on Android", "Chrome on iPad"],
                  f"a device's default name: {rules['names']}")

            # A page of another origin in the same browser (a blank tab's is opaque) cannot reach the agent.
            other = await browser.new_page()
            attempt = await other.evaluate(
                f"new Promise(done => {{ const ws = new WebSocket('ws://127.0.0.1:{host.port}/ws');"
                " ws.onopen = () => done({opened: true, code: 0});"
                " ws.onclose = (e) => done({opened: false, code: e.code}); })")
            check(not attempt["opened"], f"a page on another origin cannot open /ws (closed with {attempt['code']})")
            await other.close()

            # Revoked from the host: the page says so, also after a reload.
            await host.request("--revoke", devices[0]["deviceId"], "--yes")
            title = await message(page, "the revoked message")
            check(title == "This tablet was removed from the computer" and "pair anew" in await text_of(page, "message-help"),
                  f"the page says the device was revoked, and what to do: {title}")
            await screenshots(page, args.screenshots, "revoked")
            await page.reload()
            check(await message(page, "the revoked message again") == title, "a reload still says so")

            # An expired code is refused by the page itself; the current one pairs again.
            link = await host.browser_link()
            expired = re.sub(r"ticket=\d+", "ticket=1577836800", link)
            await page.navigate(expired)
            check(await message(page, "the expired message") == "This code has expired", "an expired code")
            await pair(page, link, "pairing again")

            # A rotation makes a new agent key: the page, held to the old one, says so (not a removal of this
            # tablet), and the new code pairs.
            not_ours = "This is not the computer you paired with"
            await host.request("--rotate", "--yes")
            title = await message(page, "the message after a rotation", 20)
            check(title == not_ours and "Scan the new code" in await text_of(page, "message-text"),
                  f"a rotated pairing: {title}")
            await screenshots(page, args.screenshots, "rotated")
            await pair(page, await host.browser_link(), "the new code after a rotation")

            # Another computer at this address, with a key of its own: the page sends it nothing and says why.
            await host.request("--stop")
            await page.wait_for("!document.getElementById('banner').hidden", what="the banner after the stop")
            impostor = await other_agent(host, os.path.join(os.path.dirname(args.host), "ferrowyn-agent"))
            try:
                await click(page, "banner-retry")
                check(await message(page, "the message for another computer") == not_ours, "another computer refused")
            finally:
                impostor.terminate()
                await impostor.wait()

            check(browser.errors() == [], f"no error in any tab's console: {browser.errors()}")
        output = "".join(host.output)
        check(not any(s in output for s in host.secrets() + host.tickets()), "no secret is in the host's output")
    finally:
        await proxy.stop()
        await host.stop()
        host.end_sessions()


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
