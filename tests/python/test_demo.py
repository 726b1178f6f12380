"""The main job: the demo's road against the test servers, each step's result checked."""

import io
from pathlib import Path

import pytest

pytestmark = pytest.mark.usefixtures("servers")


def test_demo_road_end_to_end():
    from mosswork_utils import demo

    out = io.StringIO()
    results = demo.run(out)

    for name, text in results["texts"].items():
        text = " ".join(text.split())
        assert "知识库把文档切成段落" in text and "nearest chunks come back" in text, name
    hits = results["hits"]
    scores = [score for _, score in hits]
    assert len(hits) == 3 and scores == sorted(scores, reverse=True)
    assert all(len(a) == 3 for a in results["answers"]) and len(results["answers"]) == demo.QUESTIONS
    # Each chunk carries a chunk_id and a node_id: one Document for each identifier.
    assert len(results["documents"]) == 2 * len({d.metadata["chunk_id"] for d in results["documents"]})
    assert all(d.metadata["kb_id"] == demo.COLLECTION for d in results["documents"])
    assert results["node"]["enabled"] is True and results["node"]["page_content"]
    assert "Mosswork" in str(results["ocr"])
    assert results["is_scanned_pdf"] == (True, False)
    report = Path(results["report"])
    html = report.read_text(encoding="utf-8")
    for title in ("Profile Summary", "Timeline Graph", "Flame Graph"):
        assert title in html
    report.unlink()
    lines = out.getvalue().splitlines()
    assert any(line.startswith("langfuse_profiling") for line in lines)


def test_demo_names_the_service_that_is_down(monkeypatch):
    from mosswork_utils import connections, datastore, demo

    monkeypatch.setitem(connections.config, "vexlo_port", 1)
    road = demo.Road(io.StringIO())
    with pytest.raises(demo.ServiceDown, match="the vector database is not reachable"):
        road.step("collection_exists", "vexlo", lambda: datastore.collection_exists(demo.COLLECTION))
