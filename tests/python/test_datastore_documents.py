"""Document reading of datastore against the S3 and OpenSearch servers: PDF and DOCX text checked
against PyMuPDF and python-docx on files made here, the type and extension rules, what happens to
the local copy, hostile files, whole objects in memory, and full texts by document id."""

from __future__ import annotations

import io
import os
import shutil
import threading
import time
import uuid
import zipfile
from pathlib import Path

import docx
import pymupdf
import pytest
from docx.enum.text import WD_BREAK
from docx.oxml import OxmlElement, parse_xml
from docx.oxml.ns import nsdecls, qn

from mosswork_utils import connections as conn
from mosswork_utils import datastore as ds
from mosswork_utils import exceptions as exc

pytestmark = pytest.mark.usefixtures("servers")

# ---- files ---------------------------------------------------------------------------------


def make_pdf(path: Path, pages: list, *, font: str = "helv") -> Path:
    """One page per entry: a list of lines, None for a page holding only an image, or []."""
    doc = pymupdf.open()
    for lines in pages:
        page = doc.new_page()
        if lines is None:
            picture = pymupdf.Pixmap(pymupdf.csRGB, pymupdf.IRect(0, 0, 64, 64), False)
            picture.set_rect(picture.irect, (200, 30, 30))
            page.insert_image(pymupdf.Rect(72, 72, 272, 272), pixmap=picture)
            continue
        for i, line in enumerate(lines):
            page.insert_text((72, 72 + 24 * i), line, fontname=font)
    doc.save(path)
    doc.close()
    return path


def make_docx(path: Path, build) -> Path:
    document = docx.Document()
    build(document)
    document.save(path)
    return path


def pymupdf_text(path: Path) -> str:
    with pymupdf.open(path) as doc:
        return "".join(page.get_text() for page in doc).strip()


def python_docx_text(path: Path) -> str:
    return "\n".join(p.text for p in docx.Document(path).paragraphs)


def three_paragraphs(document):
    document.add_paragraph("first")
    document.add_paragraph("")
    document.add_paragraph("third")


def tabs_and_breaks(document):
    p = document.add_paragraph("a")
    run = p.add_run("b")
    run.add_tab()
    run.add_text("c")
    run.add_break()  # a line break inside the paragraph
    run.add_text("d")
    run.add_break(WD_BREAK.PAGE)
    run.add_text("e")
    document.add_paragraph("\tleading tab and trailing spaces  ")
    document.add_paragraph()
    document.add_paragraph()


def cjk_and_tables(document):
    document.add_heading("知识库 文档", level=1)
    document.add_paragraph("第一段：混合 English 和中文，标点，。！")
    table = document.add_table(rows=1, cols=2)
    table.cell(0, 0).text = "in a table, not a body paragraph"
    document.add_paragraph("emoji 🌿 and combining é")
    # A hyperlink's runs count as paragraph text.
    p = document.add_paragraph("see ")
    link = OxmlElement("w:hyperlink")
    link.set(qn("w:anchor"), "top")
    r = OxmlElement("w:r")
    t = OxmlElement("w:t")
    t.text = "the link"
    r.append(t)
    link.append(r)
    p._p.append(link)
    p.add_run(" after")


def run_markup(document):
    # Column breaks, fields, revisions, smart tags, symbols and content controls: only direct runs
    # and hyperlinks of body paragraphs give text, each run element as python-docx reads it.
    paragraph = parse_xml(
        f'<w:p {nsdecls("w")}><w:r><w:t xml:space="preserve">  lead</w:t><w:br w:type="column"/>'
        '<w:t>col</w:t><w:lastRenderedPageBreak/><w:t>x</w:t></w:r>'
        '<w:fldSimple w:instr="PAGE"><w:r><w:t>7</w:t></w:r></w:fldSimple>'
        '<w:ins w:id="1" w:author="a"><w:r><w:t>inserted</w:t></w:r></w:ins>'
        '<w:r><w:noBreakHyphen/><w:softHyphen/><w:sym w:font="Wingdings" w:char="F04A"/>'
        '<w:ptab w:relativeTo="margin" w:alignment="right" w:leader="none"/><w:cr/><w:t>end</w:t></w:r>'
        '<w:smartTag w:uri="u" w:element="e"><w:r><w:t>smart</w:t></w:r></w:smartTag>'
        '<w:hyperlink w:anchor="a"><w:r><w:t>link</w:t></w:r><w:r><w:tab/></w:r></w:hyperlink>'
        '<w:r><w:t>&lt;&amp;&gt; ✓</w:t></w:r></w:p>')
    control = parse_xml(f'<w:sdt {nsdecls("w")}><w:sdtContent><w:p><w:r><w:t>in a control</w:t></w:r>'
                        '</w:p></w:sdtContent></w:sdt>')
    document.element.body.insert(0, paragraph)
    document.element.body.insert(1, control)
    document.add_paragraph("last")


