#!/usr/bin/env python3
"""A small web server for the health-check tests and the demo.

http_server.py --host ADDR --port N [--cert PEM --key PEM] [--state FILE] [--requests FILE]

Every GET or HEAD answers with the status and body in the state file, read
afresh for each request: its first line is the status, the rest the body
("200\\nok\\n" when there is no file). Two paths answer on their own:
/redirect sends 302 to /elsewhere, /big sends 128 KiB of "x" and then the
body. Each request is appended to the requests file as one line: method,
path, then every header as "Name: value" (and over TLS "TLS-Resumed: yes"
or "no"), separated by tabs. Prints
"ready" once it listens.
"""
import argparse
import http.server
import socket
import ssl
import sys
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        # The handshake in the request's own thread: a client stuck in it
        # holds up no other.
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(30)
            self.request.do_handshake()
        super().setup()

    def answer(self, with_body):
        opts = self.server.opts
        if opts.requests:
            fields = [self.command, self.path] + ["%s: %s" % (k, v) for k, v in self.headers.items()]
            if isinstance(self.request, ssl.SSLSocket):
                fields.append("TLS-Resumed: %s" % ("yes" if self.request.session_reused else "no"))
            with self.server.lock, open(opts.requests, "a") as f:
                f.write("\t".join(fields) + "\n")
        status, body, extra = 200, b"ok\n", []
        if self.path == "/redirect":
            status, body, extra = 302, b"moved\n", [("Location", "/elsewhere")]
        else:
            try:
                with open(opts.state, "rb") as f:
                    text = f.read()
                first, _, body = text.partition(b"\n")
                status = int(first.strip() or b"200")
            except (OSError, ValueError, TypeError):
                pass
            if self.path == "/big":
                body = b"x" * (128 * 1024) + body
        self.send_response(status)
        for k, v in extra:
            self.send_header(k, v)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if with_body:
            try:
                self.wfile.write(body)
            except OSError:
                pass   # the checker stops reading once it has its answer

    def do_GET(self):
        self.answer(True)

    def do_HEAD(self):
        self.answer(False)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--state")
    p.add_argument("--requests")
    opts = p.parse_args()
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    if ":" in opts.host:
        http.server.ThreadingHTTPServer.address_family = socket.AF_INET6
    srv = http.server.ThreadingHTTPServer((opts.host, opts.port), Handler)
    srv.daemon_threads = True
    srv.handle_error = lambda *a: None   # a checker that rejects the certificate is no fault
    srv.opts = opts
    srv.lock = threading.Lock()
    if opts.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(opts.cert, opts.key)
        srv.socket = ctx.wrap_socket(srv.socket, server_side=True, do_handshake_on_connect=False)
    print("ready", flush=True)
    srv.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
