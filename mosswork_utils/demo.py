"""The typical road of the service, end to end against the local servers.

``python -m mosswork_utils demo`` makes a PDF and a DOCX, stores them in the object store, reads
their text back, keeps the task accounting around the ingestion, splits the text into chunks with
dense and sparse vectors, writes them into a vector collection and ranks them back, publishes a
notice, reads an image through the OCR service, runs a small chat chain behind the OpenAI-style
wrapper with tracing on, and writes the trace's performance report. Every step goes through the
package's public functions and prints one line: its name, its time and its result.

Needs PyMuPDF, python-docx and tqdm (the ``demo`` extra; the repository's setup installs them).
"""

from __future__ import annotations

import asyncio
import hashlib
import io
import math
import re
import sys
import tempfile
import time
import uuid
from pathlib import Path
from typing import Any, Callable

BUCKET = "mosswork-demo"
COLLECTION = "mosswork_demo"
TASK_KEY = "mosswork:demo:tasks"
DENSE_SIZE = 64
QUESTIONS = 50

PARAGRAPHS = [
    "知识库把文档切成段落，每个段落都有一个向量。检索时，问题也变成向量，最相近的段落被找回来。",
    "A knowledge base splits documents into chunks and gives each chunk a vector. A question becomes "
    "a vector too, and the nearest chunks come back as the context of the answer.",
    "对象存储保存原始文件；下载时先核对文件的 MD5，再读取文本。Redis 记录哪些文档正在处理。",
    "The object store keeps the original files; a download is verified by its MD5 before the text is "
    "read. Redis records which documents are being ingested, so two workers never take the same one.",
    "聊天服务把问题交给模型链，每一步都记录在追踪里，性能报告显示时间花在哪里。",
    "The chat service hands the question to a model chain; every step is recorded in a trace, and the "
    "performance report shows where the time went.",
]

# Which server a step needs, named as the operator knows it.
SERVICES = {
    "s3": "the object store (S3)",
    "redis": "Redis",
    "vexlo": "the vector database",
    "rabbitmq": "RabbitMQ",
    "ocr": "the OCR service",
    "langfuse": "Langfuse",
}


class ServiceDown(Exception):
    pass


def _is_transport_error(exc: BaseException) -> bool:
    """A server that cannot be reached, as every client of the package reports it."""
    import socket

    from mosswork_utils import exceptions

    if isinstance(exc, exceptions.HTTPError):  # it answered
        return False
    return isinstance(exc, (ConnectionError, TimeoutError, socket.gaierror,
                            exceptions.SearchConnectionError, exceptions.AmqpError))


class Road:
    """Runs the steps in order, one printed line each."""

    def __init__(self, out=sys.stdout):
        self.out = out
        self.results: dict[str, Any] = {}

    def step(self, name: str, service: str | None, run: Callable[[], Any], show: Callable[[Any], str] = str):
        start = time.perf_counter()
        try:
            value = run()
        except Exception as exc:
            if service and _is_transport_error(exc):
                raise ServiceDown(f"{SERVICES[service]} is not reachable ({type(exc).__name__}: {exc}); "
                                  "start the local servers with `bash scripts/servers start`") from exc
            raise
        ms = (time.perf_counter() - start) * 1000
        print(f"{name:38} {ms:9.1f} ms  {show(value)}", file=self.out, flush=True)
        self.results[name] = value
        return value


# ---- documents ------------------------------------------------------------------------------


def make_pdf(paragraphs: list[str]) -> bytes:
    import pymupdf

    doc = pymupdf.open()
    page = doc.new_page()
    top = 50.0
    for p in paragraphs:
        # Chinese in the built-in CJK font, English in Helvetica, so both read back as written.
        font = "china-s" if re.search(r"[\u4e00-\u9fff]", p) else "helv"
        box = pymupdf.Rect(50, top, page.rect.width - 50, page.rect.height - 50)
        left = page.insert_textbox(box, p, fontname=font, fontsize=11)
        top = box.y1 - left + 12
    return doc.tobytes()


