# Debian's chromium, headless, driven over its DevTools protocol: one browser, pages as attached targets on the
# browser's own socket, and every console message (a CSP violation is an error there) kept for the test to check.
import asyncio
import base64
import itertools
import json
import os
import re
import shutil
import signal
import tempfile

import websockets

CHROMIUM = os.environ.get("FERROWYN_TEST_CHROMIUM", "/usr/bin/chromium")


class Page:
    def __init__(self, browser, target_id, session_id):
        self.browser, self.target_id, self.session_id = browser, target_id, session_id
        self.loaded = asyncio.Event()

    async def call(self, method, **params):
        return await self.browser.call(method, params, self.session_id)

    def _event(self, method, params):
        if method == "Runtime.consoleAPICalled":
            text = " ".join(str(arg.get("value", arg.get("description", ""))) for arg in params["args"])
            self.browser.console.append((params["type"], text, "console"))
        elif method == "Log.entryAdded":
            entry = params["entry"]
            self.browser.console.append((entry["level"], entry["text"], entry["source"]))
        elif method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            self.browser.console.append(("error", details.get("exception", {}).get("description", details["text"]),
                                 "javascript"))
        elif method == "Page.loadEventFired":
            self.loaded.set()

    async def navigate(self, url, timeout=10):
        await self._load("Page.navigate", timeout, url=url)

    async def reload(self, timeout=10):
        await self._load("Page.reload", timeout, ignoreCache=True)

    async def _load(self, method, timeout, **params):
        self.loaded.clear()
        await self.call(method, **params)
        await asyncio.wait_for(self.loaded.wait(), timeout)

    async def evaluate(self, expression, timeout=10):
        reply = await asyncio.wait_for(
            self.call("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True), timeout)
        if "exceptionDetails" in reply:
            details = reply["exceptionDetails"]
            raise AssertionError(f"{expression!r} threw: {details.get('exception', {}).get('description', details)}")
        return reply["result"].get("value")

    async def wait_for(self, expression, timeout=10, what=None):
        """Waits until the expression is truthy in the page, checked every 20 ms; returns its value."""
        script = ("new Promise(resolve => { const check = () => { let value; try { value = (%s); } catch (e) {}"
                  " if (value) resolve(value); else setTimeout(check, 20); }; check(); })") % expression
        try:
            return await self.evaluate(script, timeout)
        except asyncio.TimeoutError:
            raise AssertionError(f"timed out waiting for {what or expression}") from None

    async def close(self):
        await self.browser.call("Target.closeTarget", {"targetId": self.target_id})
        self.browser.pages.pop(self.session_id, None)

    async def resize(self, width=1024, height=1366):
        await self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                        mobile=False)

    async def activate(self):
        """Brings the tab to the front: a tab behind another draws no frame, and the terminal shows no text there."""
        await self.browser.call("Target.activateTarget", {"targetId": self.target_id})

    async def screenshot(self, path, width, height, dark):
        await self.activate()
        await self.resize(width, height)
        await self.call("Emulation.setEmulatedMedia",
                        features=[{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}])
        # Two frames, so the layout and the terminal's fit follow the new size before the picture.
        await self.evaluate("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
        shot = await self.call("Page.captureScreenshot", format="png")
        with open(path, "wb") as out:
            out.write(base64.b64decode(shot["data"]))


class Browser:
    """`async with Browser() as browser:` starts chromium with a fresh profile and ends it by its pid."""

    def __init__(self, extra_args=()):
        self.extra_args, self.ids, self.pending, self.pages = list(extra_args), itertools.count(1), {}, {}
        self.console = []  # (level, text, source) of every console entry, log entry and uncaught exception of any tab

    def errors(self):
        """Errors, less the browser's own word on WebSockets that failed (the tests cut and stop them)."""
        return [text for level, text, source in self.console if level in ("error", "assert")
                and not (source == "network" and text.startswith("WebSocket connection to"))]

    async def __aenter__(self):
        self.profile = tempfile.mkdtemp(prefix="ferrowyn-chromium-")
        self.process = await asyncio.create_subprocess_exec(
            CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--no-default-browser-check", f"--user-data-dir={self.profile}", "--remote-debugging-port=0",
            *self.extra_args, "about:blank",
            stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.DEVNULL, stderr=asyncio.subprocess.PIPE)
        endpoint = await asyncio.wait_for(self._endpoint(), 30)
        self.stderr_drain = asyncio.ensure_future(self._drain())
        self.socket = await websockets.connect(endpoint, max_size=64 * 2**20)
        self.reader = asyncio.ensure_future(self._read())
        return self

    async def __aexit__(self, *exc):
        self.reader.cancel()
        await self.socket.close()
        if self.process.returncode is None:
            self.process.send_signal(signal.SIGKILL)
        await self.process.wait()
        self.stderr_drain.cancel()
        shutil.rmtree(self.profile, ignore_errors=True)

    async def _endpoint(self):
        while line := await self.process.stderr.readline():
            if found := re.search(rb"DevTools listening on (ws://\S+)", line):
                return found.group(1).decode()
        raise RuntimeError("chromium ended before it listened")

    async def _drain(self):
        while await self.process.stderr.read(65536):
            pass

    async def _read(self):
        async for text in self.socket:
            message = json.loads(text)
            if "id" in message:
                future = self.pending.pop(message["id"], None)
                if future and not future.done():
                    if "error" in message:
                        future.set_exception(RuntimeError(f"DevTools: {message['error']}"))
                    else:
                        future.set_result(message.get("result", {}))
            elif message.get("sessionId") in self.pages:
                self.pages[message["sessionId"]]._event(message["method"], message.get("params", {}))

    async def call(self, method, params=None, session_id=None):
        request_id = next(self.ids)
        future = asyncio.get_running_loop().create_future()
        self.pending[request_id] = future
        await self.socket.send(json.dumps({"id": request_id, "method": method, "params": params or {},
                                           **({"sessionId": session_id} if session_id else {})}))
        return await asyncio.wait_for(future, 30)

    async def new_page(self, own_storage=False):
        """A tab; with `own_storage`, in a context of its own (as another device would be: no storage shared)."""
        params = {"url": "about:blank"}
        if own_storage:
            params["browserContextId"] = (await self.call("Target.createBrowserContext"))["browserContextId"]
        target = await self.call("Target.createTarget", params)
        attached = await self.call("Target.attachToTarget", {"targetId": target["targetId"], "flatten": True})
        page = Page(self, target["targetId"], attached["sessionId"])
        self.pages[page.session_id] = page
        for domain in ("Page", "Runtime", "Log"):
            await page.call(f"{domain}.enable")
        await page.resize()
        return page
