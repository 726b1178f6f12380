"""The HTTP clients of connections against moto's S3 server and our stand-ins: objects,
document sources and vector scrolls, blocking and on the event loop."""

from __future__ import annotations

import asyncio
import hashlib
import io
import json
import urllib.request
import uuid

import pytest

from mosswork_utils import connections as conn
from mosswork_utils import datastore as ds
from mosswork_utils import exceptions as exc

pytestmark = pytest.mark.usefixtures("servers")


@pytest.fixture(scope="module")
def bucket():
    name = "test-" + uuid.uuid4().hex[:12]
    conn.minio_client.make_bucket(name)
    return name


class TestObjectStore:
    def test_single_part_object(self, bucket):
        data = "正文 text ".encode() * 1000
        conn.minio_client.put_object(bucket, "docs/a 1.pdf", io.BytesIO(data), len(data))
        st = conn.minio_client.stat_object(bucket, "docs/a 1.pdf")
        assert st.size == len(data)
        assert st.etag == hashlib.md5(data).hexdigest()
        assert st.last_modified.tzinfo is not None
        stream = conn.minio_client.get_object(bucket, "docs/a 1.pdf")
        try:
            assert stream.read(10) == data[:10]
            assert stream.read() == data[10:]
        finally:
            stream.close()
            stream.release_conn()

    def test_multipart_object_streams_in_chunks(self, bucket, tmp_path):
        data = bytes(range(256)) * (12 * 1024 * 1024 // 256)
        path = tmp_path / "big.bin"
        path.write_bytes(data)
        written = conn.minio_client.fput_object(bucket, "big.bin", str(path))
        st = conn.minio_client.stat_object(bucket, "big.bin")
        assert st.etag == written.etag and st.etag.endswith("-3") and st.size == len(data)
        digest = hashlib.md5()
        sizes = set()
        with conn.minio_client.get_object(bucket, "big.bin") as body:
            for chunk in body.stream(1024 * 1024):
                sizes.add(len(chunk))
                digest.update(chunk)
        assert digest.hexdigest() == hashlib.md5(data).hexdigest()
        assert max(sizes) == 1024 * 1024

    def test_the_native_upload_takes_any_bytes_like(self, bucket):
        # The native client under the published one reads a file object itself.
        class Reader(io.BytesIO):
            def read(self, n=-1):
                return bytearray(super().read(n))

        conn._NativeMinio.put_object(conn.minio_client, bucket, "bytearray", Reader(b"\x00body"), 5)
        with conn.minio_client.get_object(bucket, "bytearray") as body:
            assert body.read() == b"\x00body"

    def test_store_errors_carry_their_fields(self, bucket):
        with pytest.raises(exc.S3Error) as info:
            conn.minio_client.stat_object(bucket, "absent.pdf")
        e = info.value
        assert (e.code, e.bucket_name, e.object_name) == ("NoSuchKey", bucket, "absent.pdf")
        with pytest.raises(exc.S3Error) as info:
            conn.minio_client.get_object(bucket, "absent.pdf")
        e = info.value  # read from the error document, which names the key only
        assert (e.code, e.object_name) == ("NoSuchKey", "absent.pdf")
        assert e.message
        with pytest.raises(exc.S3Error) as info:
            conn.minio_client.stat_object("no-such-bucket-" + uuid.uuid4().hex[:8], "x")
        assert info.value.code in ("NoSuchBucket", "NoSuchKey")

    def test_pool_is_the_shared_transport(self):
        assert conn.http_client.maxsize == 100 and conn.http_client.timeout == 30.0
        assert (conn.retry.total, conn.retry.backoff_factor) == (3, 0.5)
        assert conn.retry.status_forcelist == [500, 502, 503, 504]


class TestOpenSearch:
    def test_source_found_and_missing(self):
        index = conn.config["opensearch_index"]
        conn.opensearch_client.index(index=index, body={"document_plaintext": "全文 of 42"},
                                     id="document_42")
        assert conn.opensearch_client.get_source(index=index, id="document_42") == {
            "document_plaintext": "全文 of 42"}
        with pytest.raises(exc.NotFoundError) as info:
            conn.opensearch_client.get_source(index=index, id="document_missing")
        assert info.value.status_code == 404

    def test_password_with_separators_reaches_the_configured_host(self):
        # Spliced into a URL this password would name another host; here the configured host
        # answers and refuses the credentials.
        client = conn.OpenSearch("http://admin:p@ss:w/rd@127.0.0.1:9200", use_ssl=False)
        with pytest.raises(exc.TransportError) as info:
            client.get_source(index="kb_documents", id="document_42")
        assert info.value.status_code == 401
        assert not isinstance(info.value, exc.NotFoundError)

    def test_unreachable_is_a_connection_error(self):
        client = conn.OpenSearch(hosts=[{"host": "127.0.0.1", "port": 1}], http_auth=("a", "b"))
        with pytest.raises(exc.SearchConnectionError):
            client.get_source(index="i", id="x")


def vexlo_call(method, path, body=None):
    base = f"http://127.0.0.1:{conn.config['vexlo_port']}"
    req = urllib.request.Request(base + path, method=method,
                                 data=None if body is None else json.dumps(body).encode(),
                                 headers={"api-key": conn.config["vexlo_api_key"],
                                          "Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=10) as r:
        return json.loads(r.read())


@pytest.fixture(scope="module")
def collection():
    name = "kb_" + uuid.uuid4().hex[:8]
    vexlo_call("PUT", f"/collections/{name}", {"vectors": {"size": 4, "distance": "Cosine"}})
    points = [{"id": i, "vector": [0.1, 0.2, 0.3, 0.4],
               "payload": {"page_content": f"段 {i}", "metadata": {"doc_id": i % 3, "i": i}}}
              for i in range(1, 391)]
    vexlo_call("PUT", f"/collections/{name}/points", {"points": points})
    return name


DOC0 = {"must": [{"key": "metadata.doc_id", "match": {"value": 0}}]}


class TestVectorScroll:
    def test_pages_until_the_offset_runs_out(self, collection):
        pages, offset, ids = 0, None, []
        while True:
            records, offset = conn.vexlo_client.scroll(collection_name=collection, limit=64,
                                                       scroll_filter=DOC0, offset=offset)
            pages += 1
            ids += [r.id for r in records]
            assert all(r.payload["metadata"]["doc_id"] == 0 for r in records)
            if not offset:
                break
        assert pages == 3 and ids == list(range(3, 391, 3))  # 64, 64, 2

    def test_asynchronous_scroll_matches(self, collection):
        async def main():
            first = await conn.async_vexlo_client.scroll(collection_name=collection, limit=4,
                                                         scroll_filter=DOC0)
            both = await asyncio.gather(
                conn.async_vexlo_client.scroll(collection_name=collection, limit=2),
                conn.get_async_vexlo_client().scroll(collection_name=collection, limit=3,
                                                     offset=10))
            return first, both

        (records, offset), (a, b) = asyncio.run(main())
        assert [r.id for r in records] == [3, 6, 9, 12] and offset == 15
        assert [r.id for r in a[0]] == [1, 2] and [r.id for r in b[0]] == [10, 11, 12]
        assert records[0].payload == {"page_content": "段 3", "metadata": {"doc_id": 0, "i": 3}}

    def test_errors_reach_the_caller(self, collection):
        with pytest.raises(exc.UnexpectedResponse) as info:
            conn.vexlo_client.scroll(collection_name="absent_" + collection, limit=1)
        assert info.value.status_code == 404
        bad = conn.VexloClient(url="127.0.0.1", port=conn.config["vexlo_port"], api_key="wrong",
                               https=False)
        with pytest.raises(exc.UnexpectedResponse) as info:
            bad.scroll(collection_name=collection, limit=1)
        assert info.value.status_code == 401

        async def main():
            with pytest.raises(exc.UnexpectedResponse):
                await conn.AsyncVexloClient(url="127.0.0.1", port=conn.config["vexlo_port"],
                                            api_key="wrong", https=False).scroll(collection, 1)

        asyncio.run(main())

    def test_factories_build_fresh_clients_from_the_current_config(self, monkeypatch):
        a, b = conn.get_vexlo_client(), conn.get_vexlo_client()
        assert a is not b and a.base_url == b.base_url == "http://127.0.0.1:6333"
        monkeypatch.setitem(conn.config, "vexlo_port", 6399)
        assert conn.get_vexlo_client().base_url == "http://127.0.0.1:6399"
        assert conn.get_async_vexlo_client().base_url == "http://127.0.0.1:6399"
        assert conn.vexlo_client.base_url == "http://127.0.0.1:6333"


def _put(data):
    name = "args-" + uuid.uuid4().hex[:12]
    conn.minio_client.make_bucket(name)
    conn.minio_client.put_object(name, "o", data, 4)
    return name


def _object_stream():
    return conn.minio_client.get_object(_put(io.BytesIO(b"body")), "o")


def _datastore_with_r(value):
    saved = conn.r
    conn.r = value
    try:
        return ds.redis_keys("*")
    finally:
        conn.r = saved


# A wrong value for one argument of a client, and the error that names it.
WRONG_ARGUMENTS = [
    (lambda: conn.r.lock("x", timeout="x"), TypeError, "timeout must be a number, not str"),
    (lambda: conn.r.lock("x", blocking_timeout=[1]), TypeError,
     "blocking_timeout must be a number, not list"),
    (lambda: conn.r.lock("x").acquire(blocking="yes"), TypeError, "blocking must be a bool, not str"),
    (lambda: conn.Redis(port=[6379]), TypeError, "port must be an integer, not list"),
    (lambda: conn.Redis(port=10**20), OverflowError, "port is out of range"),
    (lambda: conn.Redis(db=None, socket_timeout="5"), TypeError,
     "socket_timeout must be a number, not str"),
    (lambda: conn.Redis(max_connections=object()), TypeError,
     "max_connections must be an integer, not object"),
    (lambda: conn.Sentinel([("127.0.0.1", "x")]), TypeError,
     "sentinel port must be an integer, not str"),
    (lambda: conn.Retry(status_forcelist=["500"]), TypeError,
     "status_forcelist item must be an integer, not str"),
    (lambda: conn.PoolManager(retries=3), TypeError, "retries must be a Retry, not int"),
    (lambda: conn.PoolManager(timeout="30"), TypeError, "timeout must be a number, not str"),
    (lambda: conn.Minio("127.0.0.1:9000", http_client="pool"), ValueError,
     "HTTP client should be instance of `urllib3.PoolManager`"),
    (lambda: conn.Redis.get(5, "k"), TypeError, "self must be a _RedisBase, not int"),
    (lambda: _object_stream().read("2"), TypeError, "amt must be an integer, not str"),
    (lambda: _put(io.StringIO("body")), ValueError, "read() must return 'bytes' object"),
    (lambda: conn.OpenSearch(hosts=[("127.0.0.1", 9200)]), TypeError,
     "each of hosts must be a dict, not tuple"),
    (lambda: conn.OpenSearch(hosts=[{"host": "127.0.0.1", "port": "x"}]), TypeError,
     "port must be an integer, not str"),
    (lambda: conn.OpenSearch(http_auth="ab"), TypeError,
     "http_auth must be a (user, password) pair, not str"),
    (lambda: conn.VexloClient(timeout="20"), TypeError, "timeout must be a number, not str"),
    (lambda: conn.VexloClient(https="no"), TypeError, "https must be a bool, not str"),
    (lambda: conn.AsyncVexloClient(port=[6333]), TypeError, "port must be an integer, not list"),
    (lambda: ds.redis_lock("x", timeout="x"), TypeError, "timeout must be a number, not str"),
    (lambda: _datastore_with_r({}), TypeError, "connections.r must be a _RedisBase, not dict"),
]


@pytest.mark.parametrize("call, error, text", WRONG_ARGUMENTS,
                         ids=[text for _, _, text in WRONG_ARGUMENTS])
def test_a_wrong_argument_is_named(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == text
