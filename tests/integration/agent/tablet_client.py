# A tablet stand-in: "SETUP_LINK WORKSPACE [sessions]", knowing only what a scanned QR code says. It pairs,
# keeps the device secret it is issued, reconnects with it as a trusted device, lists the folder, one line per
# step, and exits non-zero at the first unexpected answer. With the agent's key in the link it encrypts, as tablets
# do, and stops if the agent does not prove it holds that key.
# With "sessions", for the host's session test, it then opens two sessions of the stand-in coding agent in
# WORKSPACE/project, says "opened ID ID", and does what each line on its standard input asks, answering with a line:
#   reattach       connects again (the agent started again meanwhile), attaches to both sessions, finds each
#                  waiting for its answer, and says "attached PROGRAMS" with the programs tablets may start now
#   ended ID       waits until the agent says the session ended and says "ended ID REASON"
# Any failure is printed as "FAIL why" and ends the script with status 1.
import asyncio
import sys

from session_tablet import LinkedAgent, Tablet, check, until


async def sessions(agent, tablet):
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
        elif line[0] == "ended":
            await until(lambda: line[1] in tablet.ended, f"the end of {line[1]}")
            print(f"ended {line[1]} {tablet.ended[line[1]]['reason']}", flush=True)


async def main(link, workspace, mode=None):
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
    if mode == "sessions":
        await sessions(agent, tablet)
    await tablet.close()


if __name__ == "__main__":
    try:
        asyncio.run(main(*sys.argv[1:4]))
    except Exception as error:
        print(f"FAIL {type(error).__name__}: {error}", flush=True)
        sys.exit(1)
