"""Times datastore's DOCX text against python-docx's paragraph texts on a large document.

Run as `python bench/bench_docx_text.py [--paragraphs N] [--repeats R]`. The document is made
here with python-docx: paragraphs of mixed English and Chinese runs, with tabs, line breaks and
empty paragraphs among them. Ours is the extraction read_minio_file_text runs on the downloaded
copy (`datastore._read_document_text`), so no download is timed; the peer opens the file and
joins every paragraph's text with "\\n", as a user would. The texts are compared before any
timing is reported.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import docx

from text_compare import compare

WORDS = ["moss", "knowledge", "retrieval", "vector", "文档", "检索", "增强", "chunk", "index", "段落"]


def make_docx(path: Path, paragraphs: int) -> None:
    document = docx.Document()
    for i in range(paragraphs):
        if i % 10 == 9:
            document.add_paragraph()
            continue
        p = document.add_paragraph(" ".join(WORDS[(i + k) % len(WORDS)] for k in range(12)))
        run = p.add_run(f" run {i}")
        run.bold = i % 2 == 0
        if i % 3 == 0:
            run.add_tab()
            run.add_text("after a tab")
        if i % 7 == 0:
            run.add_break()
            run.add_text("after a break")
    document.save(path)


def python_docx_text(path: str) -> str:
    return "\n".join(p.text for p in docx.Document(path).paragraphs)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--paragraphs", type=int, default=5000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "bench.docx")
        make_docx(Path(path), args.paragraphs)
        return compare(f"docx text, {args.paragraphs} paragraphs", path, "python-docx",
                       python_docx_text, args.repeats, "3x")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
