#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers
"""A client of korveld, the reader service, in plain Python (standard library only).

Lists the readers the service serves, subscribes to their swipes and prints
each one (the card masked, as the service sends it) until COUNT swipes came
or Ctrl-C.  The protocol is one JSON object a line each way (korveld(8)):

    python3 korveld_client.py [--socket PATH] [--count N] [NAME...]
"""
import argparse
import json
import os
import socket
import sys


def default_socket():
    for path in (os.environ.get("KORVELD_SOCKET"), "/run/korvel/korveld.sock",
                 os.path.join(os.environ.get("XDG_RUNTIME_DIR", "/nonexistent"), "korveld.sock")):
        if path and os.path.exists(path):
            return path
    return "/run/korvel/korveld.sock"


def main():
    parser = argparse.ArgumentParser(description="Print the swipes korveld serves.")
    parser.add_argument("--socket", default=default_socket())
    parser.add_argument("--count", type=int, default=0, help="stop after N swipes")
    parser.add_argument("readers", nargs="*", help="the readers to watch (all when none)")
    args = parser.parse_args()

    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.connect(args.socket)
        lines = sock.makefile("r", encoding="utf-8")

        def send(request):
            sock.sendall((json.dumps(request) + "\n").encode("utf-8"))

        def result(request_id):
            # Events may come before the result; this example shows them too.
            for line in lines:
                message = json.loads(line)
                if message.get("event") == "result" and message.get("id") == request_id:
                    return message
                show(message)
            sys.exit("korveld closed the connection")

        send({"request": "readers", "id": 1})
        for reader in result(1)["readers"]:
            print(f"{reader['name']}: {reader['state']} on {reader['port']}")

        request = {"request": "subscribe", "id": 2}
        if args.readers:
            request["readers"] = args.readers
        send(request)
        answer = result(2)
        if not answer["ok"]:
            sys.exit(f"subscribe: {answer['error']}: {answer['message']}")

        swipes = 0
        for line in lines:
            if show(json.loads(line)):
                swipes += 1
                if swipes == args.count:
                    break
    return 0


def show(message):
    """Prints one event; True for a swipe."""
    event = message.get("event")
    if event == "swipe":
        card = message["card"] or {}
        print(f"swipe {message['seq']} on {message['reader']}: {message['bytes']} bytes, "
              f"account {card.get('account')}, checks passed {card.get('checks_passed')}", flush=True)
        return True
    if event == "reader":
        print(f"{message['reader']} is {message['state']}", flush=True)
    elif event == "dropped":
        print(f"{message['count']} events lost (this client was too slow)", flush=True)
    return False


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
