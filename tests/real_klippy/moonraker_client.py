"""A client of Moonraker's HTTP and websocket API on loopback, run inside
the test's network namespace with the Python of Moonraker's environment
(its tornado provides the websocket client).

    moonraker_client.py PORT http METHOD PATH
        prints {"status": <HTTP status>, "body": <the JSON answer>}
    moonraker_client.py PORT subscribe OBJECT...
        subscribes to the objects' status and prints, one JSON line each,
        the subscription's answer and every notification (status updates
        among them), until stopped
"""
import asyncio
import json
import sys
import urllib.error
import urllib.request

from tornado.websocket import websocket_connect

HOST = "127.0.0.1"
# Z_OFFSET_AUTO runs within one request to /printer/gcode/script
REQUEST_TIMEOUT = 300


def emit(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


def http(port, method, path):
    request = urllib.request.Request(
        "http://%s:%d%s" % (HOST, port, path), method=method)
    try:
        with urllib.request.urlopen(request, timeout=REQUEST_TIMEOUT) as answer:
            status, body = answer.status, answer.read()
    except urllib.error.HTTPError as error:
        status, body = error.code, error.read()
    emit({"status": status, "body": json.loads(body.decode())})


async def subscribe(port, objects):
    connection = await websocket_connect("ws://%s:%d/websocket" % (HOST, port))
    await connection.write_message(json.dumps({
        "jsonrpc": "2.0", "method": "printer.objects.subscribe",
        "params": {"objects": {name: None for name in objects}}, "id": 1}))
    while True:
        text = await connection.read_message()
        if text is None:
            return
        message = json.loads(text)
        if message.get("id") == 1 or \
                message.get("method", "").startswith("notify_"):
            emit(message)


def main(argv):
    port, mode = int(argv[0]), argv[1]
    if mode == "http":
        http(port, argv[2], argv[3])
    else:
        asyncio.run(subscribe(port, argv[2:]))


if __name__ == "__main__":
    main(sys.argv[1:])
