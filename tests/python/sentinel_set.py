"""A Sentinel-managed master and replica with three sentinels, of one test's own on free ports
(so failing it over disturbs no other user of the shared set), and the failover helpers the
Sentinel tests share."""

from __future__ import annotations

import socket
import subprocess
import time
from pathlib import Path

from mosswork_utils import connections as conn
from mosswork_utils import exceptions as exc

TEMPLATES = Path(__file__).resolve().parents[1] / "servers"
SERVICE = "mymaster"


def wait_for_master_change(sentinel, old, limit=40.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            now = sentinel.discover_master(SERVICE)
            if now != old:
                return now
        except exc.RedisError:
            pass
        time.sleep(0.2)
    raise AssertionError("no failover within the time limit")


def force_failover(sentinel_port=26379, limit=40.0):
    # Right after a failover the demoted master is not yet a replica the sentinels would
    # promote (NOGOODSLAVE): ask again until they accept.
    deadline = time.monotonic() + limit
    sentinel = conn.Redis(host="127.0.0.1", port=sentinel_port, socket_timeout=5)
    while True:
        try:
            sentinel.execute_command("SENTINEL", "FAILOVER", SERVICE)
            return
        except exc.ResponseError as e:
            if "NOGOODSLAVE" not in str(e) and "INPROG" not in str(e):
                raise
            assert time.monotonic() < deadline, "the sentinels never accepted a failover"
            time.sleep(0.5)


def replication(port: int) -> dict:
    """INFO replication of the server on port, as redis-py parses it (numbers as int, each
    replica's line as a map)."""
    return conn.Redis(host="127.0.0.1", port=port, socket_timeout=2).info("replication")


def free_ports(count: int) -> list[int]:
    holders = [socket.socket() for _ in range(count)]
    for s in holders:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in holders]
    for s in holders:
        s.close()
    return ports


class SentinelSet:
    def __init__(self, directory: Path) -> None:
        self.dir = directory
        self.master_port, self.replica_port, *self.sentinel_ports = free_ports(5)
        self.sentinels = [("127.0.0.1", p) for p in self.sentinel_ports]
        self.servers = (self.master_port, self.replica_port)
        self._processes: list[subprocess.Popen] = []

    def _launch(self, program: str, template: str, port: int, *extra: str) -> None:
        text = (TEMPLATES / template).read_text()
        for key, value in (("PORT", port), ("DIR", self.dir), ("MASTER_PORT", self.master_port)):
            text = text.replace(f"@{key}@", str(value))
        conf = self.dir / f"{program}-{port}.conf"
        conf.write_text(text + "".join(line + "\n" for line in extra))
        with open(self.dir / f"{program}-{port}.log", "wb") as log:
            self._processes.append(subprocess.Popen([program, str(conf)], stdout=log,
                                                    stderr=subprocess.STDOUT, cwd=self.dir))

    def _until(self, check, what: str, limit: float = 30.0) -> None:
        deadline = time.monotonic() + limit
        while True:
            try:
                if check():
                    return
            except exc.RedisError:
                pass
            for p in self._processes:
                assert p.poll() is None, f"{p.args} exited while waiting until {what}"
            assert time.monotonic() < deadline, f"timed out waiting until {what}"
            time.sleep(0.1)

    def start(self) -> SentinelSet:
        self._launch("redis-server", "redis.conf.in", self.master_port)
        self._until(lambda: replication(self.master_port)["role"] == "master", "the master answers")
        self._launch("redis-server", "redis.conf.in", self.replica_port,
                     f"replicaof 127.0.0.1 {self.master_port}")
        self._until(lambda: replication(self.replica_port)["master_link_status"] == "up",
                    "the replica is linked")
        for port in self.sentinel_ports:
            self._launch("redis-sentinel", "sentinel.conf.in", port)
        self.wait_settled()
        return self

    def masters(self) -> list[int]:
        """The ports of the servers that say they are master now (one, once a failover is
        over)."""
        return [p for p in self.servers if replication(p)["role"] == "master"]

    def in_sync(self) -> bool:
        """One master (after a forced failover the old one stays master until a sentinel's
        next look at it, up to 10 s), whose replica is online, linked, not syncing and caught
        up with every write the master had when asked; and every sentinel names that master and
        knows the replica, connected, and the two other sentinels."""
        masters = self.masters()
        if len(masters) != 1:
            return False
        master = masters[0]
        replica = self.replica_port if master == self.master_port else self.master_port
        wanted = int(replication(master)["master_repl_offset"])
        mine = replication(master)
        link = replication(replica)
        slave0 = mine.get("slave0", {})
        if not (slave0.get("state") == "online" and int(slave0.get("offset", -1)) >= wanted
                and link.get("master_link_status") == "up"
                and link.get("master_sync_in_progress") == 0):
            return False
        for port in self.sentinel_ports:
            s = conn.Redis(host="127.0.0.1", port=port, socket_timeout=2)
            if s.execute_command("SENTINEL", "get-master-addr-by-name", SERVICE) != [
                    b"127.0.0.1", str(master).encode()]:
                return False
            state = s.execute_command("SENTINEL", "MASTER", SERVICE)
            fields = dict(zip(state[::2], state[1::2]))
            if fields[b"num-slaves"] != b"1" or fields[b"num-other-sentinels"] != b"2":
                return False
            (entry,) = s.execute_command("SENTINEL", "REPLICAS", SERVICE)
            fields = dict(zip(entry[::2], entry[1::2]))
            if fields[b"flags"] != b"slave":
                return False
        return True

    def wait_settled(self, limit: float = 60.0) -> None:
        self._until(self.in_sync, "the set is settled", limit)

    def stop(self) -> None:
        for p in self._processes:
            p.terminate()
        for p in self._processes:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
