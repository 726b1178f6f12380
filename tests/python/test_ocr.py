"""The ocr module: recognition through the Tesseract-backed stand-in, the exact request and every
failure against a local recording server, the GIL during the wait, and the scanned-PDF check
against PyMuPDF's own reading of the same files."""

from __future__ import annotations

import base64
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pymupdf
import pytest

from mosswork_utils import exceptions as exc
from mosswork_utils import ocr

STANDIN = "http://127.0.0.1:8866/ocr"
LINE = "Moss grows on north walls"


def text_image(text: str = LINE, fmt: str = "png") -> bytes:
    """An image of one line of text, rendered with PyMuPDF."""
    doc = pymupdf.open()
    page = doc.new_page(width=620, height=160)
    page.insert_text((20, 90), text, fontsize=36)
    data = page.get_pixmap(dpi=150).tobytes(fmt)
    doc.close()
    return data


class Recording:
    """A local HTTP server that keeps each request and answers as the test tells it to."""

    def __init__(self) -> None:
        self.requests: list[dict] = []
        self.status = 200
        self.body: bytes = b'{"text": "ok"}'
        self.delay = 0.0
        outer = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                raw = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                outer.requests.append({"method": "POST", "path": self.path, "body": raw,
                                       "headers": {k.lower(): v for k, v in self.headers.items()}})
                if outer.delay:
                    time.sleep(outer.delay)
                self.send_response(outer.status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(outer.body)))
                self.end_headers()
                self.wfile.write(outer.body)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()

    def url(self, path: str = "/ocr") -> str:
        return f"http://127.0.0.1:{self.server.server_address[1]}{path}"

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def recording(monkeypatch):
    server = Recording()
    monkeypatch.setattr(ocr, "ocr_service_endpoint", server.url())
    yield server
    server.close()


@pytest.fixture
def standin(servers, monkeypatch):
    monkeypatch.setattr(ocr, "ocr_service_endpoint", STANDIN)
    return STANDIN


def words(text: str) -> list[str]:
    return text.split()


class TestRecognitionThroughTheStandIn:
    def test_endpoint_comes_from_connections(self):
        from mosswork_utils import connections

        assert ocr.ocr_service_endpoint == connections.ocr_service_endpoint == STANDIN

    def test_rendered_line_comes_back_as_text(self, standin):
        assert words(ocr.get_image_ocr_txt(text_image())) == words(LINE)

    def test_other_formats_and_byte_containers(self, standin):
        jpeg = text_image("Seven spores at dawn", fmt="jpeg")
        assert jpeg[:3] == b"\xff\xd8\xff"
        assert words(ocr.get_image_ocr_txt(jpeg)) == ["Seven", "spores", "at", "dawn"]
        png = text_image()
        assert words(ocr.get_image_ocr_txt(bytearray(png))) == words(LINE)
        assert words(ocr.get_image_ocr_txt(memoryview(png))) == words(LINE)

    def test_empty_image_is_sent_and_the_refusal_raised(self, standin):
        with pytest.raises(exc.HTTPError) as caught:
            ocr.get_image_ocr_txt(b"")
        assert caught.value.response.status_code == 400
        assert "empty" in caught.value.response.text

    def test_bytes_that_are_no_image_are_refused(self, standin):
        # Given text, Tesseract would read each line as a file name; the stand-in refuses it.
        with pytest.raises(exc.HTTPError) as caught:
            ocr.get_image_ocr_txt(b"/etc/hostname\n")
        assert caught.value.response.status_code == 422

    def test_text_is_not_image_data(self, standin):
        with pytest.raises(TypeError):
            ocr.get_image_ocr_txt("not bytes")
        with pytest.raises(TypeError):
            ocr.get_image_ocr_txt(None)


