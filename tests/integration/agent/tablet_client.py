# A tablet stand-in: "SETUP_LINK WORKSPACE [HOST_PATH]", knowing only what a scanned QR code says. It pairs,
# keeps the device secret it is issued, reconnects with it as a trusted device, lists the folder, one line per
# step, and exits non-zero at the first unexpected answer.
# With HOST_PATH, for the host's session test, it then opens two sessions of the stand-in coding agent in
# WORKSPACE/project, says "opened ID ID", and does what each line on its standard input asks, answering with a line:
#   reattach       connects again (the agent started again meanwhile), attaches to both sessions, finds each
#                  waiting for its answer, and says "attached PROGRAMS" with the programs tablets may start now
#   attach-here ID runs HOST_PATH --attach ID in a terminal of its own, finds the session there, detaches
#                  (Ctrl-]) and says "detached STATUS" with the exit status
#   ended ID       waits until the agent says the session ended and says "ended ID REASON"
# Any failure is printed as "FAIL why" and ends the script with status 1.
import asyncio
import os
import pty
import select
import sys
import time

from session_tablet import TIMEOUT, LinkedAgent, Tablet, check, until


def attach_here(host, session):
    """The session in a terminal on this computer: it shows what the program asked, and detaching leaves it."""
    pid, terminal = pty.fork()
    if pid == 0:
        os.environ["TERM"] = "xterm-256color"
        os.execv(host, [host, "--attach", session])
    screen = b""

    def shows(text):
        nonlocal screen
        deadline = time.monotonic() + TIMEOUT
        while text not in screen:
            check(time.monotonic() < deadline, f"the terminal showed {screen[-300:]!r}")
            if select.select([terminal], [], [], 0.1)[0]:
                try:
                    screen += os.read(terminal, 65536)
                except OSError:  # the terminal closed
                    check(text in screen, f"the terminal closed after {screen[-300:]!r}")

    shows(b"[y/n]")
    os.write(terminal, b"\x1d")  # Ctrl-]
    shows(b"Detached")
    _, status = os.waitpid(pid, 0)
    os.close(terminal)
    return os.waitstatus_to_exitcode(status)


async def sessions(agent, tablet, host):
    opened = [await tablet.open("codex"), await tablet.open("codex")]
    for session in opened:
        await tablet.wait_text(session, "Apply this change? [y/n] ")
    print("opened " + " ".join(opened), flush=True)
    loop = asyncio.get_running_loop()
    while line := (await loop.run_in_executor(None, sys.stdin.readline)).split():
        if line[0] == "reattach":
            tablet = await Tablet(agent, "py-tablet").connect()
            for session in opened:
                await tablet.attach(session, 0)
                await tablet.wait_text(session, "[y/n]")
            programs = (await tablet.call("sessions.programs"))["programs"]
            print("attached " + ",".join(p["name"] for p in programs), flush=True)
        elif line[0] == "attach-here":
            status = await loop.run_in_executor(None, attach_here, host, line[1])
            print(f"detached {status}", flush=True)
        elif line[0] == "ended":
            await until(lambda: line[1] in tablet.ended, f"the end of {line[1]}")
            print(f"ended {line[1]} {tablet.ended[line[1]]['reason']}", flush=True)


async def main(link, workspace, host=None):
    agent = LinkedAgent(link, workspace)
    first = await Tablet(agent, "py-tablet").connect()
    print(f"paired={first.auth['paired']}", flush=True)
    await first.close()
    # As a tablet keeps it in its keystore: the only proof that this device id is this tablet.
    tablet = await Tablet(agent, "py-tablet").connect()
    print(f"trusted={not tablet.auth['paired'] and 'deviceSecret' not in tablet.auth}", flush=True)
    folders = await tablet.call("workspaces.list")
    check([w["path"] for w in folders["workspaces"]] == [workspace], f"unexpected workspaces: {folders}")
    listing = await tablet.call("fs.list", {"path": workspace})
    print("entries=" + ",".join(e["name"] for e in listing["entries"]), flush=True)
    if host:
        await sessions(agent, tablet, host)
    await tablet.close()


if __name__ == "__main__":
    try:
        asyncio.run(main(*sys.argv[1:4]))
    except Exception as error:
        print(f"FAIL {type(error).__name__}: {error}", flush=True)
        sys.exit(1)
