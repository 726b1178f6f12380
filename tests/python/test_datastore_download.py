"""The verified object download, file_lock and calculate_file_md5 against the local S3 server:
paths and the byte budget, reuse and stale copies, faults injected by a proxy (short, corrupt and
stalled bodies), lock time-outs, many threads on one object, a killed process, hostile names,
and what is left behind after every failure."""

from __future__ import annotations

import fcntl
import hashlib
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import pytest

from mosswork_utils import connections as conn
from mosswork_utils import datastore as ds

from s3_fault_proxy import FaultProxy

pytestmark = pytest.mark.usefixtures("servers")

ROOT = Path(__file__).resolve().parents[2]
PID = os.getpid()
TREE = f"/tmp/minio_downloads/{PID}"
MIB = 1 << 20
# Child processes import the same build of the package as this one (a staged one included).
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [str(Path(ds.__file__).resolve().parents[1]), str(ROOT)]
    + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))


# ---- helpers -----------------------------------------------------------------------------------


STORED: list[tuple[str, str]] = []


def put(bucket: str, key: str, data: bytes) -> str:
    conn.minio_client.put_object(bucket, key, io.BytesIO(data), len(data))
    STORED.append((bucket, key))
    return conn.minio_client.stat_object(bucket, key).etag.strip('"')


def lines(recorder) -> list[tuple[str, str]]:
    return [(level, args[0]) for level, args in recorder.messages()]


def md5(data: bytes) -> str:
    return hashlib.md5(data).hexdigest()


def leftovers(directory: str) -> list[str]:
    """Temporary files of a download still present under directory."""
    found = []
    for base, _, names in os.walk(directory):
        found += [os.path.join(base, n) for n in names if n.endswith((".downloading", ".verify"))]
    return found


def file_fds() -> int:
    """Open descriptors of this process that are files (sockets and pipes of pools excluded)."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        count += target.startswith("/")
    return count


def tree_snapshot() -> set[str]:
    """Everything in this process's download tree."""
    found = set()
    for base, dirs, names in os.walk(TREE):
        found.update(os.path.join(base, n) for n in dirs + names)
    return found


@pytest.fixture(scope="module", autouse=True)
def own_tree():
    """This process's download tree is removed when the module's tests are done."""
    yield
    shutil.rmtree(TREE, ignore_errors=True)


@pytest.fixture(scope="module")
def bucket():
    """A fresh bucket; the objects the tests stored go when the module is done (the server is
    shared and keeps them in memory)."""
    name = "dl-" + uuid.uuid4().hex[:12]
    conn.minio_client.make_bucket(name)
    yield name
    while STORED:
        conn.minio_client.remove_object(*STORED.pop())


@pytest.fixture
def new_key():
    """Makes object keys under a fresh first directory; removes their local trees at the end."""
    made: list[str] = []

    def make(rest: str = "doc.bin") -> str:
        top = uuid.uuid4().hex[:8]
        made.append(top)
        return f"{top}/{rest}"

    yield make
    for top in made:
        shutil.rmtree(os.path.join(TREE, top), ignore_errors=True)


@pytest.fixture
def proxy(monkeypatch):
    """A fault proxy, with datastore's minio_client pointed at it (2 s time-out, no retries)."""
    p = FaultProxy().start()
    client = conn.Minio(p.endpoint, access_key=conn.minio_access_key,
                        secret_key=conn.minio_secret_key, secure=False,
                        http_client=conn.PoolManager(maxsize=10, retries=conn.Retry(total=0),
                                                     timeout=2.0))
    monkeypatch.setattr(ds, "minio_client", client)
    yield p
    p.stop()


def detected(kind: str, etag: str, size: int) -> tuple[str, str]:
    return ("debug", f"Process {PID}: {kind} upload detected - etag: {etag}, size: {size}")


def downloaded(path: str) -> tuple[str, str]:
    return ("debug", f"Process {PID}: File successfully downloaded and verified: {path}")


# ---- paths and names ---------------------------------------------------------------------------