class TestRequest:
    def test_body_content_type_and_url_exactly(self, recording, monkeypatch):
        monkeypatch.setattr(ocr, "ocr_service_endpoint", recording.url("/v2/ocr?tenant=a&x=%20"))
        image = bytes(range(256)) * 3 + b"\xfb\xff"  # every byte value, and '+' and '/' in Base64
        assert ocr.get_image_ocr_txt(image) == "ok"
        (req,) = recording.requests
        assert req["path"] == "/v2/ocr?tenant=a&x=%20"
        assert req["headers"]["content-type"] == "application/json"
        doc = json.loads(req["body"])
        assert doc == {"model_name": "paddleocr", "image_data": base64.b64encode(image).decode()}

    def test_large_image_has_no_line_breaks(self, recording):
        image = bytes((i * 7) & 0xFF for i in range(3 * 1024 * 1024 + 1))
        ocr.get_image_ocr_txt(image)
        data = json.loads(recording.requests[0]["body"])["image_data"]
        assert "\n" not in data and "\r" not in data
        assert base64.b64decode(data, validate=True) == image

    def test_empty_image_is_sent_as_empty_text(self, recording):
        ocr.get_image_ocr_txt(b"")
        assert json.loads(recording.requests[0]["body"]) == {"model_name": "paddleocr",
                                                             "image_data": ""}

    def test_endpoint_is_read_at_each_call(self, recording, monkeypatch):
        second = Recording()
        try:
            ocr.get_image_ocr_txt(b"a")
            monkeypatch.setattr(ocr, "ocr_service_endpoint", second.url("/elsewhere"))
            ocr.get_image_ocr_txt(b"b")
            assert len(recording.requests) == 1
            assert [r["path"] for r in second.requests] == ["/elsewhere"]
        finally:
            second.close()

    def test_forked_child_uses_connections_of_its_own(self, recording):
        import os
        import warnings

        assert ocr.get_image_ocr_txt(b"parent") == "ok"  # leaves a pooled connection behind
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
            pid = os.fork()
        if pid == 0:
            try:
                code = 0 if ocr.get_image_ocr_txt(b"child") == "ok" else 1
            except BaseException:
                code = 2
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert ocr.get_image_ocr_txt(b"parent again") == "ok"
        sent = [base64.b64decode(json.loads(r["body"])["image_data"]) for r in recording.requests]
        assert sent == [b"parent", b"child", b"parent again"]

    def test_gil_is_released_while_waiting(self, recording):
        recording.delay = 0.8
        ticks = 0
        stop = threading.Event()

        def count():
            nonlocal ticks
            while not stop.is_set():
                ticks += 1
                time.sleep(0.01)

        t = threading.Thread(target=count)
        t.start()
        try:
            assert ocr.get_image_ocr_txt(b"x") == "ok"
        finally:
            stop.set()
            t.join()
        # With the GIL held for the whole wait the counter could not move at all.
        assert ticks >= 20


class TestAnswers:
    @pytest.mark.parametrize("status, kind, reason", [
        (400, "Client", "Bad Request"), (404, "Client", "Not Found"), (422, "Client", "Unprocessable Entity"),
        (500, "Server", "Internal Server Error"), (503, "Server", "Service Unavailable")])
    def test_error_statuses_raise_http_error_once(self, recording, status, kind, reason):
        recording.status = status
        recording.body = b'{"error": "no"}'
        with pytest.raises(exc.HTTPError) as caught:
            ocr.get_image_ocr_txt(b"img")
        error = caught.value
        assert str(error) == f"{status} {kind} Error: {reason}"
        assert error.response.status_code == status
        assert error.response.text == '{"error": "no"}'
        assert isinstance(error, OSError)
        assert len(recording.requests) == 1  # a POST is not repeated

    def test_statuses_below_400_are_answers(self, recording):
        recording.status = 202
        recording.body = b'{"text": "accepted"}'
        assert ocr.get_image_ocr_txt(b"img") == "accepted"

    def test_text_value_is_returned_unchanged(self, recording):
        for body, expected in [(b'{"text": "", "score": 1}', ""),
                               ('{"text": "中文 识别\\n第二行"}'.encode(), "中文 识别\n第二行"),
                               (b'{"text": null}', None),
                               (b'{"text": ["a", "b"]}', ["a", "b"])]:
            recording.body = body
            assert ocr.get_image_ocr_txt(b"img") == expected

    def test_answer_without_text_is_a_key_error(self, recording):
        recording.body = b'{"result": "hello"}'
        with pytest.raises(KeyError, match="text"):
            ocr.get_image_ocr_txt(b"img")

    def test_answer_that_is_not_json(self, recording):
        recording.body = b"<html>busy</html>"
        with pytest.raises(json.JSONDecodeError):
            ocr.get_image_ocr_txt(b"img")

    def test_unreachable_service(self, monkeypatch):
        server = Recording()
        url = server.url()
        server.close()
        monkeypatch.setattr(ocr, "ocr_service_endpoint", url)
        with pytest.raises(ConnectionError):
            ocr.get_image_ocr_txt(b"img")