def make_docx(paragraphs: list[str]) -> bytes:
    import docx

    document = docx.Document()
    document.add_heading("Mosswork demo", level=1)
    for p in paragraphs:
        document.add_paragraph(p)
    buf = io.BytesIO()
    document.save(buf)
    return buf.getvalue()


def make_image(text: str) -> bytes:
    """A PNG of dark text on white, large enough for Tesseract."""
    import pymupdf

    doc = pymupdf.open()
    page = doc.new_page(width=900, height=160)
    page.insert_text((30, 100), text, fontname="helv", fontsize=44)
    return page.get_pixmap(dpi=150).tobytes("png")


def make_scanned_pdf(png: bytes) -> bytes:
    import pymupdf

    doc = pymupdf.open()
    page = doc.new_page()
    page.insert_image(page.rect, stream=png)
    return doc.tobytes()


# ---- chunks and vectors ---------------------------------------------------------------------


def tokens(text: str) -> list[str]:
    """English words and Chinese characters (single and paired)."""
    words = [w.lower() for w in re.findall(r"[A-Za-z0-9]+", text)]
    han = re.findall(r"[\u4e00-\u9fff]", text)
    return words + han + [a + b for a, b in zip(han, han[1:])]


def _hash(token: str) -> int:
    return int.from_bytes(hashlib.blake2b(token.encode(), digest_size=8).digest(), "little")


def dense_vector(text: str) -> list[float]:
    """A deterministic hash embedding: each token adds a signed unit to one dimension."""
    v = [0.0] * DENSE_SIZE
    for t in tokens(text):
        h = _hash(t)
        v[h % DENSE_SIZE] += 1.0 if (h >> 32) & 1 else -1.0
    norm = math.sqrt(sum(x * x for x in v)) or 1.0
    return [x / norm for x in v]


def sparse_vector(text: str) -> dict[str, list]:
    counts: dict[int, float] = {}
    for t in tokens(text):
        i = _hash(t) % (1 << 20)
        counts[i] = counts.get(i, 0.0) + 1.0
    indices = sorted(counts)
    return {"indices": indices, "values": [counts[i] for i in indices]}


def chunks(text: str, size: int = 160) -> list[str]:
    """Sentences packed up to about size characters; line breaks of the page are not kept."""
    out, piece = [], ""
    for sentence in re.findall(r"[^。.!?！？]+[。.!?！？]?", re.sub(r"\s+", " ", text)):
        if piece and len(piece) + len(sentence) > size:
            out.append(piece.strip())
            piece = ""
        piece += sentence
    if piece.strip():
        out.append(piece.strip())
    return out


def points_for(doc_id: str, texts: list[str]) -> list[dict]:
    points = []
    for n, text in enumerate(texts):
        chunk_id = str(uuid.uuid5(uuid.NAMESPACE_URL, f"{doc_id}/{n}"))
        points.append({
            "id": chunk_id,
            "vector": {"dense": dense_vector(text), "sparse": sparse_vector(text)},
            "payload": {"page_content": text,
                        "metadata": {"chunk_id": chunk_id, "node_id": f"{doc_id}-node-{n}",
                                     "doc_id": doc_id, "enabled": True}},
        })
    return points


def query_args(question: str, limit: int = 3) -> dict:
    return {
        "collection": COLLECTION,
        "prefetch": [{"query": sparse_vector(question), "using": "sparse", "limit": 20}],
        "query": dense_vector(question),
        "using": "dense",
        "limit": limit,
        "score_threshold": None,
        "filter": None,
    }


# ---- the road -------------------------------------------------------------------------------


def _short(text: str | None, n: int = 60) -> str:
    text = (text or "").replace("\n", " ")
    return text if len(text) <= n else text[: n - 1] + "…"


