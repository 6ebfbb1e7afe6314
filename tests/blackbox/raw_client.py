#!/usr/bin/python3
# A client of the custody service's socket that speaks no protocol of its own.
#   raw_client.py hold N SOCKET   opens N connections, says a line once all are made, then holds
#                                 them until standard input ends
#   raw_client.py send SOCKET     sends standard input as it stands; prints the service's first
#                                 message; exits 0 once the service has closed saying no more
import socket, sys


def connect(path):
    s = socket.socket(socket.AF_UNIX)
    s.connect(path)
    return s


if sys.argv[1] == "hold":
    held = [connect(sys.argv[3]) for _ in range(int(sys.argv[2]))]
    print(flush=True)
    sys.stdin.read()
    sys.exit(0)
s = connect(sys.argv[2])
try:
    s.sendall(sys.stdin.buffer.read())
except OSError:  # the service may refuse before it has read everything
    pass
got = b""
while b"\0" not in got and (part := s.recv(65536)):
    got += part
first, _, rest = got.partition(b"\0")
while part := s.recv(65536):
    rest += part
print(first.decode(), flush=True)
sys.exit(1 if rest else 0)
