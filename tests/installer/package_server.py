#!/usr/bin/python3
"""The maker's download server as the installer's tests need it, on loopback.

    package_server.py CONTROL_FOLDER [--max-requests N] [--max-seconds S]

The installer reaches it as its proxy: every request line names the whole
address. The tests steer it through files in CONTROL_FOLDER:

- port          written once the server listens (the test waits for it);
- scenario.json the answers, read before each request: {"answers": [...]};
                the n-th request after the file last changed gets the n-th
                answer, the last one repeats. An answer is an object:
                  status      HTTP status (200)
                  body        a file in CONTROL_FOLDER to serve ("" = empty)
                  length      "auto" (the body's size), "none" (no header),
                              or the header's text
                  chunk       bytes per send (all at once when 0)
                  delay_ms    pause after each send
                  pause_after send this many body bytes, then pause once
                              for pause_ms before the rest
                  reset_after send this many body bytes, then reset the
                              connection
                  drop        close the connection without an answer
                  stall       "headers": answer nothing at all; "body": send
                              the headers and stall_after body bytes; then
                              hold the connection, silent, until the server
                              stops
                  stall_after body bytes sent before a body stall
                  last        the server ends after this answer (later
                              connections are refused)
- requests.log  one request line per request, appended;
- stop          when it appears (or the folder goes) the server ends.

It ends by itself after N requests or S seconds, whichever comes first.
"""
import argparse
import json
import os
import socket
import struct
import time
from http.server import BaseHTTPRequestHandler, HTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    timeout = 10  # a silent client never holds the server for long

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        server.requests += 1
        with open(os.path.join(server.control, "requests.log"), "a") as log:
            log.write(self.requestline + "\n")
        answer = server.next_answer()
        server.ending = bool(answer.get("last"))
        if answer.get("stall") == "headers":
            server.hold()
            self.close_connection = True
            return
        if answer.get("drop"):
            self.close_connection = True
            return
        body = b""
        if answer.get("body"):
            with open(os.path.join(server.control, answer["body"]), "rb") as f:
                body = f.read()
        self.send_response(int(answer.get("status", 200)))
        self.send_header("Content-Type", "application/octet-stream")
        length = answer.get("length", "auto")
        if length == "auto":
            self.send_header("Content-Length", str(len(body)))
        elif length != "none":
            self.send_header("Content-Length", length)
        self.end_headers()
        self.send_body(body, answer)

    def send_body(self, body, answer):
        chunk = int(answer.get("chunk", 0)) or max(len(body), 1)
        delay = int(answer.get("delay_ms", 0)) / 1000.0
        reset_after = answer.get("reset_after")
        if reset_after is not None:
            body = body[: int(reset_after)]
        stall = answer.get("stall") == "body"
        if stall:
            body = body[: int(answer.get("stall_after", 0))]
        parts = [body]
        if answer.get("pause_after") is not None:
            cut = int(answer["pause_after"])
            parts = [body[:cut], body[cut:]]
        try:
            for index, part in enumerate(parts):
                if index:
                    time.sleep(int(answer.get("pause_ms", 0)) / 1000.0)
                for start in range(0, len(part), chunk):
                    self.wfile.write(part[start : start + chunk])
                    self.wfile.flush()
                    if delay:
                        time.sleep(delay)
        except OSError:
            return  # the client went away
        if stall:
            self.server.hold()
            self.close_connection = True
            return
        if reset_after is not None:
            # SO_LINGER with a zero time-out: the close resets the connection.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True


class PackageServer(HTTPServer):
    def __init__(self, control):
        super().__init__(("127.0.0.1", 0), Handler)
        self.control = control
        self.scenario_text = None
        self.answer_index = 0
        self.requests = 0
        self.ending = False
        self.timeout = 0.2
        self.deadline = time.monotonic() + 3600

    def stopping(self):
        return (time.monotonic() >= self.deadline or os.path.exists(os.path.join(self.control, "stop"))
                or not os.path.isdir(self.control))

    def hold(self):
        """A silent server: waits, sending nothing, until it stops."""
        while not self.stopping():
            time.sleep(0.05)
        self.ending = True

    def next_answer(self):
        try:
            with open(os.path.join(self.control, "scenario.json"), encoding="utf-8") as f:
                text = f.read()
        except OSError:
            text = '{"answers": [{"status": 404}]}'
        if text != self.scenario_text:
            self.scenario_text = text
            self.answer_index = 0
        answers = json.loads(text)["answers"] or [{"status": 404}]
        answer = answers[min(self.answer_index, len(answers) - 1)]
        self.answer_index += 1
        return answer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("control")
    parser.add_argument("--max-requests", type=int, default=100)
    parser.add_argument("--max-seconds", type=float, default=120.0)
    args = parser.parse_args()

    server = PackageServer(args.control)
    port_file = os.path.join(args.control, "port")
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port_file + ".tmp", port_file)

    server.deadline = time.monotonic() + args.max_seconds
    while not server.ending and server.requests < args.max_requests and not server.stopping():
        server.handle_request()
    server.server_close()


if __name__ == "__main__":
    main()