def many_paragraphs(document):
    for i in range(300):
        document.add_paragraph(f"paragraph {i} " + "word " * (i % 17))


PDFS = {
    "three_pages": [["first page"], ["second page"], ["third page"]],
    "several_lines_and_empty_page": [["  leading spaces", "second line", "a b  c "], [],
                                     ["after an empty page"]],
    "cjk": ("china-s", [["中文 测试 文本", "第二行"], ["第三页"]]),
    "image_only": [None, None],
    "space_on_last_page": [None, [], [" "]],
}
DOCXS = {
    "three_paragraphs": three_paragraphs,
    "tabs_and_breaks": tabs_and_breaks,
    "cjk_and_tables": cjk_and_tables,
    "many_paragraphs": many_paragraphs,
    "run_markup": run_markup,
    "empty": lambda d: None,
}


def rotated_page(page):
    page.insert_text((72, 72), "rotated page")
    page.insert_text((200, 300), "upside down", rotate=180)
    page.set_rotation(90)


def clipped_text(page):
    page.insert_text((72, 72), "inside")
    page.insert_text((700, 72), "beyond the right edge")
    page.insert_text((-200, 100), "partly beyond the left edge")


def base_fonts(page):
    for i, font in enumerate(["tiro", "cour", "helv", "tibo", "cobo", "symb", "zadb"]):
        page.insert_text((72, 72 + 20 * i), "Mixed Fonts ÄÖÜ é ß 123 ±", fontname=font)


def wrapped_box(page):
    page.insert_textbox(pymupdf.Rect(72, 72, 300, 600), "A paragraph that wraps across lines. " * 12)


def east_asian(page):
    page.insert_text((72, 72), "日本語テキスト", fontname="japan")
    page.insert_text((72, 100), "한국어 텍스트", fontname="korea")
    page.insert_text((72, 130), "繁體中文", fontname="china-t")


LAYOUTS = {f.__name__: f for f in (rotated_page, clipped_text, base_fonts, wrapped_box, east_asian)}


def pdf_file(tmp_path: Path, name: str) -> Path:
    recipe = PDFS[name]
    font, pages = recipe if isinstance(recipe, tuple) else ("helv", recipe)
    return make_pdf(tmp_path / f"{name}.pdf", pages, font=font)


# ---- object store --------------------------------------------------------------------------


@pytest.fixture
def bucket():
    name = "docs-" + uuid.uuid4().hex[:20]
    conn.minio_client.make_bucket(name)
    stored: list[str] = []
    yield name, stored
    for key in stored:
        conn.minio_client.remove_object(name, key)


def put(bucket, data: bytes, key: str | None = None) -> str:
    name, stored = bucket
    key = key or f"kb/{uuid.uuid4().hex}"
    conn.minio_client.put_object(name, key, io.BytesIO(data), len(data))
    stored.append(key)
    return key


@pytest.fixture
def downloads(monkeypatch):
    """The local paths the module's verified download hands out, recorded around it; copies
    left behind are removed afterwards."""
    real = ds.download_from_minio
    seen: list = []

    def download(bucket_name, object_name, doc_name):
        path = real(bucket_name, object_name, doc_name)
        seen.append(path)
        return path

    monkeypatch.setattr(ds, "download_from_minio", download)
    yield seen
    for path in seen:
        if path and os.path.exists(path):
            os.remove(path)


def errors(recorder) -> list[tuple]:
    return [args for name, args in recorder.messages() if name == "error"]