def run(out=sys.stdout) -> dict[str, Any]:
    from tqdm import tqdm

    from mosswork_utils import connections, datastore, ocr

    road = Road(out)
    work = Path(tempfile.mkdtemp(prefix="mosswork-demo-"))
    task_id = f"demo-{uuid.uuid4().hex[:8]}"

    # 1. Documents into the object store and their text back out.
    pdf, docx_bytes = make_pdf(PARAGRAPHS), make_docx(PARAGRAPHS)

    def store():
        if not connections.minio_client.bucket_exists(BUCKET):
            connections.minio_client.make_bucket(BUCKET)
        for name, data in (("demo.pdf", pdf), ("demo.docx", docx_bytes)):
            connections.minio_client.put_object(BUCKET, name, io.BytesIO(data), len(data))
        return len(pdf) + len(docx_bytes)

    road.step("store PDF and DOCX", "s3", store, lambda n: f"{n} bytes in bucket {BUCKET}")
    road.step("account: increment_task_count_with_doc", "redis",
              lambda: datastore.increment_task_count_with_doc(TASK_KEY, task_id, "demo.pdf"),
              lambda n: f"{n} task(s) running")
    road.step("account: get_occupied_doc_ids", "redis",
              lambda: datastore.get_occupied_doc_ids(TASK_KEY), lambda ids: f"occupied {ids}")
    texts = {}
    for name in ("demo.pdf", "demo.docx"):
        texts[name] = road.step(f"read_minio_file_text {name}", "s3",
                                lambda name=name: datastore.read_minio_file_text(BUCKET, name, name),
                                lambda t: f"{len(t or '')} characters: {_short(t)}")
    road.step("retry counter: increment_retry_count", "redis",
              lambda: datastore.increment_retry_count(task_id), lambda n: f"attempt {n}")

    # 2. Chunks, vectors, the collection, and the ranked way back.
    all_points = []
    for name, text in texts.items():
        all_points += points_for(name, chunks(text or ""))
    road.step("recreate_collection", "vexlo", lambda: datastore.recreate_collection(
        COLLECTION, {"dense": {"size": DENSE_SIZE, "distance": "Cosine"}}, 1, 1,
        {"default_segment_number": 1}, {"sparse": {}}), lambda _: COLLECTION)
    road.step("upsert_sparse_vecotr", "vexlo",
              lambda: datastore.upsert_sparse_vecotr(COLLECTION, all_points),
              lambda _: f"{len(all_points)} chunks with {DENSE_SIZE}-float dense and sparse vectors")
    question = "Which chunks come back for a question vector?"
    hits = road.step("query", "vexlo", lambda: datastore.query(**query_args(question)),
                     lambda h: f"{len(h)} hits, top {h[0][1]:.3f}: {_short(h[0][0].page_content)}")

    async def many():
        jobs = [datastore.aquery(**query_args(f"{question} ({i})")) for i in range(QUESTIONS)]
        done = []
        with tqdm(total=len(jobs), desc="aquery", leave=False, file=out) as bar:
            for fut in asyncio.as_completed(jobs):
                done.append(await fut)
                bar.update()
        return done

    answers = road.step(f"aquery x{QUESTIONS} gathered", "vexlo", lambda: asyncio.run(many()),
                        lambda a: f"{sum(len(x) for x in a)} hits over {len(a)} questions")
    docs = road.step("scroll_vexlo", "vexlo", lambda: datastore.scroll_vexlo(COLLECTION, None),
                     lambda d: f"{len(d)} distinct documents, kb_id {d[0].metadata['kb_id']}")
    node_id = all_points[0]["payload"]["metadata"]["node_id"]
    node = road.step("get_document_nodes_from_vs", "vexlo",
                     lambda: datastore.get_document_nodes_from_vs(COLLECTION, node_id),
                     lambda n: f"enabled={n['enabled']}: {_short(n['page_content'], 40)}")
    road.step("account: decrement_task_count_with_doc", "redis",
              lambda: datastore.decrement_task_count_with_doc(TASK_KEY, task_id),
              lambda n: f"{n} task(s) running")

    # 3. The notice, the OCR service and scanned-PDF detection.
    road.step("send_msg", "rabbitmq", lambda: connections.send_msg(
        {"task_id": task_id, "chunks": len(all_points)}, "mosswork.demo", "demo.ingested"),
        lambda _: "published to mosswork.demo / demo.ingested")
    png = make_image("Mosswork reads this line")
    text_read = road.step("get_image_ocr_txt", "ocr", lambda: ocr.get_image_ocr_txt(png),
                          lambda t: _short(str(t)))
    (work / "scanned.pdf").write_bytes(make_scanned_pdf(png))
    (work / "text.pdf").write_bytes(pdf)
    road.step("is_scanned_pdf", None, lambda: (ocr.is_scanned_pdf(str(work / "scanned.pdf")),
                                               ocr.is_scanned_pdf(str(work / "text.pdf"))),
              lambda r: f"scanned PDF {r[0]}, text PDF {r[1]}")

    # 4. A chat chain behind the OpenAI-style wrapper, traced, and the trace's report.
    report = chat_and_report(road, question)
    return {"texts": texts, "hits": hits, "answers": answers, "documents": docs, "node": node,
            "ocr": text_read, "report": report, **road.results}