# ---- scanned-PDF check ---------------------------------------------------------------------


def pdf(path: Path, pages: list[str | None]) -> Path:
    """A PDF with one page per entry: text, or None for a page holding only an image."""
    doc = pymupdf.open()
    picture = text_image("PICTURE")
    for content in pages:
        page = doc.new_page()
        if content is None:
            page.insert_image(pymupdf.Rect(50, 50, 400, 200), stream=picture)
        elif content:
            page.insert_text((72, 72), content)
    doc.save(path)
    doc.close()
    return path


def pymupdf_says_scanned(path: Path) -> bool:
    with pymupdf.open(path) as doc:
        return not any(len(page.get_text("text")) > 0 for page in doc)


class TestScannedPdf:
    def test_text_pdf_is_not_scanned(self, tmp_path, capsys):
        path = pdf(tmp_path / "text.pdf", ["hello", "world"])
        assert ocr.is_scanned_pdf(str(path)) is False
        assert capsys.readouterr().out == ""

    def test_two_image_pages_are_scanned(self, tmp_path, capsys):
        path = pdf(tmp_path / "scan.pdf", [None, None])
        assert pymupdf_says_scanned(path)
        assert ocr.is_scanned_pdf(str(path)) is True
        assert capsys.readouterr().out == ""

    def test_single_space_on_last_page_is_text(self, tmp_path):
        path = pdf(tmp_path / "space.pdf", [None, "", " "])
        assert not pymupdf_says_scanned(path)
        assert ocr.is_scanned_pdf(str(path)) is False

    def test_blank_pages_are_scanned(self, tmp_path):
        path = pdf(tmp_path / "blank.pdf", ["", ""])
        assert ocr.is_scanned_pdf(str(path)) is pymupdf_says_scanned(path) is True

    def test_document_without_pages_is_scanned(self, tmp_path):
        path = tmp_path / "nopages.pdf"
        path.write_bytes(b"%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                         b"2 0 obj << /Type /Pages /Kids [] /Count 0 >> endobj\n"
                         b"trailer << /Root 1 0 R >>\n%%EOF\n")
        assert ocr.is_scanned_pdf(str(path)) is True

    def test_cjk_file_name(self, tmp_path):
        path = pdf(tmp_path / "扫描件 文档.pdf", [None])
        assert ocr.is_scanned_pdf(str(path)) is True

    @pytest.mark.parametrize("make", ["missing", "corrupt", "directory", "empty"])
    def test_unreadable_file_prints_one_line_and_is_not_scanned(self, tmp_path, capsys, make):
        path = tmp_path / "broken.pdf"
        if make == "corrupt":
            path.write_bytes(b"%PDF-1.7\n" + bytes(range(256)) * 8)
        elif make == "directory":
            path.mkdir()
        elif make == "empty":
            path.write_bytes(b"")
        assert ocr.is_scanned_pdf(str(path)) is False
        out = capsys.readouterr().out
        head = f"{path} check_scanned: Error Info:"
        assert out.startswith(head)
        assert out.endswith("\n") and out.count("\n") == 1
        assert len(out) > len(head) + 1  # the reason follows the colon directly

    def test_embedded_nul_is_an_error_not_another_file(self, tmp_path, capsys):
        # Cut at the NUL the path would name scan.pdf, which is scanned.
        scan = pdf(tmp_path / "scan.pdf", [None])
        assert ocr.is_scanned_pdf(str(scan) + "\0.txt") is False
        assert "check_scanned: Error Info:" in capsys.readouterr().out

    @pytest.mark.parametrize("value", [None, b"/tmp/x.pdf", Path("/tmp/x.pdf"), 3])
    def test_non_text_path_is_a_type_error(self, value, capsys):
        with pytest.raises(TypeError):
            ocr.is_scanned_pdf(value)
        assert capsys.readouterr().out == ""