class TestPaths:
    def test_key_of_ten_characters_is_the_directory_whole(self, bucket, new_key, recorder):
        key = new_key("x")
        assert len(key) == 10
        data = os.urandom(5000)
        etag = put(bucket, key, data)
        path = ds.download_from_minio(bucket, key, "report.pdf")
        assert path == f"{TREE}/{key}/report.pdf"
        assert Path(path).read_bytes() == data
        assert os.path.isfile(f"{TREE}/{key}.lock")
        assert sorted(os.listdir(f"{TREE}/{key}")) == ["report.pdf"]
        assert lines(recorder) == [detected("Single part", etag, 5000), downloaded(path)]

    def test_key_of_forty_characters_uses_its_first_thirty_two(self, bucket, new_key):
        key = new_key("k" * 31)
        assert len(key) == 40
        data = os.urandom(3000)
        put(bucket, key, data)
        path = ds.download_from_minio(bucket, key, "a.pdf")
        assert path == f"{TREE}/{key[:32]}/a.pdf"
        assert os.path.isfile(f"{TREE}/{key[:32]}.lock")
        assert not os.path.exists(f"{TREE}/{key}")
        assert Path(path).read_bytes() == data

    def test_prefix_counts_characters_not_bytes(self, bucket, new_key):
        key = new_key("文" * 35)
        data = b"cjk key"
        put(bucket, key, data)
        path = ds.download_from_minio(bucket, key, "d.txt")
        assert path == f"{TREE}/{key[:32]}/d.txt"
        assert key[:32].endswith("文" * 23)
        assert Path(path).read_bytes() == data

    @pytest.mark.parametrize("lead", ["", "a", "ab"])
    def test_long_cjk_name_is_cut_at_a_character_boundary(self, bucket, new_key, recorder, lead):
        key = new_key("doc")
        data = os.urandom(2048)
        etag = put(bucket, key, data)
        name = lead + "年度报告" * 30
        doc = name + ".pdf"
        temp_dir = f"{TREE}/{key}"
        available = 255 - (len(temp_dir.encode()) + 1) - len(".12345678.downloading")
        max_name = available - len(b".pdf") - 3
        kept = ""
        for ch in name:
            if len((kept + ch).encode()) > max_name:
                break
            kept += ch
        expected = kept + "..." + ".pdf"

        path = ds.download_from_minio(bucket, key, doc)

        assert path == f"{temp_dir}/{expected}"
        assert max_name - 2 <= len(kept.encode()) <= max_name
        assert len(path.encode()) + len(".12345678.downloading") <= 255
        assert Path(path).read_bytes() == data
        assert lines(recorder) == [
            ("warning", "File name truncated to: " + expected),
            detected("Single part", etag, 2048),
            downloaded(path),
        ]

    def test_extension_too_long_for_the_budget_is_refused_before_any_directory(
            self, bucket, new_key, recorder):
        key = new_key("doc")
        ext = "." + "e" * 260
        before = tree_snapshot()
        with pytest.raises(ValueError) as caught:
            ds.download_from_minio(bucket, key, "x" + ext)
        assert str(caught.value) == "Path length exceeds system limit"
        shortened = "..." + ext
        n = len(f"{TREE}/{key}/{shortened}.12345678.downloading".encode())
        assert lines(recorder) == [
            ("warning", "File name truncated to: " + shortened),
            ("error", f"Path too long even after truncation: {n} bytes"),
        ]
        assert tree_snapshot() == before

    def test_dots_inside_names_are_ordinary(self, bucket, new_key):
        key = new_key("a..b/..c")
        data = b"dots"
        put(bucket, key, data)
        path = ds.download_from_minio(bucket, key, "..hidden..pdf")
        assert path == f"{TREE}/{key}/..hidden..pdf"
        assert Path(path).read_bytes() == data


class TestArguments:
    @pytest.mark.parametrize("position", [0, 1, 2])
    @pytest.mark.parametrize("bad", [None, b"bytes", 7])
    def test_non_text_argument_is_a_type_error_before_anything(self, recorder, position, bad):
        args = ["bucket", uuid.uuid4().hex[:8] + "/k", "d.pdf"]
        args[position] = bad
        before = tree_snapshot()
        with pytest.raises(TypeError):
            ds.download_from_minio(*args)
        assert tree_snapshot() == before
        assert recorder.messages() == []

    def test_keywords_are_accepted(self, bucket, new_key):
        key = new_key()
        put(bucket, key, b"kw")
        path = ds.download_from_minio(bucket=bucket, objectName=key, doc_name="k.bin")
        assert Path(path).read_bytes() == b"kw"

    def test_missing_argument_is_a_type_error(self, bucket):
        with pytest.raises(TypeError):
            ds.download_from_minio(bucket, "k")


