"""Long-lived workers call the same functions millions of times: after 10,000 calls of every public
function of a module, succeeding and failing ones alike, the process holds no more descriptors or
sockets than before, and its resident memory has not grown beyond allocator noise."""

from __future__ import annotations

import ctypes
import gc
import io
import logging
import os
import sys
import uuid
from pathlib import Path

import pytest

from mosswork_utils import connections as conn
from mosswork_utils import exceptions as exc

pytestmark = [pytest.mark.usefixtures("servers"), pytest.mark.slow]

CALLS = 10_000
PAGE = os.sysconf("SC_PAGE_SIZE")
# A leak of one small object a call over 10,000 rounds of a module's calls is well above this.
RSS_SLACK = 8 << 20
HEAP_SLACK = 2 << 20
BUCKET = "mosswork-leaks"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def heap_bytes() -> int:
    """Bytes the C heap has handed out and not had back (what new and malloc hold)."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def usage() -> tuple[int, int, int]:
    fds = sockets = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{name}")
        except FileNotFoundError:  # the listing's own descriptor
            continue
        fds += 1
        sockets += target.startswith("socket:")
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * PAGE
    return fds, sockets, rss


def fails(kind, call):
    def run():
        with pytest.raises(kind):
            call()
    return run


def exercise(calls: dict, rounds: int = CALLS) -> None:
    """Warms up (pools fill, caches settle), then runs every call rounds times and compares."""
    # Pools, caches and interned names settle within a few hundred calls.
    for call in calls.values():
        for _ in range(300):
            call()
    # Python keeps freed tuples for reuse (up to 2000 of each size); a call that drops cyclic
    # garbage (a caught exception and its frames) refills them a batch at a time, so warm up
    # until the block count stops growing.
    for _ in range(20):
        gc.collect()
        before = sys.getallocatedblocks()
        for call in calls.values():
            for _ in range(50):
                call()
        gc.collect()
        if sys.getallocatedblocks() - before < 10:
            break
    gc.collect()
    fds, sockets, rss = usage()
    heap, blocks = heap_bytes(), sys.getallocatedblocks()
    for _ in range(rounds):
        for call in calls.values():
            call()
    gc.collect()
    fds2, sockets2, rss2 = usage()
    heap2, blocks2 = heap_bytes(), sys.getallocatedblocks()
    assert fds2 <= fds and sockets2 <= sockets, f"descriptors {fds} -> {fds2}, sockets {sockets} -> {sockets2}"
    # Resident memory hides a leak that reuses freed pages; the C heap and Python's own block
    # count do not.
    assert heap2 - heap < HEAP_SLACK, f"the C heap grew by {(heap2 - heap) >> 10} KiB"
    assert blocks2 - blocks < rounds, f"{blocks2 - blocks} more Python objects"
    assert rss2 - rss < RSS_SLACK, f"resident memory grew by {(rss2 - rss) >> 10} KiB"


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    # Failing calls log; captured records would be the only thing that grows.
    monkeypatch.setattr(logging.getLogger("mosswork_utils"), "disabled", True)


@pytest.fixture(scope="module")
def stored():
    if not conn.minio_client.bucket_exists(BUCKET):
        conn.minio_client.make_bucket(BUCKET)
    import docx

    document = docx.Document()
    document.add_paragraph("知识库 leak check " * 20)
    buf = io.BytesIO()
    document.save(buf)
    objects = {"small.bin": os.urandom(4096), "doc.docx": buf.getvalue(), "corrupt.docx": b"PK\x03\x04 no zip"}
    for key, data in objects.items():
        conn.minio_client.put_object(BUCKET, key, io.BytesIO(data), len(data))
    return objects


def test_connections(stored):
    key = "leak:" + uuid.uuid4().hex
    down = conn.Redis(host="127.0.0.1", port=1, socket_timeout=1)
    calls = {
        "set": lambda: conn.r.set(key, b"v" * 100),
        "get": lambda: conn.r.get(key),
        "hset": lambda: conn.r.hset(key + ":h", "f", "x"),
        "missing": lambda: conn.r.get(key + ":none"),
        "refused": fails(exc.RedisConnectionError, lambda: down.get(key)),
        "wrongtype": fails(exc.ResponseError, lambda: conn.r.execute_command("LPUSH", key + ":h", 1)),
        "scroll_404": fails(exc.UnexpectedResponse,
                            lambda: conn.vexlo_client.scroll(collection_name="leak_none", limit=1)),
        "source_404": fails(exc.NotFoundError, lambda: conn.opensearch_client.get_source(
            index="kb_documents", id="leak-none")),
    }
    try:
        exercise(calls)
        # The local S3 server takes 3 ms a request: a tenth of the rounds.
        exercise({
            "stat": lambda: conn.minio_client.stat_object(BUCKET, "small.bin"),
            "get_object": lambda: conn.minio_client.get_object(BUCKET, "small.bin").read(),
            "no_object": fails(exc.S3Error, lambda: conn.minio_client.stat_object(BUCKET, "none.bin")),
        }, CALLS // 10)
    finally:
        conn.r.delete(key, key + ":h")


def test_datastore(stored, tmp_path):
    from mosswork_utils import datastore as ds

    scope = "leak:" + uuid.uuid4().hex
    missing = Path(tmp_path, "none.pdf")
    lock = Path(tmp_path, "lock")
    small = Path(tmp_path, "small.bin")
    small.write_bytes(stored["small.bin"])

    def locked():
        with ds.file_lock(str(lock), timeout=1):
            pass

    def accounting():
        ds.increment_task_count_with_doc(scope, "t", "d")
        ds.is_doc_occupied(scope, "d")
        ds.get_occupied_doc_ids(scope)
        ds.decrement_task_count_with_doc(scope, "t")

    calls = {
        "values": lambda: (ds.hset_redis_data(scope + ":v", "k", {"文": [1, 2.5]}),
                           ds.get_redis_data(scope + ":v", "k"), ds.getall_redis_data(scope + ":v"),
                           ds.hscan_redis_data(scope + ":v", "*"), ds.redis_hkey_exists(scope + ":v", "k"),
                           ds.hlen_redis_key(scope + ":v"), ds.hdel_redis_data(scope + ":v", "k")),
        "default": lambda: ds.get_redis_data(scope + ":none", "k"),
        "sets": lambda: (ds.redis_sadd(scope + ":s", "a"), ds.redis_scard(scope + ":s"),
                         ds.redis_srem(scope + ":s", "a"), ds.redis_expire(scope + ":s", 60),
                         ds.redis_key_exists(scope + ":s"), ds.delete_redis_key(scope + ":s")),
        "lock": lambda: ds.redis_lock(scope + ":lock", timeout=5).acquire() and None,
        "retry": lambda: (ds.increment_retry_count(scope), ds.get_retry_count(scope),
                          ds.reset_retry_count(scope)),
        "accounting": accounting,
        "limits": lambda: (ds.get_kb_task_limit(), ds.get_enhanced_pdf_task_limit(),
                           ds.is_enhanced_pdf_loader("x")),
        "file_lock": locked,
        "md5": lambda: ds.calculate_file_md5(str(small)),
        "md5_missing": fails(OSError, lambda: ds.calculate_file_md5(str(missing))),
        "no_document": fails(OSError, lambda: ds._read_document_text(str(missing))),
    }
    try:
        exercise(calls)
        conn.r.delete(scope + ":lock")
        # Each of these moves a file through the object store (3 ms a request to the local S3
        # server): a twentieth of the rounds keeps the module's test inside its minute and still
        # shows a descriptor or buffer left behind by a call.
        exercise({
            "download": lambda: ds.download_from_minio(BUCKET, "small.bin", "small.bin"),
            "bytesio": lambda: ds.download_as_bytesio(BUCKET, "small.bin"),
            "docx_text": lambda: ds.read_minio_file_text(BUCKET, "doc.docx", "doc.docx"),
            "corrupt_docx": lambda: ds.read_minio_file_text(BUCKET, "corrupt.docx", "corrupt.docx"),
            "no_object": lambda: ds.download_from_minio(BUCKET, "none.bin", "none.bin"),
            "fulltext_none": lambda: ds.get_doc_fulltext_opensearch("leak-none"),
        }, CALLS // 20)
    finally:
        conn.r.delete(scope, scope + ":mappings", scope + ":v", scope + ":lock")


def test_ocr(tmp_path):
    from mosswork_utils import ocr

    text_pdf = Path(tmp_path, "text.pdf")
    import pymupdf

    doc = pymupdf.open()
    doc.new_page().insert_text((50, 72), "leak check", fontsize=12)
    doc.save(str(text_pdf))
    calls = {
        "is_scanned_pdf": lambda: ocr.is_scanned_pdf(str(text_pdf)),
        "not_a_pdf": lambda: ocr.is_scanned_pdf(str(tmp_path / "none.pdf")),
        "not_an_image": fails(exc.HTTPError, lambda: ocr.get_image_ocr_txt(b"not an image")),
    }
    exercise(calls, CALLS // 10)


def test_notices_and_plugins():
    from mosswork_utils import notices, plugins

    calls = {
        "notice": lambda: notices.SqlNoResultInfo("no rows").message,
        "sync": plugins.redis_update_plugins_chains,
    }
    exercise(calls)


def test_chatwrapper():
    import asyncio
    from types import SimpleNamespace

    from mosswork_utils import chatwrapper as cw

    answer = SimpleNamespace(id="a1", content="答案", response_metadata={"finish_reason": "stop"})

    class Model:
        async def ainvoke(self, messages, config=None):
            return answer

        async def astream(self, messages, config=None):
            for piece in ("a", "b", SimpleNamespace(content="c")):
                yield piece

    wrapper = cw.OpenAIStyleWrapper(Model())
    request = SimpleNamespace(messages=[{"role": "user", "content": "hi"}], model="m", temperature=0.5)
    empty = SimpleNamespace(messages=[], model="m", temperature=None)
    loop = asyncio.new_event_loop()

    async def stream(req):
        return [p async for p in wrapper.astream(req)]

    calls = {
        "transform": lambda: cw._transform(request),
        "no_messages": fails(ValueError, lambda: cw._transform(empty)),
        "format": lambda: cw.format_openai_chat_response(answer, "m", 1.5),
        "bad_name": fails(TypeError, lambda: cw.format_openai_chat_response(answer, None)),
        "ainvoke": lambda: loop.run_until_complete(wrapper.ainvoke(request)),
        "ainvoke_refused": fails(ValueError, lambda: loop.run_until_complete(wrapper.ainvoke(empty))),
        "astream": lambda: loop.run_until_complete(stream(request)),
    }
    try:
        exercise(calls)
    finally:
        loop.close()


def test_vector_store(vexlo):
    import asyncio

    from mosswork_utils import datastore as ds

    name = vexlo.prefix + "_leak"
    ds.recreate_collection(name, {"dense": {"size": 4, "distance": "Cosine"}}, 1, 1, {},
                           {"sparse": {}})
    points = [{"id": i, "vector": {"dense": [1.0, i, 0.5, -i], "sparse": {"indices": [i], "values": [0.5]}},
               "payload": {"page_content": f"段落 {i}", "metadata": {"node_id": f"n{i}", "enabled": True}}}
              for i in range(5)]
    # A lone surrogate is refused as a format error and repaired; a wrong dimension is refused.
    repaired = [{"id": 9, "vector": {"dense": [1.0, 0, 0, 0]}, "payload": {"page_content": "x\ud800", "metadata": {}}}]
    refused = [{"id": 9, "vector": {"dense": [1.0]}, "payload": {}}]
    question = {"collection": name, "prefetch": None, "query": [1.0, 0.2, 0.1, 0.0], "using": "dense",
                "limit": 3, "score_threshold": None, "filter": None}
    loop = asyncio.new_event_loop()
    run = loop.run_until_complete
    calls = {
        "exists": lambda: ds.collection_exists(name),
        "get": lambda: ds.get_collection(name),
        "get_missing": lambda: ds.get_collection(name + "_none"),
        "upsert": lambda: ds.upsert_sparse_vecotr(name, points),
        "repaired": lambda: ds.upsert_sparse_vecotr(name, repaired),
        "refused": fails(exc.ApplicationError, lambda: ds.upsert_sparse_vecotr(name, refused)),
        "aupsert": lambda: run(ds.aupsert_sparse_vecotr(name, points)),
        "query": lambda: ds.query(**question),
        "aquery": lambda: run(ds.aquery(**question)),
        "aquery_missing": fails(exc.ApplicationError, lambda: run(ds.aquery(**{**question, "collection": name + "_none"}))),
        "scroll": lambda: ds.scroll_vexlo(name, None),
        "payload": lambda: ds.set_payload_by_key(name, "metadata", {"enabled": True}, points=[1]),
        "apayload": lambda: run(ds.aset_payload_by_key(name, "metadata", {"enabled": False}, [1], None)),
        "node": lambda: ds.get_document_nodes_from_vs(name, "n1"),
        "clean": lambda: ds.clean_json_data({"k": ["x\ud800", ("t",), 1.5]}),
    }
    try:
        # Each round is a dozen exchanges with the Python stand-in: a tenth of the rounds.
        exercise(calls, CALLS // 10)
    finally:
        loop.close()


def test_tracetools(fake_langfuse, monkeypatch, tmp_path):
    import tempfile

    from langchain_core.callbacks import CallbackManager
    from test_tracetools import obs, trace

    from mosswork_utils import tracetools

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))

    def report():
        os.unlink(tracetools.langfuse_profiling("t"))

    def no_generation():
        with pytest.raises(AssertionError):
            tracetools.langfuse_profiling("t")
        for left in tmp_path.iterdir():
            left.unlink()

    callbacks = {"callbacks": CallbackManager(handlers=[])}
    fake_langfuse(trace(12))
    # Each report carries plotly.js (3.6 MB): a hundredth of the rounds.
    exercise({"report": report, "lookup": lambda: tracetools.get_langfuse_handler(callbacks)},
             CALLS // 100)
    fake_langfuse([obs(1, "vynStrOutputParser")])
    exercise({"no_generation": no_generation}, CALLS // 100)