class TestPdfAgainstPyMuPDF:
    @pytest.mark.parametrize("name", sorted(PDFS))
    def test_same_text_as_pymupdf(self, tmp_path, name):
        path = pdf_file(tmp_path, name)
        assert ds._read_document_text(str(path)) == pymupdf_text(path)

    @pytest.mark.parametrize("name", sorted(LAYOUTS))
    def test_layouts_and_fonts_agree_with_pymupdf(self, tmp_path, name):
        doc = pymupdf.open()
        LAYOUTS[name](doc.new_page())
        path = tmp_path / f"{name}.pdf"
        doc.save(path)
        ours = ds._read_document_text(str(path))
        assert ours and ours == pymupdf_text(path)

    def test_pages_run_together_and_only_the_ends_are_trimmed(self, tmp_path):
        path = pdf_file(tmp_path, "three_pages")
        assert ds._read_document_text(str(path)) == "first page\nsecond page\nthird page"
        path = pdf_file(tmp_path, "several_lines_and_empty_page")
        assert ds._read_document_text(str(path)) == (
            "leading spaces\nsecond line\na b  c \nafter an empty page")

    def test_character_without_a_glyph_name(self, tmp_path):
        # A tab drawn in Helvetica has no name in the font's encoding. MuPDF 1.21 (Debian 12)
        # reads it as U+FFFD; the MuPDF inside PyMuPDF maps the code to U+0009 itself. Apart
        # from that one character the texts agree.
        path = make_pdf(tmp_path / "tab.pdf", [["a\tb", "after"]])
        ours = ds._read_document_text(str(path))
        assert pymupdf_text(path) == "a\tb\nafter"
        assert ours in ("a\tb\nafter", "a\ufffdb\nafter")

    def test_image_only_and_lone_space_give_empty_text(self, tmp_path):
        assert ds._read_document_text(str(pdf_file(tmp_path, "image_only"))) == ""
        assert ds._read_document_text(str(pdf_file(tmp_path, "space_on_last_page"))) == ""

    def test_cjk_text(self, tmp_path):
        assert ds._read_document_text(str(pdf_file(tmp_path, "cjk"))) == "中文 测试 文本\n第二行\n第三页"

    def test_long_document(self, tmp_path):
        path = make_pdf(tmp_path / "long.pdf", [[f"page {i}", "text " * (i % 13)] for i in range(120)])
        assert ds._read_document_text(str(path)) == pymupdf_text(path)


class TestGil:
    def test_other_threads_run_during_extraction(self, tmp_path):
        path = str(make_pdf(tmp_path / "long.pdf", [[f"line {i} of page {p}" for i in range(40)]
                                                     for p in range(150)]))
        ticks = 0
        stop = threading.Event()

        def count():
            nonlocal ticks
            while not stop.is_set():
                ticks += 1
                time.sleep(0.001)

        t = threading.Thread(target=count)
        t.start()
        try:
            time.sleep(0.05)
            before = ticks
            start = time.perf_counter()
            for _ in range(3):
                ds._read_document_text(path)
            took = time.perf_counter() - start
            during = ticks - before
        finally:
            stop.set()
            t.join()
        # Holding the GIL through the reads would leave the counter a tick or two at most.
        assert took > 0.05 and during >= 10, (took, during)


class TestDocxAgainstPythonDocx:
    @pytest.mark.parametrize("name", sorted(DOCXS))
    def test_same_text_as_python_docx(self, tmp_path, name):
        path = make_docx(tmp_path / f"{name}.docx", DOCXS[name])
        assert ds._read_document_text(str(path)) == python_docx_text(path)

    def test_empty_paragraph_gives_two_line_feeds(self, tmp_path):
        path = make_docx(tmp_path / "p.docx", three_paragraphs)
        assert ds._read_document_text(str(path)) == "first\n\nthird"

    def test_run_markup(self, tmp_path):
        path = make_docx(tmp_path / "m.docx", run_markup)
        assert ds._read_document_text(str(path)) == "  leadcolx-\t\nendlink\t<&> ✓\nlast"

    def test_tabs_breaks_and_trailing_empty_paragraphs_are_kept(self, tmp_path):
        path = make_docx(tmp_path / "t.docx", tabs_and_breaks)
        assert ds._read_document_text(str(path)) == (
            "ab\tc\nde\n\tleading tab and trailing spaces  \n\n")


