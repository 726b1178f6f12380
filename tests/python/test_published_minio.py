"""The published Minio against minio-py's own client with its own urllib3 pool: the same calls
on moto's S3 server, each client in buckets of its own, compared reply by reply (attribute by
attribute for minio-py's types), with the side effects and the exceptions' classes and texts."""

from __future__ import annotations

import collections.abc
import datetime
import io
import json
import os
import threading
import urllib.request
import uuid

import minio
import minio.error
import pytest
import urllib3
from minio.commonconfig import ENABLED, REPLACE, CopySource, Tags
from minio.datatypes import PostPolicy
from minio.deleteobjects import DeleteObject
from minio.versioningconfig import VersioningConfig

from conftest import outcome
from mosswork_utils import connections as conn
from mosswork_utils import exceptions as exc

pytestmark = pytest.mark.usefixtures("servers")

MIB = 1024 * 1024
# Headers that differ between any two requests, whoever sends them.
VOLATILE = {"date", "x-amz-request-id", "x-amzn-requestid", "x-amz-id-2", "last-modified",
            "x-amz-version-id"}


@pytest.fixture(scope="module")
def clients():
    theirs = minio.Minio(conn.minio_endpoint, access_key=conn.minio_access_key,
                         secret_key=conn.minio_secret_key, secure=False)
    return conn.minio_client, theirs


def plain(value, bucket):
    """A reply as plain values, the client's own bucket name and what changes between requests
    (times, version ids, request ids) neutralised."""
    if isinstance(value, str):
        return value.replace(bucket, "B")
    if isinstance(value, (bytes, int, float, bool, type(None))):
        return value
    if isinstance(value, datetime.datetime):
        return "datetime"
    if isinstance(value, collections.abc.Mapping):
        return {str(k).lower(): plain(v, bucket) for k, v in value.items()
                if str(k).lower() not in VOLATILE}
    if isinstance(value, (list, tuple)) or isinstance(value, collections.abc.Iterator):
        return [plain(v, bucket) for v in value]
    if type(value).__module__.startswith("minio"):
        fields = {k: getattr(value, k) for k in dir(value)
                  if not k.startswith("_") and not callable(getattr(value, k))}
        return {"type": type(value).__name__, **{
            k: (v is not None) if k == "version_id" else plain(v, bucket)
            for k, v in fields.items()}}
    return value


def body(response):
    try:
        return response.read()
    finally:
        response.close()
        response.release_conn()


def put(c, b, name, data=b"data", **kw):
    return c.put_object(b, name, io.BytesIO(data), len(data), **kw)


def fetch(url, data=None, method="GET", headers=None):
    request = urllib.request.Request(url, data=data, method=method, headers=headers or {})
    with urllib.request.urlopen(request, timeout=30) as answer:
        return answer.status, answer.read()


def post_policy(c, b):
    policy = PostPolicy(b, datetime.datetime.now(datetime.timezone.utc) +
                        datetime.timedelta(minutes=10))
    policy.add_starts_with_condition("key", "up/")
    form = c.presigned_post_policy(policy)
    fields = {**form, "key": "up/posted", "file": ("posted", b"posted body")}
    data, content_type = urllib3.encode_multipart_formdata(fields)
    status, _ = fetch(f"http://{conn.minio_endpoint}/{b}", data, "POST",
                      {"Content-Type": content_type})
    return sorted(form), status, body(c.get_object(b, "up/posted"))


def versions(c, b, name):
    return [o.version_id for o in c.list_objects(b, prefix=name, include_version=True)]


def fget(c, b, name, tmp):
    path = os.path.join(tmp, f"{uuid.uuid4().hex}.bin")
    c.fget_object(b, name, path)
    with open(path, "rb") as f:
        return f.read()


def fput(c, b, name, tmp, data, **kw):
    path = os.path.join(tmp, f"{uuid.uuid4().hex}.src")
    with open(path, "wb") as f:
        f.write(data)
    return c.fput_object(b, name, path, **kw)


