"""Times datastore's PDF text against PyMuPDF's page.get_text() on a 200-page PDF.

Run as `python bench/bench_pdf_text.py [--pages N] [--repeats R]`. The PDF is made here with
PyMuPDF: every page holds 40 lines, English in Helvetica and Chinese in the built-in CJK font. Ours is the extraction
read_minio_file_text runs on the downloaded copy (`datastore._read_document_text`), so no
download is timed; the peer opens the file and joins every page's get_text(), trimmed, as a
user would. The texts are compared before any timing is reported.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import pymupdf

from text_compare import compare

ENGLISH = ["moss", "knowledge", "retrieval", "vector", "chunk", "index", "answer", "source"]
CHINESE = ["文档", "检索", "增强", "页面", "知识库", "向量", "召回", "排序"]


def make_pdf(path: Path, pages: int) -> None:
    doc = pymupdf.open()
    for p in range(pages):
        page = doc.new_page()
        for line in range(40):
            # Latin text in the CJK font would be an unembedded font without widths, which
            # MuPDF versions space differently; real documents keep the scripts in fitting fonts.
            chinese = line % 3 == 2
            words = CHINESE if chinese else ENGLISH
            text = " ".join(words[(p + line + i) % len(words)] for i in range(9))
            page.insert_text((40, 40 + line * 18), text if chinese else f"{p}.{line} {text}",
                             fontname="china-s" if chinese else "helv", fontsize=10)
    doc.save(path)
    doc.close()


def pymupdf_text(path: str) -> str:
    with pymupdf.open(path) as doc:
        return "".join(page.get_text() for page in doc).strip()


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--pages", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "bench.pdf")
        make_pdf(Path(path), args.pages)
        return compare(f"pdf text, {args.pages} pages", path, "PyMuPDF", pymupdf_text,
                       args.repeats, "1x")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