@pytest.mark.usefixtures("downloads")
class TestReadMinioFileText:
    def test_pdf_text_and_the_copy_is_deleted(self, bucket, tmp_path, downloads):
        key = put(bucket, pdf_file(tmp_path, "three_pages").read_bytes())
        assert ds.read_minio_file_text(bucket[0], key, "report.pdf") == "first page\nsecond page\nthird page"
        (local,) = downloads
        assert local.endswith("report.pdf")
        assert not os.path.exists(local)

    def test_upper_case_extension_is_a_pdf(self, bucket, tmp_path, downloads):
        key = put(bucket, pdf_file(tmp_path, "cjk").read_bytes())
        assert ds.read_minio_file_text(bucket[0], key, "Report.PDF") == "中文 测试 文本\n第二行\n第三页"
        assert not os.path.exists(downloads[0])

    def test_docx_text(self, bucket, tmp_path, downloads):
        path = make_docx(tmp_path / "c.docx", cjk_and_tables)
        key = put(bucket, path.read_bytes())
        assert ds.read_minio_file_text(bucket[0], key, "文档 v2.DOCX") == python_docx_text(path)
        assert not os.path.exists(downloads[0])

    @pytest.mark.parametrize("doc_name", ["notes.txt", "old.doc", "no_extension", ".pdf", "x.pdf.gz"])
    def test_other_types_give_none_and_keep_the_copy(self, bucket, tmp_path, downloads, recorder,
                                                     doc_name):
        key = put(bucket, pdf_file(tmp_path, "three_pages").read_bytes())
        assert ds.read_minio_file_text(bucket[0], key, doc_name) is None
        (local,) = downloads
        assert os.path.isfile(local)
        assert errors(recorder) == []

    def test_type_guess_must_agree_with_the_extension(self, bucket, tmp_path, downloads, monkeypatch):
        import mimetypes

        guessed = []
        real_guess = mimetypes.guess_type

        def guess(url, strict=True):
            guessed.append(url)
            kind, encoding = real_guess(url, strict)
            return ("application/x-unknown" if kind == "application/pdf" else kind), encoding

        monkeypatch.setattr(mimetypes, "guess_type", guess)
        key = put(bucket, pdf_file(tmp_path, "three_pages").read_bytes())
        assert ds.read_minio_file_text(bucket[0], key, "report.pdf") is None
        assert guessed == [downloads[0]]
        assert os.path.isfile(downloads[0])  # not read, so not deleted
        monkeypatch.setattr(mimetypes, "guess_type", real_guess)
        assert ds.read_minio_file_text(bucket[0], key, "report.pdf") == "first page\nsecond page\nthird page"

    def test_image_only_pdf_gives_empty_text_not_none(self, bucket, tmp_path):
        key = put(bucket, pdf_file(tmp_path, "image_only").read_bytes())
        assert ds.read_minio_file_text(bucket[0], key, "scan.pdf") == ""

    @pytest.mark.parametrize("doc_name, data", [
        ("broken.pdf", b"%PDF-1.7\n" + bytes(range(256)) * 16),
        ("broken.docx", b"PK\x03\x04 not really a zip"),
        ("pdf_in_disguise.docx", None),
        ("empty.pdf", b""),
    ])
    def test_unreadable_file_logs_returns_none_and_deletes(self, bucket, tmp_path, downloads,
                                                           recorder, doc_name, data):
        if data is None:
            data = pdf_file(tmp_path, "three_pages").read_bytes()
        key = put(bucket, data)
        assert ds.read_minio_file_text(bucket[0], key, doc_name) is None
        (line,) = errors(recorder)
        assert len(line) == 1 and line[0].startswith("Error reading file content: ")
        assert len(line[0]) > len("Error reading file content: ")
        assert not os.path.exists(downloads[0])

    def test_docx_with_external_entity_is_refused(self, bucket, tmp_path, downloads, recorder):
        secret = tmp_path / "secret.txt"
        secret.write_text("TOP-SECRET-VALUE")
        source = make_docx(tmp_path / "base.docx", three_paragraphs)
        hostile = tmp_path / "hostile.docx"
        with zipfile.ZipFile(source) as src, zipfile.ZipFile(hostile, "w", zipfile.ZIP_DEFLATED) as out:
            for item in src.infolist():
                data = src.read(item.filename)
                if item.filename == "word/document.xml":
                    text = data.decode()
                    head, rest = text.split("?>", 1)
                    text = (head + "?>" + f'<!DOCTYPE w:document [<!ENTITY x SYSTEM "file://{secret}">]>'
                            + rest.replace(">first<", ">&x;<"))
                    data = text.encode()
                out.writestr(item, data)
        key = put(bucket, hostile.read_bytes())
        assert ds.read_minio_file_text(bucket[0], key, "hostile.docx") is None
        (line,) = errors(recorder)
        assert line[0].startswith("Error reading file content: ")
        assert "TOP-SECRET-VALUE" not in line[0]
        assert not os.path.exists(downloads[0])

    def test_docx_zip_bomb_is_refused_quickly(self, bucket, tmp_path, downloads, recorder):
        source = make_docx(tmp_path / "base.docx", three_paragraphs)
        bomb = tmp_path / "bomb.docx"
        with zipfile.ZipFile(source) as src, zipfile.ZipFile(bomb, "w", zipfile.ZIP_DEFLATED) as out:
            for item in src.infolist():
                if item.filename != "word/document.xml":
                    out.writestr(item, src.read(item.filename))
                    continue
                head, rest = src.read(item.filename).split(b"<w:body>", 1)
                with out.open("word/document.xml", "w", force_zip64=True) as part:
                    part.write(head + b"<w:body>")
                    blank = b" " * (1 << 20)
                    for _ in range(200):  # 200 MiB of white space inside the body
                        part.write(blank)
                    part.write(rest)
        assert bomb.stat().st_size < 2 * 1024 * 1024
        key = put(bucket, bomb.read_bytes())
        t0 = time.monotonic()
        assert ds.read_minio_file_text(bucket[0], key, "bomb.docx") is None
        assert time.monotonic() - t0 < 20
        (line,) = errors(recorder)
        assert line[0].startswith("Error reading file content: ")
        assert not os.path.exists(downloads[0])

    def test_failed_download_raises_application_error(self, monkeypatch):
        for answer in (None, ""):
            monkeypatch.setattr(ds, "download_from_minio", lambda b, o, d, a=answer: a)
            with pytest.raises(exc.ApplicationError) as caught:
                ds.read_minio_file_text("kb-bucket", "kb/1/x.pdf", "报告.pdf")
            assert str(caught.value) == "Failed to download file: 报告.pdf from bucket: kb-bucket"
            assert caught.value.message == str(caught.value)

    def test_missing_object_raises_application_error(self, bucket):
        with pytest.raises(exc.ApplicationError, match="^Failed to download file: a.pdf from bucket: "):
            ds.read_minio_file_text(bucket[0], "kb/never-stored", "a.pdf")

    def test_path_error_of_the_download_passes_unchanged(self, monkeypatch):
        def too_long(bucket_name, object_name, doc_name):
            raise ValueError("Path length exceeds system limit")

        monkeypatch.setattr(ds, "download_from_minio", too_long)
        with pytest.raises(ValueError, match="^Path length exceeds system limit$"):
            ds.read_minio_file_text("b", "o", "x" * 400 + ".pdf")

    def test_download_is_looked_up_at_call_time_with_the_arguments(self, monkeypatch, tmp_path):
        calls = []
        target = pdf_file(tmp_path, "three_pages")

        def fake(*args):
            calls.append(args)
            copy = tmp_path / "copy.pdf"
            shutil.copy(target, copy)
            return str(copy)

        monkeypatch.setattr(ds, "download_from_minio", fake)
        assert ds.read_minio_file_text("b", "k/1", "d.pdf") == "first page\nsecond page\nthird page"
        assert calls == [("b", "k/1", "d.pdf")]
        assert not (tmp_path / "copy.pdf").exists()

    @pytest.mark.parametrize("args", [(None, "k", "d.pdf"), ("b", b"k", "d.pdf"), ("b", "k", Path("d.pdf")),
                                      ("b", "k", 1)])
    def test_non_text_arguments_are_type_errors_before_any_download(self, monkeypatch, args):
        calls = []
        monkeypatch.setattr(ds, "download_from_minio", lambda *a: calls.append(a))
        with pytest.raises(TypeError):
            ds.read_minio_file_text(*args)
        assert calls == []

    def test_copy_is_deleted_when_logging_the_failure_fails(self, monkeypatch, tmp_path):
        import mosswork_utils.logger

        class Broken:
            def isEnabledFor(self, level):  # noqa: N802 - logging's own name
                return True

            def __getattr__(self, name):
                def fail(*args):
                    raise RuntimeError("logger down")

                return fail

        broken = tmp_path / "broken.pdf"
        broken.write_bytes(b"not a pdf at all")
        monkeypatch.setattr(ds, "download_from_minio", lambda *a: str(broken))
        monkeypatch.setattr(mosswork_utils.logger, "logger", Broken())
        with pytest.raises(RuntimeError, match="logger down"):
            ds.read_minio_file_text("b", "k", "broken.pdf")
        assert not broken.exists()


