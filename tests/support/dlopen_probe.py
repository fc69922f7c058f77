#!/usr/bin/env python3
"""dlopen_probe.py LIBSORVAN PORT PASSWORD SOURCE DESTINATION

The same calls as dlopen_probe.c, through Python's ctypes: a sealed message
round trip, an enciphered stream and a file sent to the agent on PORT, with
libsorvan loaded after libc. Exit 0 when everything arrived intact."""
import ctypes
import os
import signal
import socket
import sys
import threading
import time


class FileRecord(ctypes.Structure):
    _fields_ = [("path", ctypes.c_char * 1024), ("path2", ctypes.c_char * 1024),
                ("attributes", ctypes.c_uint32), ("reserved1", ctypes.c_uint32),
                ("size", ctypes.c_uint64), ("reserved2", ctypes.c_ubyte * 32)]


def fail(text):
    sys.exit("dlopen_probe.py: " + text)


def main():
    lib_path, port, password, source, dest = sys.argv[1:6]
    signal.alarm(60)
    lib = ctypes.CDLL(lib_path)
    crypto = ctypes.CDLL("libcrypto.so.3")
    lib.des_init.restype = ctypes.c_void_p
    lib.des_init.argtypes = [ctypes.c_void_p]
    lib.xread.restype = ctypes.c_void_p
    lib.deflate_buf.restype = ctypes.c_int64
    lib.deflate_buf.argtypes = [ctypes.c_char_p, ctypes.c_uint64, ctypes.c_int, ctypes.c_int32]
    lib.inflate_buf.restype = ctypes.c_int64
    lib.inflate_buf.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint64),
                                ctypes.c_int32]
    libc = ctypes.CDLL(None)
    libc.free.argtypes = [ctypes.c_void_p]

    if not lib.des_init(crypto._handle):
        fail("no cipher context")
    if lib.des_setkey_ecb(bytes.fromhex("5AC3197E02B4D861"), 8) != 0:
        fail("key refused")

    a, b = socket.socketpair()
    msg = b"a sealed message that travels compressed and enciphered\0"
    if lib.xwrite(a.fileno(), msg, len(msg)) <= 0:
        fail("xwrite failed")
    got = lib.xread(b.fileno())
    if not got or ctypes.string_at(got, len(msg)) != msg:
        fail("xread gave another message")
    libc.free(got)
    a.close()
    b.close()

    data = bytes(((i * 7) ^ (i >> 9)) & 0xFF for i in range(200000))
    a, b = socket.socketpair()
    result = []

    def deflate():
        result.append(lib.deflate_buf(data, len(data), a.fileno(), 1))
        a.shutdown(socket.SHUT_WR)

    t = threading.Thread(target=deflate)
    t.start()
    written = ctypes.c_uint64(0)
    stream_path = (dest + ".py-stream").encode()
    consumed = lib.inflate_buf(b.fileno(), stream_path, ctypes.byref(written), 1)
    t.join()
    if result[0] <= 0 or consumed <= 0 or written.value != len(data):
        fail("stream: deflate %d inflate %d written %d" % (result[0], consumed, written.value))
    with open(stream_path, "rb") as f:
        if f.read() != data:
            fail("stream arrived changed")
    a.close()
    b.close()

    rec = FileRecord()
    rec.path = source.encode()
    rec.path2 = (dest + ".py").encode()
    if lib.req_send_file(socket.htonl(0x7F000001), int(port), 2000000, password.encode(),
                         ctypes.byref(rec)) != 0:
        fail("req_send_file failed")
    want = open(source, "rb").read()
    for _ in range(100):
        if os.path.exists(dest + ".py"):
            break
        time.sleep(0.05)
    with open(dest + ".py", "rb") as f:
        if f.read() != want:
            fail("the file did not arrive intact")
    print("dlopen_probe.py: ok")


if __name__ == "__main__":
    main()
