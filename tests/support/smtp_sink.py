#!/usr/bin/env python3
"""A mail sink for the tests: accepts every message and stores it.

    python3 tests/support/smtp_sink.py --host 127.0.0.1 --port 25 --dir DIR

Each message becomes DIR/<n>.eml (n = 1, 2, ...): a first line
"X-Envelope: MAIL FROM:<...> RCPT TO:<...>[,<...>]", a line
"X-Helo: NAME" with the name the client greeted with, and then the DATA
exactly as received (dot-transparency removed, line ends untouched).
A file appears whole (written aside, then renamed). Prints "ready" once
listening; exits on SIGTERM or SIGINT.
"""
import argparse
import asyncio
import fcntl
import os
import signal
import sys

try:
    from aiosmtpd.smtp import SMTP
except ImportError:
    # A python3 of its own (pyenv, venv) may lack Debian's python3-aiosmtpd.
    system_python = "/usr/bin/python3"
    if os.path.realpath(sys.executable) != os.path.realpath(system_python) \
            and os.path.exists(system_python):
        os.execv(system_python, [system_python] + sys.argv)
    raise


class Sink:
    def __init__(self, directory):
        self.directory = directory

    def _store(self, data):
        # Several sinks may share one directory: pick the number under a lock.
        # The lock is on the directory itself, so it holds nothing but mail.
        lock = os.open(self.directory, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            n = 1
            while os.path.exists(os.path.join(self.directory, "%d.eml" % n)):
                n += 1
            final = os.path.join(self.directory, "%d.eml" % n)
            part = final + ".part"
            with open(part, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            os.rename(part, final)
        finally:
            os.close(lock)

    async def handle_DATA(self, server, session, envelope):
        rcpts = ",".join("<%s>" % r for r in envelope.rcpt_tos)
        head = "X-Envelope: MAIL FROM:<%s> RCPT TO:%s\r\nX-Helo: %s\r\n" % (
            envelope.mail_from, rcpts, session.host_name)
        self._store(head.encode("utf-8", "surrogateescape") + envelope.original_content)
        return "250 OK"


async def serve(args):
    os.makedirs(args.dir, exist_ok=True)
    handler = Sink(args.dir)
    loop = asyncio.get_running_loop()
    # A fixed host name: the default would ask DNS for our own name.
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="sink.test", decode_data=False),
        host=args.host, port=args.port, reuse_address=True)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:
        sys.stdout.write("ready\n")
        sys.stdout.flush()
    except BrokenPipeError:
        pass
    # Whoever waited for "ready" may close its end now; that is no reason to stop.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    await stop.wait()
    server.close()
    await server.wait_closed()


def main():
    p = argparse.ArgumentParser(description="SMTP sink for tests")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=25)
    p.add_argument("--dir", required=True)
    args = p.parse_args()
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