class TestWithTheVerifiedDownload:
    def test_verified_copy_is_read_and_deleted(self, bucket, tmp_path):
        key = put(bucket, pdf_file(tmp_path, "three_pages").read_bytes(), key=f"kb/{uuid.uuid4().hex}/r.pdf")
        local = Path("/tmp/minio_downloads") / str(os.getpid()) / key[:32] / "r.pdf"
        assert ds.read_minio_file_text(bucket[0], key, "r.pdf") == "first page\nsecond page\nthird page"
        assert not local.exists()

    def test_unsupported_type_keeps_the_verified_copy(self, bucket):
        key = put(bucket, b"plain words\n", key=f"kb/{uuid.uuid4().hex}/n.txt")
        local = Path("/tmp/minio_downloads") / str(os.getpid()) / key[:32] / "n.txt"
        try:
            assert ds.read_minio_file_text(bucket[0], key, "n.txt") is None
            assert local.read_bytes() == b"plain words\n"
        finally:
            local.unlink(missing_ok=True)


class TestDownloadAsBytesIO:
    @pytest.mark.parametrize("size", [0, 1, 8191, 5 * 1024 * 1024 + 3])
    def test_whole_object_at_position_zero(self, bucket, size):
        data = os.urandom(size)
        key = put(bucket, data)
        buf = ds.download_as_bytesio(bucket[0], key)
        assert isinstance(buf, io.BytesIO)
        assert buf.tell() == 0
        assert buf.read() == data

    def test_keyword_arguments(self, bucket):
        key = put(bucket, b"\x00\xffbytes")
        assert ds.download_as_bytesio(bucket_name=bucket[0], object_name=key).getvalue() == b"\x00\xffbytes"

    def test_missing_object_logs_the_store_error(self, bucket, recorder):
        assert ds.download_as_bytesio(bucket[0], "kb/never-stored") is None
        (call,) = recorder.messages()
        assert call[0] == "error" and call[1][0] == "MinIO S3Error:"
        assert isinstance(call[1][1], exc.S3Error) and call[1][1].code == "NoSuchKey"

    def test_missing_bucket_logs_the_store_error(self, recorder):
        assert ds.download_as_bytesio("no-such-bucket-" + uuid.uuid4().hex[:12], "k") is None
        (call,) = recorder.messages()
        assert call[1][0] == "MinIO S3Error:" and call[1][1].code == "NoSuchBucket"

    def test_store_error_is_one_readable_line_of_the_package_logger(self, bucket, service_log, capsys):
        assert ds.download_as_bytesio(bucket[0], "kb/never-stored") is None
        (record,) = [r for r in service_log.records if r.name == "mosswork_utils"]
        assert record.getMessage().startswith("MinIO S3Error: S3 operation failed; code: NoSuchKey")
        assert "Logging error" not in capsys.readouterr().err

    def test_other_errors_log_general_exception(self, monkeypatch, recorder):
        boom = RuntimeError("boom")

        class Client:
            def get_object(self, bucket_name, object_name):
                raise boom

        monkeypatch.setattr(ds, "minio_client", Client())
        assert ds.download_as_bytesio("b", "k") is None
        assert recorder.messages() == [("error", ("General Exception:", boom))]

    def test_non_text_name_is_a_general_exception(self, recorder):
        assert ds.download_as_bytesio(None, "k") is None
        (call,) = recorder.messages()
        assert call[1][0] == "General Exception:" and isinstance(call[1][1], TypeError)

    def test_response_is_closed_after_reading_or_failing(self, monkeypatch, recorder):
        closed = []

        class Response:
            def __init__(self, fail):
                self.fail = fail

            def read(self):
                if self.fail:
                    raise ConnectionError("reset")
                return b"body"

            def close(self):
                closed.append(self.fail)

        class Client:
            def __init__(self, fail):
                self.fail = fail

            def get_object(self, bucket_name, object_name):
                return Response(self.fail)

        monkeypatch.setattr(ds, "minio_client", Client(False))
        assert ds.download_as_bytesio("b", "k").getvalue() == b"body"
        monkeypatch.setattr(ds, "minio_client", Client(True))
        assert ds.download_as_bytesio("b", "k") is None
        assert closed == [False, True]
        assert recorder.messages()[0][1][0] == "General Exception:"