def chat_and_report(road: Road, question: str) -> str:
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage
    from langchain_core.output_parsers import StrOutputParser
    from langchain_core.runnables import RunnableLambda

    from mosswork_utils import chatwrapper, datastore, tracetools

    if tracetools.langfuse_handler is None:
        raise ServiceDown("tracing is off: set LANGFUSE_HOST in the service configuration")
    answer = "Chunks whose vectors lie nearest to the question's vector come back first."

    class ChatOpenAI(GenericFakeChatModel):
        """The demo's model: a fixed answer, streamed word by word."""

    class vynStrOutputParser(StrOutputParser):  # noqa: N801  (the report looks for this name)
        pass

    async def retrieve(messages):
        hits = await datastore.aquery(**query_args(messages[-1]["content"]))
        return [{"role": "system", "content": hits[0][0].page_content}] + list(messages)

    def model():
        return ChatOpenAI(messages=iter([AIMessage(content=answer, id="demo-answer")]))

    handler = tracetools.langfuse_handler
    retriever = RunnableLambda(retrieve, name="retriever_binding")
    request = type("ChatRequest", (), {"messages": [{"role": "user", "content": question}],
                                       "model": "demo-llm", "temperature": 0.2})()

    wrapped = chatwrapper.OpenAIStyleWrapper((retriever | model()).with_config(callbacks=[handler]))
    reply = road.step("OpenAIStyleWrapper.ainvoke", None, lambda: asyncio.run(wrapped.ainvoke(request)),
                      lambda r: f"{r['object']} from {r['model']}: {_short(r['choices'][0]['message']['content'])}")

    streamed = chatwrapper.OpenAIStyleWrapper(
        (retriever | model() | vynStrOutputParser()).with_config(callbacks=[handler]))

    async def stream():
        return [piece async for piece in streamed.astream(request)]

    pieces = road.step("OpenAIStyleWrapper.astream", None, lambda: asyncio.run(stream()),
                       lambda p: f"{len(p)} pieces: {_short(''.join(p))}")
    trace_id = handler.get_trace_id()
    road.step("langfuse flush", "langfuse", handler.flush, lambda _: f"trace {trace_id}")
    path = road.step("langfuse_profiling", "langfuse", lambda: tracetools.langfuse_profiling(trace_id),
                     lambda p: f"report {p}")
    del reply, pieces
    return path


def main(out=sys.stdout) -> int:
    start = time.perf_counter()
    try:
        results = run(out)
    except ServiceDown as exc:
        print(f"demo: {exc}", file=sys.stderr)
        return 1
    print(f"demo done in {time.perf_counter() - start:.1f} s; the trace report: {results['report']}",
          file=out)
    return 0