class TestHostileNames:
    @pytest.mark.parametrize("key", ["../x", "a/../../x", "/etc/x", "..", "ab\0cd/x"])
    def test_object_name_leaving_the_tree_is_refused_before_anything(self, bucket, recorder, key):
        before = tree_snapshot()
        with pytest.raises(ValueError, match="would leave the download directory"):
            ds.download_from_minio(bucket, key, "d.pdf")
        assert tree_snapshot() == before
        assert not os.path.exists("/etc/x.lock") and not os.path.exists("/tmp/minio_downloads/x.lock")
        assert recorder.messages() == []

    @pytest.mark.parametrize("doc", ["../evil.pdf", "/tmp/evil.pdf", "sub/../../evil.pdf", "..",
                                     "ev\0il.pdf"])
    def test_document_name_leaving_the_tree_is_refused_before_anything(self, bucket, new_key,
                                                                       recorder, doc):
        key = new_key()
        put(bucket, key, b"x")
        before = tree_snapshot()
        with pytest.raises(ValueError, match="would leave the download directory"):
            ds.download_from_minio(bucket, key, doc)
        assert tree_snapshot() == before
        assert not os.path.exists("/tmp/evil.pdf")
        assert recorder.messages() == []

    @pytest.mark.parametrize("doc, text", [
        ("", "document name is empty"),
        ("sub/", "document name 'sub/' names a folder, not a file"),
        ("sub/.", "document name 'sub/.' names a folder, not a file"),
        (".", "document name '.' names a folder, not a file"),
    ])
    def test_document_name_naming_no_file_is_refused_before_anything(self, bucket, new_key,
                                                                     recorder, doc, text):
        key = new_key()
        put(bucket, key, b"x")
        before = tree_snapshot()
        with pytest.raises(ValueError) as caught:
            ds.download_from_minio(bucket, key, doc)
        assert str(caught.value) == text
        assert tree_snapshot() == before
        assert recorder.messages() == []

    @pytest.mark.parametrize("doc", ["scans/p1.pdf", "a/b/c.pdf", "./p.pdf", "a//p.pdf"])
    def test_document_name_with_sub_folders_lands_in_them(self, bucket, new_key, recorder, doc):
        key = new_key()
        data = os.urandom(3000)
        etag = put(bucket, key, data)
        path = ds.download_from_minio(bucket, key, doc)
        assert path == f"{TREE}/{key}/{doc}"
        assert Path(path).read_bytes() == data
        assert lines(recorder) == [detected("Single part", etag, 3000), downloaded(path)]
        assert ds.download_from_minio(bucket, key, doc) == path  # reused
        assert leftovers(f"{TREE}/{key}") == []

    def test_names_differing_only_by_a_double_slash_stay_inside_and_share_one_lock(
            self, bucket, new_key):
        single = new_key("a/d")
        double = single.replace("/", "//", 1)
        put(bucket, single, b"single slash")
        put(bucket, double, b"double slash, longer")
        first = ds.download_from_minio(bucket, single, "d.bin")
        assert Path(first).read_bytes() == b"single slash"
        second = ds.download_from_minio(bucket, double, "d.bin")
        # Both name one directory inside the tree, and so one lock file: the calls serialise,
        # and each returns its own object's bytes.
        assert os.path.realpath(second).startswith(TREE + "/")
        assert os.path.realpath(second) == os.path.realpath(first)
        assert os.stat(f"{TREE}/{double[:32]}.lock").st_ino == os.stat(f"{TREE}/{single}.lock").st_ino
        assert Path(second).read_bytes() == b"double slash, longer"


# ---- downloads and reuse -----------------------------------------------------------------------