class TestFullText:
    @pytest.fixture
    def index(self):
        return conn.config["opensearch_index"]

    def seed(self, index, doc_id, source):
        conn.opensearch_client.index(index, source, id="document_" + doc_id, refresh=True)

    def test_plain_text_of_the_document(self, index, recorder):
        doc_id = uuid.uuid4().hex
        self.seed(index, doc_id, {"document_plaintext": "全文\n第二行 text", "title": "t"})
        assert ds.get_doc_fulltext_opensearch(doc_id) == "全文\n第二行 text"
        assert recorder.messages() == []

    def test_empty_text_is_not_none(self, index):
        doc_id = uuid.uuid4().hex
        self.seed(index, doc_id, {"document_plaintext": ""})
        assert ds.get_doc_fulltext_opensearch(doc_id) == ""

    def test_unknown_document_logs_once(self, recorder):
        assert ds.get_doc_fulltext_opensearch("missing-" + uuid.uuid4().hex) is None
        (call,) = recorder.messages()
        assert call[0] == "error" and call[1][0].startswith("opensearch Exception:")
        assert "404" in call[1][0] or "not found" in call[1][0].lower()

    def test_source_without_the_field(self, index, recorder):
        doc_id = uuid.uuid4().hex
        self.seed(index, doc_id, {"title": "only a title"})
        assert ds.get_doc_fulltext_opensearch(doc_id) is None
        assert recorder.messages() == [("error", ("opensearch Exception:'document_plaintext'",))]

    def test_index_comes_from_the_configuration(self, monkeypatch, recorder):
        other = "kb-other-" + uuid.uuid4().hex[:12]
        doc_id = uuid.uuid4().hex
        self.seed(other, doc_id, {"document_plaintext": "in the other index"})
        assert ds.get_doc_fulltext_opensearch(doc_id) is None
        monkeypatch.setitem(ds.config, "opensearch_index", other)
        assert ds.get_doc_fulltext_opensearch(doc_id) == "in the other index"
        monkeypatch.delitem(ds.config, "opensearch_index")
        recorder.calls.clear()
        assert ds.get_doc_fulltext_opensearch(doc_id) is None
        (call,) = recorder.messages()
        assert call[1][0].startswith("opensearch Exception:")

    def test_unreachable_cluster(self, monkeypatch, recorder):
        monkeypatch.setattr(ds, "opensearch_client", conn.OpenSearch("http://127.0.0.1:1", timeout=2))
        assert ds.get_doc_fulltext_opensearch("1") is None
        (call,) = recorder.messages()
        assert call[1][0].startswith("opensearch Exception:")

    def test_id_is_prefixed_and_passed_by_keyword(self, monkeypatch):
        seen = []

        class Client:
            def get_source(self, *args, **kwargs):
                seen.append((args, kwargs))
                return {"document_plaintext": "t"}

        monkeypatch.setattr(ds, "opensearch_client", Client())
        assert ds.get_doc_fulltext_opensearch("42") == "t"
        assert seen == [((), {"index": conn.config["opensearch_index"], "id": "document_42"})]

    @pytest.mark.parametrize("doc_id", [None, 42, b"42"])
    def test_non_text_id_is_a_type_error(self, doc_id, recorder):
        with pytest.raises(TypeError):
            ds.get_doc_fulltext_opensearch(doc_id)
        assert recorder.messages() == []
