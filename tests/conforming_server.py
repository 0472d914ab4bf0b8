#!/usr/bin/env python3
"""A small workflow server written from docs/protocol.md alone, to show that
rpqcheck passes a conforming server that is not rpqserver (and that the
document says enough to write one).

Usage: conforming_server.py PORT_FILE
Listens on 127.0.0.1 at a free port (written to PORT_FILE) until a GET of
/stop, or five minutes at most; removes PORT_FILE when it ends."""
import hashlib
import http.server
import os
import re
import socket
import struct
import sys
import threading

XFER, CHUNK, RESET, PING = 1, 2, 3, 4
OK, ERROR, WAIT = 0, 1, 2
jobs = {}  # UID -> {"chunks": announced count, "received": {number: bytes}}
stopped = threading.Event()
lock = threading.Lock()


def parts_of(body, boundary):
    """The form-data parts: name -> bytes."""
    parts = {}
    for piece in body.split(b'--' + boundary)[1:]:
        if piece.startswith(b'--'):
            break
        head, _, data = piece.partition(b'\r\n\r\n')
        name = re.search(rb'name="([^"]*)"', head)
        if name:
            parts[name.group(1).decode()] = data[:-2] if data.endswith(b'\r\n') else data
    return parts


def answer(kind, sequence, uid, status=OK, chunk=None):
    head = struct.pack('<BIB', kind, sequence, len(uid)) + uid
    if kind == RESET:
        return head
    if kind == CHUNK:
        head += struct.pack('<II', *(chunk or (0, 0)))
    return head + bytes([status])


def handle(message, chunk_data):
    kind, sequence, length = struct.unpack_from('<BIB', message, 0)
    uid = message[6:6 + length]
    rest = message[6 + length:]
    with lock:
        if kind == XFER:
            size, count = struct.unpack_from('<QI', rest, 0)
            jobs[uid] = {'chunks': count, 'received': {}}
            return answer(kind, sequence, uid, OK)
        if kind == CHUNK:
            current, following, size = struct.unpack_from('<IIQ', rest, 0)
            digest = rest[16:32]
            job = jobs.get(uid)
            good = job is not None and chunk_data is not None and len(chunk_data) == size and \
                hashlib.md5(chunk_data).digest() == digest
            if good:
                job['received'][current] = chunk_data
            return answer(kind, sequence, uid, OK if good else ERROR | (1 << 4), (current, following))
        if kind == PING:
            job = jobs.get(uid)
            if job is None:
                return answer(kind, sequence, uid, ERROR | (3 << 4))
            whole = len(job['received']) == job['chunks']
            return answer(kind, sequence, uid, OK if whole else WAIT)
        if kind == RESET:
            jobs.pop(uid, None)
            return answer(kind, sequence, uid)
    return None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def finish(self):
        # A lingering close (RFC 9112, 9.6): closing with bytes of the client's
        # still unread makes the kernel send a reset, which can reach the
        # client before the answer does.
        super().finish()
        try:
            self.connection.settimeout(2)
            self.connection.shutdown(socket.SHUT_WR)
            while self.connection.recv(65536):
                pass
        except OSError:
            pass

    def send(self, code, body, kind='application/octet-stream'):
        self.send_response(code)
        self.send_header('Content-Type', kind)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0')))
        boundary = re.search(r'boundary=([^;\s]+)', self.headers.get('Content-Type', ''))
        parts = parts_of(body, boundary.group(1).encode()) if boundary else {}
        reply = handle(parts['message'], parts.get('chunk')) if 'message' in parts else None
        if reply is None:
            self.send(400, b'no message', 'text/plain')
        else:
            self.send(200, reply)

    def do_GET(self):
        if self.path == '/stop':
            self.send(200, b'stopping', 'text/plain')
            stopped.set()
        elif self.path.startswith('/FDXS_Interaction?uid='):
            self.send(200, b'<html><body>your job</body></html>', 'text/html')
        else:
            self.send(404, b'not here', 'text/plain')


server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
with open(sys.argv[1] + '.tmp', 'w') as f:
    f.write(str(server.server_address[1]))
os.rename(sys.argv[1] + '.tmp', sys.argv[1])
stopped.wait(300)
server.shutdown()
os.remove(sys.argv[1])
