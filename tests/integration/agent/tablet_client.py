"""A tablet stand-in: pairs with the agent, reconnects as a trusted device, and lists the pinned folder.

Usage: tablet_client.py WS_URL HOST_TOKEN HOST_ID PAIRING_NONCE WORKSPACE
       tablet_client.py SETUP_LINK WORKSPACE
The second form knows nothing but the setup link, as a tablet that scanned its QR code.
Prints one line per step; exits non-zero at the first unexpected answer.
"""
import asyncio
import json
import sys
import urllib.parse

import websockets


async def call(ws, request_id, method, params=None):
    await ws.send(json.dumps({"id": request_id, "method": method, "params": params or {}}))
    reply = json.loads(await asyncio.wait_for(ws.recv(), 5))
    if reply.get("id") != request_id or "result" not in reply:
        raise SystemExit(f"unexpected reply to {method}: {reply}")
    return reply["result"]


async def main(url, token, host_id, nonce, workspace):
    device = {"token": token, "hostId": host_id, "deviceId": "py-tablet", "deviceName": "Python tablet"}
    async with websockets.connect(url, max_size=2**20) as ws:
        result = await call(ws, 1, "auth", dict(device, pairingNonce=nonce))
        print(f"paired={result['paired']}")
    async with websockets.connect(url, max_size=2**20) as ws:
        result = await call(ws, 1, "auth", device)
        print(f"trusted={not result['paired']}")
        folders = await call(ws, 2, "workspaces.list")
        if [w["path"] for w in folders["workspaces"]] != [workspace]:
            raise SystemExit(f"unexpected workspaces: {folders}")
        listing = await call(ws, 3, "fs.list", {"path": workspace})
        print("entries=" + ",".join(e["name"] for e in listing["entries"]))


def from_setup_link(link):
    parsed = urllib.parse.urlsplit(link)
    if parsed.scheme != "ferrowyn" or parsed.netloc != "connect":
        raise SystemExit(f"not a setup link: {link}")
    query = dict(urllib.parse.parse_qsl(parsed.query, strict_parsing=True))
    return [query["endpoint"], query["token"], query["hostId"], query["pairingNonce"]]


if __name__ == "__main__":
    if len(sys.argv) == 3:
        asyncio.run(main(*from_setup_link(sys.argv[1]), sys.argv[2]))
    else:
        asyncio.run(main(*sys.argv[1:6]))
