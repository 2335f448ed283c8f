#!/bin/sh
# Stands in for the ngrok command-line agent. Records how it was called, then behaves as FAKE_NGROK_MODE says.
{
    echo "args=$*"
    echo "authtoken=${NGROK_AUTHTOKEN-<unset>}"
    echo "velmora=$(env | grep -c '^VELMORA_')"
} > "$FAKE_NGROK_RECORD.tmp" && mv "$FAKE_NGROK_RECORD.tmp" "$FAKE_NGROK_RECORD"

echo '{"lvl":"info","msg":"open config file","path":"/nowhere/ngrok.yml","err":null}'
case "$FAKE_NGROK_MODE" in
online)
    # Waits for the test's go-ahead, so that the test sees "starting" first.
    while [ ! -e "$FAKE_NGROK_GO" ]; do sleep 0.05; done
    echo '{"lvl":"info","msg":"client session established","obj":"tunnels.session"}'
    echo '{"lvl":"info","msg":"started tunnel","obj":"tunnels","name":"command_line","addr":"http://127.0.0.1:1","url":"https://fake-tunnel.ngrok-free.app"}'
    exec sleep 30
    ;;
error)
    echo '{"lvl":"eror","msg":"session closing","obj":"tunnels.session","err":"authentication failed: bad authtoken '"$NGROK_AUTHTOKEN"'"}'
    exec sleep 30
    ;;
exit)
    exit 3
    ;;
esac
