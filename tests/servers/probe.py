"""Health and ownership probes used by scripts/servers (standard library only).

    probe.py listeners PORT...         one line "PORT PID SID STARTTIME COMM" per process listening on a PORT
    probe.py session SID MINSTART      pids of the live processes in session SID started at MINSTART or later
    probe.py amqp HOST PORT USER PASS  AMQP 0-9-1 handshake up to Connection.Open-Ok, then a clean close
    probe.py http URL                  any HTTP answer below 500

Exit status 0 means the probe succeeded; on failure the reason goes to stderr and the status is 1.
"""

import os
import socket
import struct
import sys
import urllib.error
import urllib.request

TIMEOUT = 3.0


def _listening_inodes(ports):
    inodes = {}
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    local, state, inode = fields[1], fields[3], fields[9]
                    port = int(local.rsplit(":", 1)[1], 16)
                    if state == "0A" and port in ports:
                        inodes[f"socket:[{inode}]"] = port
        except FileNotFoundError:
            pass
    return inodes


def _stat(pid):
    with open(f"/proc/{pid}/stat") as f:
        data = f.read()
    # The command name is in parentheses and may itself hold spaces or parentheses.
    comm = data[data.index("(") + 1:data.rindex(")")]
    rest = data[data.rindex(")") + 2:].split()
    # rest[0] is field 3 (state); session id is field 6, start time field 22.
    return comm, int(rest[3]), int(rest[19]), rest[0]


def session(sid, min_start):
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            _comm, psid, start, state = _stat(pid)
        except (OSError, ValueError, IndexError):
            continue
        if psid == sid and start >= min_start and state != "Z":
            print(pid)
    return 0


def listeners(ports):
    wanted = _listening_inodes(set(ports))
    if not wanted:
        return 0
    seen = set()
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                port = wanted.get(os.readlink(f"/proc/{pid}/fd/{fd}"))
                if port is not None and (port, pid) not in seen:
                    seen.add((port, pid))
                    comm, sid, start, _state = _stat(pid)
                    print(port, pid, sid, start, comm)
            except OSError:
                continue
    return 0


# --- AMQP 0-9-1 -------------------------------------------------------------------------------

FRAME_METHOD = 1
FRAME_END = b"\xce"


class AmqpError(Exception):
    pass


def _shortstr(s):
    b = s.encode()
    return struct.pack("!B", len(b)) + b


def _longstr(b):
    return struct.pack("!I", len(b)) + b


def _send_method(sock, class_id, method_id, args):
    payload = struct.pack("!HH", class_id, method_id) + args
    sock.sendall(struct.pack("!BHI", FRAME_METHOD, 0, len(payload)) + payload + FRAME_END)


def _recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise AmqpError("connection closed by the server")
        buf += chunk
    return buf


def _recv_method(sock):
    while True:
        head = _recv_exact(sock, 7)
        if head[:4] == b"AMQP":
            raise AmqpError(f"server rejected the protocol header: {head + _recv_exact(sock, 1)!r}")
        ftype, _channel, size = struct.unpack("!BHI", head)
        payload = _recv_exact(sock, size)
        if _recv_exact(sock, 1) != FRAME_END:
            raise AmqpError("bad frame end")
        if ftype != FRAME_METHOD:
            continue  # heartbeats and the like
        class_id, method_id = struct.unpack("!HH", payload[:4])
        if (class_id, method_id) == (10, 50):
            code = struct.unpack("!H", payload[4:6])[0]
            text = payload[7:7 + payload[6]].decode(errors="replace")
            raise AmqpError(f"server closed the connection: {code} {text}")
        return class_id, method_id, payload[4:]


def _expect(sock, class_id, method_id, name):
    got = _recv_method(sock)
    if got[:2] != (class_id, method_id):
        raise AmqpError(f"expected {name}, got method {got[0]}.{got[1]}")
    return got[2]


def amqp(host, port, user, password):
    with socket.create_connection((host, port), timeout=TIMEOUT) as sock:
        sock.sendall(b"AMQP\x00\x00\x09\x01")
        _expect(sock, 10, 10, "Connection.Start")
        # Ask for an explicit Close on a refused login instead of a bare disconnect.
        caps = _shortstr("authentication_failure_close") + b"t\x01"
        props = _shortstr("capabilities") + b"F" + _longstr(caps)
        _send_method(sock, 10, 11, _longstr(props) + _shortstr("PLAIN")
                     + _longstr(b"\0" + user.encode() + b"\0" + password.encode())
                     + _shortstr("en_US"))
        tune = _expect(sock, 10, 30, "Connection.Tune")
        channel_max, frame_max, _heartbeat = struct.unpack("!HIH", tune[:8])
        _send_method(sock, 10, 31, struct.pack("!HIH", channel_max, frame_max, 0))
        _send_method(sock, 10, 40, _shortstr("/") + _shortstr("") + b"\x00")
        _expect(sock, 10, 41, "Connection.Open-Ok")
        _send_method(sock, 10, 50, struct.pack("!H", 200) + _shortstr("probe done")
                     + struct.pack("!HH", 0, 0))
        _expect(sock, 10, 51, "Connection.Close-Ok")
    return 0


def http(url):
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as r:
            status = r.status
    except urllib.error.HTTPError as e:
        status = e.code
    if status >= 500:
        raise OSError(f"HTTP {status} from {url}")
    return 0


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    cmd, args = argv[1], argv[2:]
    try:
        if cmd == "listeners" and args:
            return listeners([int(a) for a in args])
        if cmd == "session" and len(args) == 2:
            return session(int(args[0]), int(args[1]))
        if cmd == "amqp" and len(args) == 4:
            return amqp(args[0], int(args[1]), args[2], args[3])
        if cmd == "http" and len(args) == 1:
            return http(args[0])
    except (OSError, AmqpError, struct.error) as e:
        print(f"{cmd}: {e}", file=sys.stderr)
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
