#!/usr/bin/env python3
"""Peer of counter_client: serves one client on 127.0.0.1, the port given (or a free one,
printed first). For each ADD it sends a NOTE event, then the TOTAL answer."""
import socket, struct, sys

server = socket.create_server(("127.0.0.1", int(sys.argv[1]) if len(sys.argv) > 1 else 0))
print(server.getsockname()[1], flush=True)
conn, _ = server.accept()
total, pending = 0, b""
while True:
    data = conn.recv(4096)
    if not data:
        break
    pending += data
    while len(pending) >= 9:  # "CNTR", code 0x01, 4-byte amount
        frame, pending = pending[:9], pending[9:]
        assert frame[:5] == b"CNTR\x01", frame
        amount = struct.unpack(">I", frame[5:])[0]
        total = (total + amount) & 0xFFFFFFFF
        note = b"added %d" % amount
        conn.sendall(b"CNTR\x10" + bytes([len(note)]) + note + b"CNTR\x02" + struct.pack(">I", total))
