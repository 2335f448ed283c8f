# A tablet stand-in. "SETUP_LINK WORKSPACE [ENDPOINT]", knowing only what a scanned QR code says (ENDPOINT
# stands in for the link's own, for a tunnel that leads nowhere in a test): pairs, keeps the device secret it
# is issued, reconnects with it as a trusted device, lists the folder, one line per step, and exits non-zero at
# the first unexpected answer.
import asyncio
import sys

from session_tablet import LinkedAgent, Tablet


async def main(link, workspace, endpoint=None):
    agent = LinkedAgent(link, workspace, endpoint)
    first = await Tablet(agent, "py-tablet").connect()
    print(f"paired={first.auth['paired']}")
    await first.close()
    # As a tablet keeps it in its keystore: the only proof that this device id is this tablet.
    tablet = await Tablet(agent, "py-tablet").connect()
    print(f"trusted={not tablet.auth['paired'] and 'deviceSecret' not in tablet.auth}")
    folders = await tablet.call("workspaces.list")
    if [w["path"] for w in folders["workspaces"]] != [workspace]:
        raise SystemExit(f"unexpected workspaces: {folders}")
    listing = await tablet.call("fs.list", {"path": workspace})
    print("entries=" + ",".join(e["name"] for e in listing["entries"]))
    await tablet.close()


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:4]))