class TestDownload:
    def test_multipart_object_is_checked_by_size(self, bucket, new_key, recorder):
        key = new_key("big.bin")
        data = os.urandom(6 * MIB + 123)
        etag = put(bucket, key, data)
        assert etag.endswith("-2")
        path = ds.download_from_minio(bucket, key, "big.bin")
        assert md5(Path(path).read_bytes()) == md5(data)
        assert lines(recorder) == [detected("Multipart", etag, len(data)), downloaded(path)]
        assert leftovers(TREE + "/" + key.split("/")[0]) == []

    def test_memory_does_not_grow_with_the_object(self, bucket, new_key):
        small, large = new_key(), new_key()
        put(bucket, small, b"s" * 1000)
        put(bucket, large, os.urandom(64 * MIB))
        code = (
            "import os, resource, shutil, sys\n"
            "from mosswork_utils import datastore as ds\n"
            "path = ds.download_from_minio(sys.argv[1], sys.argv[2], 'm.bin')\n"
            "peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "shutil.rmtree(f'/tmp/minio_downloads/{os.getpid()}')\n"
            "print('peak', path is not None, peak)\n"
        )
        peaks = {}
        for key in (small, large):
            run = subprocess.run([sys.executable, "-c", code, bucket, key], capture_output=True,
                                 text=True, timeout=120, env=CHILD_ENV)
            last = run.stdout.strip().splitlines()[-1].split()
            assert last[:2] == ["peak", "True"], run.stdout + run.stderr
            peaks[key] = int(last[2])  # KiB
        # Two full copies of 64 MiB went through the process; its peak grew by far less.
        assert peaks[large] - peaks[small] < 16 * 1024

    def test_empty_object(self, bucket, new_key):
        key = new_key()
        put(bucket, key, b"")
        path = ds.download_from_minio(bucket, key, "empty.txt")
        assert Path(path).read_bytes() == b""

    def test_verified_copy_is_reused_without_a_download(self, bucket, new_key, proxy, recorder):
        key = new_key()
        data = os.urandom(40000)
        etag = put(bucket, key, data)
        path = ds.download_from_minio(bucket, key, "r.bin")
        inode = os.stat(path).st_ino
        gets = proxy.count("GET")
        assert gets == 2
        again = ds.download_from_minio(bucket, key, "r.bin")
        assert again == path and os.stat(path).st_ino == inode
        assert proxy.count("GET") == gets
        assert lines(recorder)[-2:] == [
            detected("Single part", etag, 40000),
            ("debug", f"Process {PID}: File exists and verified: {path}"),
        ]

    def test_multipart_copy_is_reused_on_its_size(self, bucket, new_key, proxy, recorder):
        key = new_key()
        data = os.urandom(5 * MIB + 1)
        etag = put(bucket, key, data)
        path = ds.download_from_minio(bucket, key, "m.bin")
        gets = proxy.count("GET")
        assert ds.download_from_minio(bucket, key, "m.bin") == path
        assert proxy.count("GET") == gets
        assert lines(recorder)[-1] == ("debug", f"Process {PID}: File exists with correct size: {path}")
        assert lines(recorder)[-2] == detected("Multipart", etag, len(data))

    def test_stale_copy_of_the_right_size_is_replaced_for_a_single_part_object(
            self, bucket, new_key, recorder):
        key = new_key()
        data = os.urandom(1000)
        etag = put(bucket, key, data)
        local = f"{TREE}/{key}/s.bin"
        os.makedirs(os.path.dirname(local))
        Path(local).write_bytes(b"\0" * 1000)
        path = ds.download_from_minio(bucket, key, "s.bin")
        assert path == local and Path(path).read_bytes() == data
        assert lines(recorder) == [
            detected("Single part", etag, 1000),
            ("debug", "Existing file size different - local: 1000, remote: 1000"),
            downloaded(path),
        ]

    def test_copy_of_another_size_is_replaced(self, bucket, new_key, recorder):
        key = new_key()
        data = os.urandom(1000)
        put(bucket, key, data)
        local = f"{TREE}/{key}/s.bin"
        os.makedirs(os.path.dirname(local))
        Path(local).write_bytes(b"old")
        assert Path(ds.download_from_minio(bucket, key, "s.bin")).read_bytes() == data
        assert ("debug", "Existing file size different - local: 3, remote: 1000") in lines(recorder)

    def test_multipart_copy_of_the_right_size_is_trusted(self, bucket, new_key):
        # Only the size is known for a multipart object, so a copy of that size stays.
        key = new_key()
        data = os.urandom(5 * MIB + 7)
        put(bucket, key, data)
        local = f"{TREE}/{key}/m.bin"
        os.makedirs(os.path.dirname(local))
        Path(local).write_bytes(b"\1" * len(data))
        assert ds.download_from_minio(bucket, key, "m.bin") == local
        assert Path(local).read_bytes() == b"\1" * len(data)

    def test_etag_in_extra_quotes_is_compared_without_them(self, bucket, new_key, proxy, recorder):
        key = new_key()
        data = os.urandom(777)
        etag = put(bucket, key, data)
        proxy.extra_etag_quotes = True
        path = ds.download_from_minio(bucket, key, "q.bin")
        assert Path(path).read_bytes() == data
        assert lines(recorder) == [detected("Single part", etag, 777), downloaded(path)]

    def test_missing_object_logs_one_error_and_leaves_nothing(self, bucket, new_key, proxy,
                                                             recorder):
        key = new_key("absent.pdf")
        fds = file_fds()
        assert ds.download_from_minio(bucket, key, "absent.pdf") is None
        assert lines(recorder) == [(
            "error",
            f"Failed to access object - bucket: {bucket}, object: {key}, error: S3 operation "
            f"failed; code: NoSuchKey, message: Object does not exist, bucket_name: {bucket}, "
            f"object_name: {key}",
        )]
        assert proxy.count("GET") == 0
        assert not os.path.exists(f"{TREE}/{key}") and not os.path.exists(f"{TREE}/{key}.lock")
        assert file_fds() == fds

    def test_missing_bucket_is_an_access_failure(self, new_key, recorder):
        key = new_key()
        missing = "no-such-" + uuid.uuid4().hex[:10]
        assert ds.download_from_minio(missing, key, "d.pdf") is None
        # A HEAD answer has no error document: the code comes from the status, as minio-py's.
        assert lines(recorder) == [(
            "error",
            f"Failed to access object - bucket: {missing}, object: {key}, error: S3 operation "
            f"failed; code: NoSuchKey, message: Object does not exist, bucket_name: {missing}, "
            f"object_name: {key}",
        )]

    def test_client_of_another_kind_is_a_type_error_before_anything(self, bucket, new_key,
                                                                    monkeypatch):
        monkeypatch.setattr(ds, "minio_client", object())
        key = new_key()
        before = tree_snapshot()
        with pytest.raises(TypeError, match="must be a connections.Minio client, not object"):
            ds.download_from_minio(bucket, key, "d.pdf")
        assert tree_snapshot() == before

    def test_client_replaced_at_run_time_is_used(self, bucket, new_key, monkeypatch, recorder):
        monkeypatch.setattr(ds, "minio_client", None)
        key = new_key()
        assert ds.download_from_minio(bucket, key, "d.pdf") is None
        assert lines(recorder) == [(
            "error",
            f"Failed to access object - bucket: {bucket}, object: {key}, error: 'NoneType' object "
            "has no attribute 'stat_object'",
        )]


# ---- faults ------------------------------------------------------------------------------------


