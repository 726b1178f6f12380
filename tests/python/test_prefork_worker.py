"""A real Celery prefork worker (4 children) whose tasks use datastore (Redis, a download, a
vector query): every reply belongs to its own task, nothing fails, and the task accounting is
back to zero at the end. The tasks count comes from MOSSWORK_WORKER_TASKS (scripts/soak runs the
full 5,000)."""

from __future__ import annotations

import hashlib
import io
import math
import os
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

from mosswork_utils import connections as conn
from mosswork_utils import datastore as ds

pytestmark = [pytest.mark.usefixtures("servers"), pytest.mark.slow]

HERE = Path(__file__).resolve().parent
TASKS = int(os.environ.get("MOSSWORK_WORKER_TASKS", "400"))
BUCKET = "mosswork-worker"


@pytest.fixture
def worker():
    sys.path.insert(0, str(HERE))
    import worker_app

    queue = "mosswork-worker-" + uuid.uuid4().hex[:8]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(ds.__file__).resolve().parents[1]), str(HERE)]
        + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    proc = subprocess.Popen(
        [sys.executable, "-m", "celery", "-A", "worker_app", "worker", "-P", "prefork", "-c", "4",
         "-Q", queue, "-n", queue + "@%h", "--loglevel=WARNING", "--without-gossip",
         "--without-mingle", "--without-heartbeat"],
        cwd=HERE, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        deadline = time.monotonic() + 60
        while not worker_app.app.control.ping(destination=[queue + "@" + os.uname().nodename],
                                              timeout=1.0):
            assert proc.poll() is None, proc.stdout.read()
            assert time.monotonic() < deadline, "the worker did not come up"
        yield worker_app, queue
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            out, _ = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
        sys.path.remove(str(HERE))
    assert "Traceback" not in out, out


def test_prefork_worker_keeps_every_reply_private(worker, vexlo):
    worker_app, queue = worker
    # Sixteen points around the circle; each task's query direction comes from its token, so
    # its nearest point and score are its own.
    collection = vexlo.prefix + "worker"
    vexlo.put(f"/collections/{collection}", {"vectors": {"dense": {"size": 2,
                                                                   "distance": "Cosine"}}})
    points = [2 * math.pi * k / 16 for k in range(16)]
    ds.upsert_sparse_vecotr(collection, [
        {"id": k, "vector": {"dense": [math.cos(a), math.sin(a)]},
         "payload": {"page_content": f"point {k}", "metadata": {}}} for k, a in enumerate(points)])
    if not conn.minio_client.bucket_exists(BUCKET):
        conn.minio_client.make_bucket(BUCKET)
    data = os.urandom(64 << 10)
    conn.minio_client.put_object(BUCKET, "object.bin", io.BytesIO(data), len(data))
    scope = "mosswork:worker:" + uuid.uuid4().hex
    tokens = [uuid.uuid4().hex for _ in range(TASKS)]
    started = time.monotonic()
    pending = [worker_app.job.apply_async((scope, t, BUCKET, "object.bin", collection), queue=queue)
               for t in tokens]
    replies = [r.get(timeout=max(120, TASKS / 10)) for r in pending]
    elapsed = time.monotonic() - started

    assert [r["token"] for r in replies] == tokens
    assert {r["md5"] for r in replies} == {hashlib.md5(data).hexdigest()}
    assert all(r["occupied"] and r["running"] >= 1 for r in replies)
    for token, reply in zip(tokens, replies):
        angle = worker_app.token_angle(token)
        nearest = max(range(16), key=lambda k: math.cos(angle - points[k]))
        assert (reply["hit"], reply["score"]) == (f"point {nearest}", pytest.approx(
            math.cos(angle - points[nearest]), abs=1e-9))
    assert len({r["pid"] for r in replies}) == 4, "all four children took tasks"
    assert ds.get_task_count(scope) == 0 and ds.get_task_doc_mappings(scope) == {}
    print(f"{TASKS} tasks through 4 prefork children in {elapsed:.1f} s")
    conn.r.delete(scope + ":values")