BIG = bytes(range(256)) * (11 * MIB // 256)
POLICY = {"Version": "2012-10-17", "Statement": [{
    "Effect": "Allow", "Principal": {"AWS": ["*"]}, "Action": ["s3:GetObject"],
    "Resource": ["arn:aws:s3:::BUCKET/*"]}]}


# Each family is a list of calls (client, its bucket, a temporary folder), run in order.
FAMILIES = {
    "buckets": [
        lambda c, b, t: c.bucket_exists(b),
        lambda c, b, t: c.bucket_exists(b + "-absent"),
        lambda c, b, t: b in [x.name for x in c.list_buckets()],
        lambda c, b, t: c.make_bucket(b + "-x"),
        lambda c, b, t: c.make_bucket(b + "-x"),  # already there
        lambda c, b, t: c.remove_bucket(b + "-x"),
        lambda c, b, t: c.remove_bucket(b + "-x"),  # NoSuchBucket
        lambda c, b, t: c.bucket_exists(b + "-x"),
        lambda c, b, t: c.make_bucket("Bad_Name"),  # refused before sending
    ],
    "listing": [
        lambda c, b, t: [put(c, b, n) for n in ("a/1", "a/2", "a/b/3", "c", "d é")],
        lambda c, b, t: c.list_objects(b),
        lambda c, b, t: c.list_objects(b, prefix="a/"),
        lambda c, b, t: c.list_objects(b, recursive=True),
        lambda c, b, t: c.list_objects(b, recursive=True, start_after="a/2"),
        lambda c, b, t: c.list_objects(b, prefix="a/", recursive=True, use_api_v1=True),
        lambda c, b, t: list(c.list_objects(b + "-absent")),
    ],
    "ranges": [
        lambda c, b, t: put(c, b, "r", bytes(range(200)), content_type="text/plain"),
        lambda c, b, t: body(c.get_object(b, "r")),
        lambda c, b, t: body(c.get_object(b, "r", offset=10, length=20)),
        lambda c, b, t: body(c.get_object(b, "r", offset=150)),
        lambda c, b, t: list(c.get_object(b, "r").stream(64)),
        lambda c, b, t: c.get_object(b, "r").headers,
        lambda c, b, t: c.stat_object(b, "r"),
        lambda c, b, t: c.stat_object(b, "absent"),
        lambda c, b, t: c.get_object(b, "absent"),
        lambda c, b, t: c.get_object(b + "-absent", "r"),
        lambda c, b, t: fget(c, b, "r", t),
        lambda c, b, t: fget(c, b, "absent", t),
    ],
    "uploads": [
        lambda c, b, t: put(c, b, "m", b"meta", metadata={"x-amz-meta-k": "v", "Kind": "ok"}),
        lambda c, b, t: c.stat_object(b, "m"),
        lambda c, b, t: c.put_object(b, "big", io.BytesIO(BIG), -1, part_size=5 * MIB),
        lambda c, b, t: c.stat_object(b, "big"),
        lambda c, b, t: body(c.get_object(b, "big")) == BIG,
        lambda c, b, t: fput(c, b, "fbig", t, BIG, part_size=5 * MIB, metadata={"k": "f"},
                             content_type="application/pdf"),
        lambda c, b, t: c.stat_object(b, "fbig"),
        lambda c, b, t: fget(c, b, "fbig", t) == BIG,
        lambda c, b, t: put(c, b + "-absent", "m"),
    ],
    "copies and removal": [
        lambda c, b, t: put(c, b, "src", b"source", metadata={"k": "1"}),
        lambda c, b, t: c.copy_object(b, "dst", CopySource(b, "src")),
        lambda c, b, t: (c.stat_object(b, "dst"), body(c.get_object(b, "dst"))),
        lambda c, b, t: c.copy_object(b, "dst2", CopySource(b, "src"), metadata={"k": "2"},
                                      metadata_directive=REPLACE),
        lambda c, b, t: c.stat_object(b, "dst2").metadata,
        lambda c, b, t: c.copy_object(b, "dst3", CopySource(b, "absent")),
        lambda c, b, t: c.remove_object(b, "dst"),
        lambda c, b, t: c.remove_object(b, "dst"),  # deleting nothing succeeds
        lambda c, b, t: c.remove_objects(b, [DeleteObject("src"), DeleteObject("dst2"),
                                             DeleteObject("never")]),
        lambda c, b, t: c.list_objects(b, recursive=True),
    ],
    "versions": [
        lambda c, b, t: c.set_bucket_versioning(b, VersioningConfig(ENABLED)),
        lambda c, b, t: c.get_bucket_versioning(b).status,
        lambda c, b, t: [put(c, b, "v", d).version_id is not None for d in (b"one", b"two")],
        lambda c, b, t: c.list_objects(b, include_version=True),
        lambda c, b, t: body(c.get_object(b, "v", version_id=versions(c, b, "v")[-1])),
        lambda c, b, t: c.remove_object(b, "v", version_id=versions(c, b, "v")[0]),
        lambda c, b, t: [body(c.get_object(b, "v")), len(versions(c, b, "v"))],
        lambda c, b, t: c.stat_object(b, "v", version_id="no-such-version"),
    ],
    "tags and policy": [
        lambda c, b, t: put(c, b, "t"),
        lambda c, b, t: c.get_object_tags(b, "t"),
        lambda c, b, t: c.set_object_tags(b, "t", tag_set({"a": "1", "b": "二"})),
        lambda c, b, t: c.get_object_tags(b, "t"),
        lambda c, b, t: c.delete_object_tags(b, "t"),
        lambda c, b, t: c.get_object_tags(b, "t"),
        lambda c, b, t: c.set_bucket_tags(b, tag_set({"team": "kb"}, bucket=True)),
        lambda c, b, t: c.get_bucket_tags(b),
        lambda c, b, t: c.get_bucket_policy(b),  # none yet
        lambda c, b, t: c.set_bucket_policy(b, json.dumps(POLICY).replace("BUCKET", b)),
        lambda c, b, t: json.loads(c.get_bucket_policy(b)),
        lambda c, b, t: c.delete_bucket_policy(b),
        lambda c, b, t: c.get_bucket_notification(b),
    ],
    "presigned": [
        lambda c, b, t: put(c, b, "p", b"presigned body"),
        lambda c, b, t: fetch(c.presigned_get_object(b, "p")),
        lambda c, b, t: fetch(c.presigned_get_object(b, "p", expires=datetime.timedelta(minutes=5),
                                                     response_headers={
                                                         "response-content-type": "x/y"})),
        lambda c, b, t: fetch(c.presigned_put_object(b, "pp"), b"put by url", "PUT"),
        lambda c, b, t: body(c.get_object(b, "pp")),
        lambda c, b, t: post_policy(c, b),
    ],
}


def tag_set(items, bucket=False):
    tags = Tags.new_bucket_tags() if bucket else Tags.new_object_tags()
    tags.update(items)
    return tags


def neutral_error(error, bucket):
    fields = [type(error).__name__, str(error)]
    if isinstance(error, minio.error.S3Error):
        for volatile in (error.request_id, error.host_id):
            if volatile:
                fields[1] = fields[1].replace(volatile, "ID")
        fields += [error.code, error.message, error.resource, error.bucket_name,
                   error.object_name]
    return plain(fields, bucket)


@pytest.mark.parametrize("family", FAMILIES)
def test_calls_answer_as_the_library_does(clients, family, tmp_path):
    ours, theirs = clients
    buckets = []
    for c in clients:
        name = f"pm-{'o' if c is ours else 'l'}-{uuid.uuid4().hex[:10]}"  # equal lengths
        c.make_bucket(name)
        buckets.append(name)
    for step, call in enumerate(FAMILIES[family]):
        where = f"{family} step {step}"
        (kind, mine), (want_kind, want) = (
            outcome(lambda c=c, b=b: plain(call(c, b, str(tmp_path)), b))
            for c, b in zip(clients, buckets))
        assert kind == want_kind, (where, mine, want)
        if kind == "ok":
            assert mine == want, where
            continue
        assert neutral_error(mine, buckets[0]) == neutral_error(want, buckets[1]), where
        if isinstance(want, minio.error.S3Error):
            # The package's class, a subclass of minio-py's, is what the published client raises.
            assert isinstance(mine, exc.S3Error) and isinstance(mine, type(want)), where


def test_store_errors_are_caught_as_minio_errors(clients):
    ours, _ = clients
    with pytest.raises(minio.error.S3Error) as info:
        ours.stat_object("no-such-bucket-" + uuid.uuid4().hex[:8], "x")
    assert isinstance(info.value, exc.S3Error)
    assert str(info.value).startswith("S3 operation failed; code: NoSuch")


def test_threads_and_a_forked_child_share_the_pool(clients):
    ours, _ = clients
    bucket = "pm-shared-" + uuid.uuid4().hex[:10]
    ours.make_bucket(bucket)
    errors = []

    def worker(n):
        try:
            for i in range(10):
                data = f"{n}-{i}".encode() * 100
                put(ours, bucket, f"{n}/{i}", data)
                assert body(ours.get_object(bucket, f"{n}/{i}")) == data
                assert ours.stat_object(bucket, f"{n}/{i}").size == len(data)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(list(ours.list_objects(bucket, recursive=True))) == 40
    pid = os.fork()
    if pid == 0:
        ok = body(ours.get_object(bucket, "0/0")) == b"0-0" * 100 and \
            len(list(ours.list_objects(bucket, prefix="1/", recursive=True))) == 10
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert ours.stat_object(bucket, "3/9").size == 300


AUTH = urllib3.make_headers(basic_auth="admin:ferny")
# urlopen and request as minio-py and other urllib3 users call them.
POOL_CALLS = [
    lambda p, a: p.urlopen("GET", f"http://{a}/"),
    lambda p, a: p.urlopen("GET", f"http://{a}/", headers=AUTH),
    lambda p, a: p.urlopen("HEAD", f"http://{a}/absent", headers=AUTH),
    lambda p, a: p.request("GET", f"http://{a}/", fields={"q": "a b"}, headers=AUTH),
    lambda p, a: p.request("POST", f"http://{a}/absent/_count", json={"query": {}},
                           headers=AUTH),
    lambda p, a: p.urlopen("POST", f"http://{a}/absent/_search", body="{\"é\": 1}",
                           headers={**AUTH, "Content-Type": "application/json"}, timeout=5.0),
    lambda p, a: streamed(p.urlopen("GET", f"http://{a}/", headers=AUTH, preload_content=False)),
    lambda p, a: p.urlopen("GET", "http://127.0.0.1:1/"),
]


def streamed(response):
    return [response.read(3), response.tell(), response.read(), response.data, response.closed]


def answer(value):
    if isinstance(value, (urllib3.BaseHTTPResponse, conn.HTTPResponse)):
        headers = {k.lower(): v for k, v in value.headers.items() if k.lower() != "date"}
        return value.status, value.reason, headers, value.data, value.getheader("content-type")
    return value


@pytest.mark.parametrize("call", POOL_CALLS)
def test_the_pool_answers_as_urllib3_does(opensearch_standin, call):
    pools = (conn.PoolManager(retries=conn.Retry(total=1), timeout=5.0),
             urllib3.PoolManager(retries=urllib3.Retry(total=1), timeout=5.0))
    (kind, mine), (want_kind, want) = (outcome(lambda p=p: answer(call(p, opensearch_standin)))
                                       for p in pools)
    assert kind == want_kind, (mine, want)
    if kind == "ok":
        assert mine == want
    else:
        assert type(mine) is type(want) is urllib3.exceptions.MaxRetryError
        assert mine.url == "http://127.0.0.1:1/" and str(mine).startswith(
            "None: Max retries exceeded with url: http://127.0.0.1:1/ (Caused by ")
    assert isinstance(pools[0], urllib3.PoolManager)