class TestFaults:
    def test_short_bodies_twice_then_success(self, bucket, new_key, proxy, recorder):
        key = new_key()
        data = os.urandom(10001)
        etag = put(bucket, key, data)
        proxy.plan("short", "short")
        started = time.monotonic()
        path = ds.download_from_minio(bucket, key, "s.bin")
        elapsed = time.monotonic() - started
        assert Path(path).read_bytes() == data
        mismatch = "Size mismatch - local: 5000, remote: 10001"
        assert lines(recorder) == [
            detected("Single part", etag, 10001),
            ("warning", f"Download attempt 1 failed: {mismatch}"),
            ("warning", f"Download attempt 2 failed: {mismatch}"),
            downloaded(path),
        ]
        assert 2.0 <= elapsed < 6.0
        assert proxy.count("GET") == 4
        assert leftovers(f"{TREE}/{key}") == []

    def test_corrupt_first_copy_is_caught_by_its_md5(self, bucket, new_key, proxy, recorder):
        key = new_key()
        data = os.urandom(4096)
        etag = put(bucket, key, data)
        bad = bytearray(data)
        bad[2048] ^= 0xFF
        proxy.plan("corrupt")
        path = ds.download_from_minio(bucket, key, "c.bin")
        assert Path(path).read_bytes() == data
        assert lines(recorder)[1] == (
            "warning", f"Download attempt 1 failed: First MD5 mismatch - local: {md5(bytes(bad))}, "
                       f"remote: {etag}")
        assert len(lines(recorder)) == 3

    def test_corrupt_second_copy_is_caught_by_the_comparison(self, bucket, new_key, proxy,
                                                            recorder):
        key = new_key()
        data = os.urandom(4096)
        etag = put(bucket, key, data)
        bad = bytearray(data)
        bad[2048] ^= 0xFF
        proxy.plan(None, "corrupt")
        path = ds.download_from_minio(bucket, key, "c.bin")
        assert Path(path).read_bytes() == data
        assert lines(recorder)[1] == (
            "warning", f"Download attempt 1 failed: Verification mismatch - first: {etag}, "
                       f"second: {md5(bytes(bad))}")
        assert proxy.count("GET") == 4

    def test_three_failed_attempts_give_none_and_leave_nothing(self, bucket, new_key, proxy,
                                                               recorder):
        key = new_key()
        data = os.urandom(3000)
        etag = put(bucket, key, data)
        proxy.plan("short", "short", "short")
        fds = file_fds()
        assert ds.download_from_minio(bucket, key, "f.bin") is None
        mismatch = "Size mismatch - local: 1500, remote: 3000"
        assert lines(recorder) == [
            detected("Single part", etag, 3000),
            ("warning", f"Download attempt 1 failed: {mismatch}"),
            ("warning", f"Download attempt 2 failed: {mismatch}"),
            ("warning", f"Download attempt 3 failed: {mismatch}"),
            ("error", f"Process {PID}: Download error - bucket: {bucket}, object: {key}, "
                      f"error: {mismatch}"),
        ]
        assert not os.path.exists(f"{TREE}/{key.split('/')[0]}")
        assert file_fds() == fds

    def test_multipart_short_body_is_retried(self, bucket, new_key, proxy, recorder):
        key = new_key()
        data = os.urandom(5 * MIB + 100)
        etag = put(bucket, key, data)
        proxy.plan("short")
        path = ds.download_from_minio(bucket, key, "m.bin")
        assert md5(Path(path).read_bytes()) == md5(data)
        assert lines(recorder)[:2] == [
            detected("Multipart", etag, len(data)),
            ("warning", f"Download attempt 1 failed: Size mismatch - local: {len(data) // 2}, "
                        f"remote: {len(data)}"),
        ]

    def test_stalled_body_times_out_and_is_retried_with_the_gil_released(
            self, bucket, new_key, proxy, recorder):
        key = new_key()
        data = os.urandom(200000)
        put(bucket, key, data)
        proxy.plan("stall")
        proxy.stall_seconds = 4.0
        ticks = 0
        done = threading.Event()

        def tick():
            nonlocal ticks
            while not done.is_set():
                ticks += 1
                time.sleep(0.01)

        ticker = threading.Thread(target=tick)
        ticker.start()
        started = time.monotonic()
        try:
            path = ds.download_from_minio(bucket, key, "t.bin")
        finally:
            done.set()
            ticker.join()
        elapsed = time.monotonic() - started
        assert Path(path).read_bytes() == data
        warning = lines(recorder)[1]
        assert warning[0] == "warning"
        assert warning[1].startswith("Download attempt 1 failed: ") and "timed out" in warning[1]
        assert 3.0 <= elapsed < 12.0
        assert ticks > 100  # the ticker ran while the call waited
        assert leftovers(f"{TREE}/{key}") == []

    def test_stalls_on_every_attempt_are_a_download_error_not_a_lock_wait(
            self, bucket, new_key, proxy, recorder):
        key = new_key()
        put(bucket, key, os.urandom(100000))
        proxy.plan("stall", "stall", "stall")
        proxy.stall_seconds = 3.0
        fds = file_fds()
        assert ds.download_from_minio(bucket, key, "t.bin") is None
        levels = [level for level, _ in lines(recorder)]
        assert levels == ["debug", "warning", "warning", "warning", "error"]
        assert lines(recorder)[-1][1].startswith(
            f"Process {PID}: Download error - bucket: {bucket}, object: {key}, error: ")
        assert not any("Timeout waiting for lock" in text for _, text in lines(recorder))
        assert not os.path.exists(f"{TREE}/{key.split('/')[0]}")
        assert file_fds() == fds


    @pytest.mark.parametrize("size", [4096, 5 * MIB + 100], ids=["single-part", "multipart"])
    def test_object_replaced_between_the_copies_is_never_committed_mixed_or_stale(
            self, bucket, new_key, proxy, recorder, size):
        key = new_key()
        old, new = os.urandom(size), os.urandom(size)  # one size: the size check cannot tell
        etag = put(bucket, key, old)
        proxy.plan(lambda: put(bucket, key, new))  # right after the first copy's GET
        path = ds.download_from_minio(bucket, key, "r.bin")
        mismatch = f"Verification mismatch - first: {md5(old)}, second: {md5(new)}"
        assert lines(recorder)[1] == ("warning", f"Download attempt 1 failed: {mismatch}")
        if size == 4096:
            # The etag was read once, for the old content; the new content fails against it.
            assert path is None
            assert lines(recorder)[2:4] == [
                ("warning", f"Download attempt {n} failed: First MD5 mismatch - local: {md5(new)}, "
                            f"remote: {etag}") for n in (2, 3)]
            assert not os.path.exists(f"{TREE}/{key.split('/')[0]}")
        else:
            # A multipart etag is no digest: the size matches, and two agreeing copies are had.
            assert Path(path).read_bytes() == new
            assert lines(recorder)[2:] == [downloaded(path)]
            assert leftovers(f"{TREE}/{key}") == []

    def test_multipart_copy_damaged_on_the_way_is_not_committed(self, bucket, new_key, proxy,
                                                                recorder):
        key = new_key()
        data = os.urandom(5 * MIB + 100)
        put(bucket, key, data)
        bad = bytearray(data)
        bad[len(data) // 2] ^= 0xFF
        proxy.plan("corrupt")
        path = ds.download_from_minio(bucket, key, "m.bin")
        assert md5(Path(path).read_bytes()) == md5(data)
        assert lines(recorder)[1] == ("warning", "Download attempt 1 failed: Verification "
                                                 f"mismatch - first: {md5(bytes(bad))}, second: "
                                                 f"{md5(data)}")
        assert proxy.count("GET") == 4


class TestLeftFolders:
    @pytest.mark.parametrize("doc", ["f.bin", "sub/deep/f.bin"])
    def test_failure_removes_every_folder_it_left_empty(self, bucket, new_key, proxy, doc):
        key = new_key("mid/obj")
        put(bucket, key, os.urandom(3000))
        proxy.plan("short", "short", "short")
        assert ds.download_from_minio(bucket, key, doc) is None
        assert not os.path.exists(f"{TREE}/{key.split('/')[0]}")
        assert os.path.isdir(TREE)  # the process's folder was there before the call

    def test_failure_in_a_fresh_process_removes_its_own_folder(self, bucket, new_key):
        key = new_key()
        code = (
            "import os, sys\n"
            "from mosswork_utils import datastore as ds\n"
            "print('RESULT', ds.download_from_minio(sys.argv[1], sys.argv[2], 'd/x.pdf'),\n"
            "      os.path.exists(f'/tmp/minio_downloads/{os.getpid()}'))\n"
        )
        run = subprocess.run([sys.executable, "-c", code, bucket, key], capture_output=True,
                             text=True, timeout=120, env=CHILD_ENV)
        assert "RESULT None False" in run.stdout.splitlines(), run.stdout + run.stderr

    def test_failure_keeps_the_directory_of_an_object_whose_lock_is_held(self, bucket, new_key):
        outer = new_key("held")
        os.makedirs(f"{TREE}/{outer}")
        fd = os.open(f"{TREE}/{outer}.lock", os.O_WRONLY | os.O_CREAT)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            # This key's folders run through the held object's (empty) directory.
            assert ds.download_from_minio(bucket, outer + "/in/absent", "x.pdf") is None
            assert os.path.isdir(f"{TREE}/{outer}")
            assert not os.path.exists(f"{TREE}/{outer}/in")
        finally:
            os.close(fd)


# ---- locks and concurrency ---------------------------------------------------------------------


class TestLocking:
    def test_lock_held_past_the_time_out(self, bucket, new_key, recorder):
        # Three objects whose locks another holder keeps for the whole wait: no copy, a copy of
        # the store's size, a copy of another size. Run side by side, so the wait is paid once.
        data = os.urandom(2500)
        cases = {}
        for name in ("none", "usable", "wrong"):
            key = new_key()
            put(bucket, key, data)
            os.makedirs(f"{TREE}/{key}")
            if name == "usable":
                Path(f"{TREE}/{key}/l.bin").write_bytes(data)
            if name == "wrong":
                Path(f"{TREE}/{key}/l.bin").write_bytes(data[:100])
            fd = os.open(f"{TREE}/{key}.lock", os.O_WRONLY | os.O_CREAT)
            fcntl.flock(fd, fcntl.LOCK_EX)
            cases[name] = {"key": key, "fd": fd}
        try:
            def run(case):
                case["result"] = ds.download_from_minio(bucket, case["key"], "l.bin")

            threads = [threading.Thread(target=run, args=(c,)) for c in cases.values()]
            started = time.monotonic()
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=60)
            elapsed = time.monotonic() - started
            assert 30.0 <= elapsed < 36.0
            assert cases["none"]["result"] is None
            assert cases["usable"]["result"] == f"{TREE}/{cases['usable']['key']}/l.bin"
            assert cases["wrong"]["result"] is None
            for case in cases.values():
                lock = f"{TREE}/{case['key']}.lock"
                assert lines(recorder).count(
                    ("warning", f"Process {PID}: Timeout waiting for lock on {lock}")) == 1
                # A caller that never had the lock leaves the holder's lock file alone.
                assert os.stat(lock).st_ino == os.fstat(case["fd"]).st_ino
            assert len(lines(recorder)) == 3
        finally:
            for case in cases.values():
                os.close(case["fd"])

    def test_threads_asking_for_one_object_get_one_download(self, bucket, new_key, proxy,
                                                             recorder):
        key = new_key()
        data = os.urandom(300000)
        put(bucket, key, data)
        proxy.head_delay = 0.2
        results: list[str | None] = [None] * 6
        barrier = threading.Barrier(6)

        def run(i):
            barrier.wait()
            results[i] = ds.download_from_minio(bucket, key, "same.bin")

        threads = [threading.Thread(target=run, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        path = f"{TREE}/{key}/same.bin"
        assert results == [path] * 6
        assert Path(path).read_bytes() == data
        texts = [text for _, text in lines(recorder)]
        assert sum("File successfully downloaded and verified" in t for t in texts) == 1
        assert sum("File exists and verified" in t for t in texts) == 5
        assert proxy.count("GET") == 2
        # Only the lock holder talks to the store about the object.
        assert proxy.max_in_flight[f"/{bucket}/{key}"] == 1
        assert leftovers(f"{TREE}/{key}") == []

    @pytest.mark.parametrize("phase", [".downloading", ".verify"])
    def test_killed_mid_download_leaves_nothing_at_the_final_path(self, bucket, new_key, proxy,
                                                                  phase):
        key = new_key()
        data = os.urandom(4 * MIB)
        put(bucket, key, data)
        proxy.plan("slow", "slow")
        proxy.slow_bytes_per_second = 2 * MIB
        child_code = (
            "import os, sys\n"
            "from mosswork_utils import connections as conn, datastore as ds\n"
            "ds.minio_client = conn.Minio(sys.argv[1], access_key=conn.minio_access_key,\n"
            "    secret_key=conn.minio_secret_key, secure=False)\n"
            "print('ready', flush=True)\n"
            "ds.download_from_minio(sys.argv[2], sys.argv[3], 'k.bin')\n"
        )
        child = subprocess.Popen([sys.executable, "-c", child_code, proxy.endpoint, bucket, key],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=CHILD_ENV)
        directory = f"/tmp/minio_downloads/{child.pid}/{key}"
        try:
            # connections prints its progress lines first.
            for _ in range(20):
                line = child.stdout.readline()
                if line.strip() == b"ready" or not line:
                    break
            assert line.strip() == b"ready"
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                if os.path.isdir(directory) and any(n.endswith(phase) for n in os.listdir(directory)):
                    break
                time.sleep(0.02)
            else:
                pytest.fail(f"no {phase} file appeared")
            os.kill(child.pid, signal.SIGKILL)
            child.wait(timeout=10)
            assert child.returncode == -signal.SIGKILL
            assert not os.path.exists(f"{directory}/k.bin")
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            child.stdout.close()
            shutil.rmtree(f"/tmp/minio_downloads/{child.pid}", ignore_errors=True)


# ---- file_lock and calculate_file_md5 ----------------------------------------------------------


@pytest.fixture
def lock_path(tmp_path) -> str:
    return str(tmp_path / "held.lock")


def hold(path: str, seconds: float) -> threading.Thread:
    """Holds an flock on path from another open handle for the given time."""
    ready = threading.Event()

    def run():
        fd = os.open(path, os.O_WRONLY | os.O_CREAT)
        fcntl.flock(fd, fcntl.LOCK_EX)
        ready.set()
        time.sleep(seconds)
        fcntl.flock(fd, fcntl.LOCK_UN)
        os.close(fd)

    t = threading.Thread(target=run)
    t.start()
    ready.wait(5)
    return t


class TestFileLock:
    def test_lock_released_after_two_and_a_half_seconds_is_taken_on_the_fourth_attempt(
            self, lock_path):
        holder = hold(lock_path, 2.5)
        started = time.monotonic()
        with ds.file_lock(lock_path):
            elapsed = time.monotonic() - started
        holder.join()
        assert 2.9 <= elapsed < 4.0

    def test_lock_held_throughout_times_out_with_its_text(self, lock_path):
        holder = hold(lock_path, 4.0)
        started = time.monotonic()
        with pytest.raises(TimeoutError) as caught:
            with ds.file_lock(lock_path, timeout=2):
                pytest.fail("the body ran without the lock")
        elapsed = time.monotonic() - started
        holder.join()
        assert str(caught.value) == f"Unable to acquire lock on {lock_path} after 2 seconds"
        assert 2.0 <= elapsed < 3.0

    def test_time_out_text_shows_the_number_as_given(self, lock_path):
        holder = hold(lock_path, 1.5)
        with pytest.raises(TimeoutError, match=r"after 0\.5 seconds$"):
            with ds.file_lock(lock_path, timeout=0.5):
                pass
        holder.join()

    def test_error_in_the_body_releases_the_lock(self, lock_path):
        with pytest.raises(KeyError):
            with ds.file_lock(lock_path, timeout=1):
                raise KeyError("body")
        started = time.monotonic()
        with ds.file_lock(lock_path, timeout=1):
            assert time.monotonic() - started < 0.5

    def test_threads_exclude_each_other_and_waiting_releases_the_gil(self, lock_path):
        inside = 0
        most = 0
        ticks = 0
        guard = threading.Lock()

        def worker():
            nonlocal inside, most
            with ds.file_lock(lock_path, timeout=10):
                with guard:
                    inside += 1
                    most = max(most, inside)
                time.sleep(0.3)
                with guard:
                    inside -= 1

        stop = threading.Event()

        def tick():
            nonlocal ticks
            while not stop.is_set():
                ticks += 1
                time.sleep(0.01)

        ticker = threading.Thread(target=tick)
        ticker.start()
        workers = [threading.Thread(target=worker) for _ in range(3)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(timeout=20)
        stop.set()
        ticker.join()
        assert most == 1
        assert ticks > 100

    def test_opening_empties_the_file_and_leaves_it(self, lock_path):
        Path(lock_path).write_text("old content")
        with ds.file_lock(Path(lock_path)) as entered:
            assert entered is None
            assert Path(lock_path).read_bytes() == b""
        assert os.path.exists(lock_path)

    def test_open_failure_is_raised_at_once(self, tmp_path):
        started = time.monotonic()
        with pytest.raises(FileNotFoundError):
            with ds.file_lock(str(tmp_path / "missing" / "x.lock"), timeout=5):
                pass
        assert time.monotonic() - started < 0.5

    def test_no_descriptor_is_left_after_a_time_out(self, lock_path):
        holder = hold(lock_path, 2.0)
        fds = file_fds()
        with pytest.raises(TimeoutError):
            with ds.file_lock(lock_path, timeout=0.2):
                pass
        assert file_fds() == fds
        holder.join()


    def test_three_processes_take_turns_and_each_gets_the_lock(self, tmp_path):
        rounds = 2
        code = (
            "import json, os, sys, time\n"
            "from mosswork_utils import datastore as ds\n"
            "lock, marker, go = sys.argv[1:4]\n"
            "fds = len(os.listdir('/proc/self/fd'))\n"
            "print('ready', flush=True)\n"
            "while not os.path.exists(go):\n"
            "    time.sleep(0.01)\n"
            "spans = []\n"
            f"for _ in range({rounds}):\n"
            "    with ds.file_lock(lock, timeout=30):\n"
            "        start = time.monotonic()\n"
            "        # Raises FileExistsError when another holder is inside too.\n"
            "        os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))\n"
            "        time.sleep(0.2)\n"
            "        os.remove(marker)\n"
            "        spans.append((start, time.monotonic()))\n"
            "print(json.dumps({'spans': spans, 'left': len(os.listdir('/proc/self/fd')) - fds}))\n"
        )
        args = [str(tmp_path / "shared.lock"), str(tmp_path / "inside"), str(tmp_path / "go")]
        children = [subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=CHILD_ENV)
                    for _ in range(3)]
        try:
            for child in children:
                while (line := child.stdout.readline()) and line.strip() != "ready":
                    pass  # connections prints its progress lines first
                assert line.strip() == "ready", child.stderr.read()
            Path(args[2]).touch()
            outputs = [child.communicate(timeout=60) for child in children]
        finally:
            for child in children:
                if child.poll() is None:
                    child.kill()
                    child.wait()
        spans = []
        for child, (out, err) in zip(children, outputs):
            assert child.returncode == 0, err
            report = json.loads(out)
            assert report["left"] == 0  # no descriptor left behind
            assert len(report["spans"]) == rounds
            spans += report["spans"]
        spans.sort()
        assert all(a[1] <= b[0] for a, b in zip(spans, spans[1:])), spans


class TestFileMd5:
    def test_empty_file(self, tmp_path):
        path = tmp_path / "empty"
        path.write_bytes(b"")
        assert ds.calculate_file_md5(str(path)) == "d41d8cd98f00b204e9800998ecf8427e"

    def test_matches_hashlib_across_chunk_boundaries(self, tmp_path):
        for size in (1, 8191, 8192, 8193, 3 * MIB + 5):
            data = os.urandom(size)
            path = tmp_path / f"f{size}"
            path.write_bytes(data)
            assert ds.calculate_file_md5(path) == md5(data)

    def test_missing_file_and_directory_raise(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            ds.calculate_file_md5(str(tmp_path / "absent"))
        with pytest.raises(IsADirectoryError):
            ds.calculate_file_md5(str(tmp_path))
