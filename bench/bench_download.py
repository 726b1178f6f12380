"""Benchmark: verified download of a 256 MiB object, ours against the same steps over minio-py.

Ours is datastore.download_from_minio. The peer is what a user would write with minio-py and
hashlib: stat, stream to a temporary file with its MD5 (8192-byte chunks), fsync, size and MD5
check, the second copy and its comparison, rename. The floor is two plain transfers into files
with fsync and no checks (our client, 1 MiB reads). Rounds alternate between the three; the
median of each is compared. The object is made once in a bench bucket on the local S3 server.

    PYTHONPATH=$PWD .venv/bin/python bench/bench_download.py [--rounds 3] [--mib 256]
"""

from __future__ import annotations

import argparse
import hashlib
import io
import os
import shutil
import statistics
import tempfile
import time

import minio
import urllib3

from mosswork_utils import connections as conn
from mosswork_utils import datastore as ds
from results import result

BUCKET = "mosswork-bench-download"


def pattern(size: int) -> bytes:
    block = hashlib.sha256(b"bench").digest() * 32768  # 1 MiB
    return (block * (size // len(block) + 1))[:size]


def ensure_object(peer: minio.Minio, key: str, size: int) -> None:
    if not peer.bucket_exists(BUCKET):
        peer.make_bucket(BUCKET)
    try:
        if peer.stat_object(BUCKET, key).size == size:
            return
    except minio.error.S3Error:
        pass
    data = pattern(size)
    # One part, so that the etag is the content's MD5 and both sides check it.
    peer.put_object(BUCKET, key, io.BytesIO(data), size, part_size=max(size, 5 << 20))


def peer_download(client: minio.Minio, key: str, directory: str) -> str:
    path = os.path.join(directory, "peer.bin")
    stat = client.stat_object(BUCKET, key)
    etag, size = stat.etag.strip('"'), stat.size

    def copy(target: str) -> str:
        response = client.get_object(BUCKET, key)
        digest = hashlib.md5()
        try:
            with open(target, "wb") as f:
                for chunk in response.stream(8192):
                    f.write(chunk)
                    digest.update(chunk)
                f.flush()
                os.fsync(f.fileno())
        finally:
            response.close()
            response.release_conn()
        return digest.hexdigest()

    first = copy(path + ".tmp.downloading")
    if os.path.getsize(path + ".tmp.downloading") != size or first != etag:
        raise RuntimeError("peer: first copy does not match")
    if copy(path + ".tmp.verify") != first:
        raise RuntimeError("peer: second copy does not match")
    os.rename(path + ".tmp.downloading", path)
    os.remove(path + ".tmp.verify")
    return path


def floor_download(key: str, directory: str) -> None:
    for name in ("floor.1", "floor.2"):
        body = conn.minio_client.get_object(BUCKET, key)
        with open(os.path.join(directory, name), "wb") as f:
            while chunk := body.read(1 << 20):
                f.write(chunk)
            f.flush()
            os.fsync(f.fileno())
        body.close()


def ours_download(key: str) -> str:
    path = ds.download_from_minio(BUCKET, key, "ours.bin")
    if path is None:
        raise RuntimeError("ours: download failed")
    return path


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--mib", type=int, default=256)
    args = parser.parse_args()
    size = args.mib << 20
    key = f"bench/object-{args.mib}MiB.bin"

    peer = minio.Minio(conn.minio_endpoint, access_key=conn.minio_access_key,
                       secret_key=conn.minio_secret_key, secure=False,
                       http_client=urllib3.PoolManager(maxsize=10))
    ensure_object(peer, key, size)
    expected = hashlib.md5(pattern(size)).hexdigest()

    times: dict[str, list[float]] = {"ours": [], "peer": [], "floor": []}
    scratch = tempfile.mkdtemp(prefix="bench-download-")
    try:
        for _ in range(args.rounds):
            started = time.perf_counter()
            path = ours_download(key)
            times["ours"].append(time.perf_counter() - started)
            if ds.calculate_file_md5(path) != expected:
                raise RuntimeError("ours: wrong bytes")
            shutil.rmtree(os.path.dirname(path))  # no reuse in the next round

            started = time.perf_counter()
            peer_path = peer_download(peer, key, scratch)
            times["peer"].append(time.perf_counter() - started)
            os.remove(peer_path)

            started = time.perf_counter()
            floor_download(key, scratch)
            times["floor"].append(time.perf_counter() - started)
            for name in ("floor.1", "floor.2"):
                os.remove(os.path.join(scratch, name))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.rmtree(f"/tmp/minio_downloads/{os.getpid()}", ignore_errors=True)

    median = {k: statistics.median(v) for k, v in times.items()}
    print(f"verified download of {args.mib} MiB, median of {args.rounds} rounds")
    for name, label in (("ours", "download_from_minio"), ("peer", "minio-py + hashlib"),
                        ("floor", "two plain transfers + fsync")):
        print(f"  {label:30s} {median[name]:7.2f} s   "
              f"{2 * args.mib / median[name]:7.1f} MiB/s transferred")
    print(f"ratio peer/ours: {median['peer'] / median['ours']:.2f}x")
    result(f"download_from_minio, {args.mib} MiB", "minio-py + hashlib", median["peer"] / median["ours"])
    print(f"ours vs floor: {median['ours'] / median['floor']:.2f}x the floor's time; "
          f"peer vs floor: {median['peer'] / median['floor']:.2f}x")


if __name__ == "__main__":
    main()
