"""Times tracetools.langfuse_profiling against the same report built with pandas and Plotly.

Run as `python bench/bench_trace_report.py [--observations N] [--repeats R]`. The trace is made
here: a chat chain of N observations (retrieval steps, model calls, output parsers, nested a few
levels deep), served by a fake Langfuse client in pages of 50, as the SDK's listing delivers
them. Ours is the module's function with that client substituted; the peer collects the same
pages, tabulates them in DataFrames and draws the three figures with plotly.graph_objects,
writing them with plotly.offline.plot (a full page, then two appended divs), as a user of pandas
and Plotly would. Both pages must hold the same three figures (apart from the bars' random
jitter) before any timing is reported.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import random
import re
import sys
import tempfile
import time
from collections import defaultdict
from types import SimpleNamespace

import numpy as np
import pandas as pd
import plotly.graph_objects as go
import plotly.offline

from mosswork_utils import tracetools
from results import result

T0 = dt.datetime(2024, 5, 1, 10, 0, 0, tzinfo=dt.timezone.utc)
STEPS = ["VectorStoreRetriever", "reranker", "embed_query", "multi_retrieve", "RunnableLambda",
         "RunnableSequence", "llm_confirm_intent", "create_vs_by_yaml", "PromptTemplate"]


def make_observations(count: int, seed: int = 20240501) -> list[SimpleNamespace]:
    """The trace newest first, as the listing returns it."""
    rng = random.Random(seed)

    def obs(i, name, parent, start, latency, kind="SPAN", **extra):
        return SimpleNamespace(
            id=f"obs-{i:06d}", name=name, type=kind, parent_observation_id=parent,
            start_time=T0 + dt.timedelta(seconds=start),
            end_time=T0 + dt.timedelta(seconds=start + latency), latency=latency,
            model=extra.get("model"), input=extra.get("input", []),
            output=extra.get("output", {}), completionTokens=extra.get("tokens"))

    found = [obs(0, "chain", None, 0.0, 60.0), obs(1, "retriever_binding", "obs-000000", 0.01, 2.5)]
    parents = ["obs-000000", "obs-000001"]
    for i in range(2, count):
        start = rng.uniform(0.02, 55.0)
        parent = rng.choice(parents[-20:])
        if i % 10 == 0:
            name = "ChatOpenAI" if i % 20 == 0 else "AzureChatOpenAI"
            text = "检索增强生成的回答。" * rng.randint(5, 40)
            found.append(obs(i, name, parent, start, round(rng.uniform(0.5, 4.0), 6), "GENERATION",
                             model="gpt-4o", input=[{"content": "system prompt"},
                                                    {"content": "用户的问题是什么？"}],
                             output={"content": text}, tokens=rng.randint(20, 400)))
        elif i % 10 == 1:
            found.append(obs(i, "vynStrOutputParser", parent, start, rng.uniform(0.01, 2.0)))
        else:
            found.append(obs(i, rng.choice(STEPS), parent, start, rng.uniform(0.001, 1.5)))
        parents.append(found[-1].id)
    return list(reversed(found))


class FakeLangfuse:
    def __init__(self, observations):
        self.observations = observations

    def get_observations(self, trace_id, limit, page=1):
        pages = -(-len(self.observations) // limit)
        chunk = self.observations[(page - 1) * limit: page * limit]
        return SimpleNamespace(data=chunk, meta=SimpleNamespace(
            page=page, limit=limit, total_items=len(self.observations), total_pages=pages))


# ---- the peer: pandas and Plotly -----------------------------------------------------------

def peer_profiling(client, trace_id: str) -> str:
    file = tempfile.NamedTemporaryFile(suffix=".html", mode="w", encoding="utf-8", delete=False)
    file.close()
    data, generantions, observations = [], [], []
    retry_counter, retrieve_duration = 0, 0
    page = client.get_observations(trace_id=trace_id, limit=50)
    total_items, total_pages = page.meta.total_items, page.meta.total_pages
    while page.meta.page <= total_pages and retry_counter < 30:
        if page.meta.total_items != total_items:
            data, generantions, observations, retry_counter = [], [], [], 0
            page = client.get_observations(trace_id=trace_id, limit=50)
            total_items = page.meta.total_items
        total_pages = page.meta.total_pages
        batch = []
        for o in page.data:
            if not o.end_time:
                break
            batch.append(o)
        else:
            for o in batch:
                if o.name == "retriever_binding":
                    retrieve_duration = o.latency
                row = {"name": o.name, "start_time": pd.Timestamp(o.start_time),
                       "end_time": pd.Timestamp(o.end_time), "id": o.id, "latency": o.latency,
                       "parent_id": o.parent_observation_id}
                if o.type == "GENERATION":
                    generantions.append(row)
                data.append(row)
                observations.append(o)
            page = client.get_observations(trace_id=trace_id, limit=50, page=page.meta.page + 1)
            continue
        retry_counter += 1
        time.sleep(0.2)
        page = client.get_observations(trace_id=trace_id, limit=50, page=page.meta.page)
    data.reverse()
    generantions.reverse()
    assert generantions, "None generation found."
    df, df_g = pd.DataFrame(data), pd.DataFrame(generantions)
    root_trace_id, t0 = df.iloc[0]["id"], df.iloc[0]["start_time"]
    # Whole nanoseconds over 1e9.
    df["time_offset"] = (np.asarray(df["start_time"] - t0, dtype="timedelta64[ns]")
                         .astype("int64") / 1000000000)
    df_str = df[df["name"] == "vynStrOutputParser"]
    trace_dict, children_map = {}, defaultdict(list)
    for _, row in df.iterrows():
        trace_dict[row["id"]] = row
        children_map[row["parent_id"]].append(row)
    df["no"] = range(len(df))

    result = {
        "trace_id": trace_id,
        "duration": df.iloc[-1]["time_offset"] + df.iloc[-1]["latency"],
        "time_to_first_token": df_str.iloc[-1]["time_offset"],
        "first_token_timestamp": df_str.iloc[-1]["start_time"],
        "generation": {"duration": df_g["latency"].sum(),
                       "processes": {"ChatOpenAI": [], "AzureChatOpenAI": []}},
        "retrieve": {"duration": retrieve_duration, "processes": {
            "create_vs_by_yaml": [], "VectorStoreRetriever": [], "reranker": []}, "speedup": 0},
    }
    in_sequence = 0
    for o in observations:
        offset = ((pd.Timestamp(o.start_time) - t0) // pd.Timedelta(1, "ns")) / 1000000000
        if o.name in result["generation"]["processes"]:
            chars = len(o.output["content"])
            result["generation"]["processes"][o.name].append({
                "output_token": o.completionTokens, "duration": o.latency, "time_offset": offset,
                "charactor_num": chars, "model": o.model, "input": o.input, "output": o.output,
                "charactor/s": chars / o.latency, "token/s": o.completionTokens / o.latency})
        if o.name in result["retrieve"]["processes"]:
            in_sequence += o.latency
            result["retrieve"]["processes"][o.name].append(
                {"duration": o.latency, "time_offset": offset})
    if result["retrieve"]["duration"] > 0:
        result["retrieve"]["speedup"] = in_sequence / result["retrieve"]["duration"]

    def transpose(rows):
        return [list(c) for c in zip(*rows)] if rows else []

    def add_br(cells, columnwidth=None):
        def fmt(v, n):
            if isinstance(v, str):
                return "<br>".join(v[k:k + n] for k in range(0, len(v), n)) if v else v
            return round(v, 3) if type(v) is float else v
        if not cells:
            return cells
        width = (lambda i: int(100 * columnwidth[i])) if columnwidth else (lambda i: 10)
        if isinstance(cells[0], list):
            for i, column in enumerate(cells):
                for j, v in enumerate(column):
                    column[j] = fmt(v, width(i))
        else:
            for i, v in enumerate(cells):
                cells[i] = fmt(v, width(i))
        return cells

    def find_largest_section_center(lst):
        s = sorted([0, 1] + lst)
        best, pair = 0, (0, 0)
        for a, b in zip(s, s[1:]):
            if b - a > best:
                best, pair = b - a, (a, b)
        return (pair[0] + pair[1]) / 2

    fig = go.Figure()
    widths = [0.4, 0.25, 0.15, 0.2]
    fig.add_trace(go.Table(domain=dict(x=[0, 1], y=[0.9, 1]), columnwidth=widths, header=dict(
        values=["trace_id", "duration", "time_to_first_token", "first_token_timestamp"]),
        cells=dict(values=add_br([result["trace_id"], round(result["duration"], 3),
                                  result["time_to_first_token"],
                                  result["first_token_timestamp"]], widths))))
    widths = [0.5, 0.3, 0.2]
    rows = [[k, e["time_offset"], e["duration"]]
            for k, v in result["retrieve"]["processes"].items() for e in v]
    fig.add_trace(go.Table(name="retrieve", columnwidth=widths, domain=dict(x=[0, 1], y=[0.35, 0.75]),
                           header=dict(values=["processes", "time_offset", "duration"]),
                           cells=dict(values=add_br(transpose(rows), widths))))
    fig.add_trace(go.Table(name="retrieve_summary", domain=dict(x=[0, 1], y=[0.75, 0.85]),
                           header=dict(values=["duration", "speedup"]),
                           cells=dict(values=add_br([result["retrieve"]["duration"],
                                                     result["retrieve"]["speedup"]]))))
    widths = [0.1, 0.1, 0.07, 0.07, 0.07, 0.07, 0.26, 0.26]
    rows = [[k, e["model"], e["time_offset"], e["duration"], e["charactor/s"], e["token/s"],
             "\n".join(m["content"] for m in e["input"]), e["output"]["content"]]
            for k, v in result["generation"]["processes"].items() for e in v]
    fig.add_trace(go.Table(name="generation", domain=dict(x=[0, 1], y=[0, 0.3]), columnwidth=widths,
                           header=dict(values=["processes", "model", "time_offset", "duration",
                                               "charactor/s", "token/s", "input", "output"]),
                           cells=dict(values=add_br(transpose(rows), widths))))
    fig.update_layout(title="Profile Summary")
    config = tracetools.langfuse_config
    build = (f"Build Version {config.get('build_version')}"
             f" Build Date {config.get('build_date')}")
    for text, colour, y in [("Retrieve Details:", "Red", 0.9), ("Generation Details:", "Red", 0.31),
                            (build, "Black", 1.05)]:
        fig.add_annotation(dict(font=dict(color=colour, size=15), x=0, y=y, showarrow=False,
                                text=text, textangle=0, xanchor="left", xref="paper",
                                yref="paper"))
    plotly.offline.plot(fig, filename=file.name, include_plotlyjs=True, auto_open=False)

    key_processes = ["llm_confirm_intent", "AzureChatOpenAI", "ChatOpenAI", "reranker",
                     "multi_retrieve", "embed_query", "Retriever"]
    fig = go.Figure()
    annotations, hit = [], defaultdict(list)
    for _, group in df.groupby("id"):
        for _, row in group.iterrows():
            if row["name"] in key_processes:
                height = find_largest_section_center(hit[row["name"]])
                hit[row["name"]].append(height)
                annotations.append(dict(x=row["no"] + 0.02,
                                        y=row["time_offset"] + row["latency"] * height,
                                        xref="x", yref="y", text=row["name"], showarrow=True,
                                        arrowhead=1))
            fig.add_trace(go.Scatter(
                x=[row["no"], row["no"]],
                y=[row["time_offset"], row["time_offset"] + row["latency"] + 0.01],
                mode="lines+markers",
                meta=[row["id"], row["name"], row["latency"], row["time_offset"],
                      row["time_offset"] + row["latency"]],
                hovertemplate="offset: %{meta[3]} s<br>letency: %{meta[2]}<br>end: %{meta[4]}"
                              "<br>id: %{meta[0]}<br>name: %{meta[1]}<br><extra></extra>"))
    fig.update_layout(title="Timeline Graph", xaxis=dict(
        tickmode="array", tickvals=list(range(0, len(df), 5)),
        ticktext=list(df["time_offset"][::5]), title="time offset"),
        yaxis=dict(title="latency"), annotations=annotations)
    with open(file.name, "a", encoding="utf-8") as f:
        f.write(plotly.offline.plot(fig, include_plotlyjs=False, output_type="div"))

    plot_data = []

    def add_trace_to_plot(trace_id, level=0):
        row = trace_dict[trace_id]
        plot_data.append({"name": row["name"], "id": row["id"], "start": row["time_offset"],
                          "end": row["time_offset"] + row["latency"], "level": level})
        for child in children_map.get(trace_id, []):
            add_trace_to_plot(child["id"], level + 1)

    add_trace_to_plot(root_trace_id)
    fig = go.Figure()
    counter = 1
    for e in plot_data:
        counter = -counter
        fig.add_trace(go.Bar(
            x=[e["end"] - e["start"]], y=[e["level"] + counter * np.random.rand() * 0.1],
            width=0.6, base=[e["start"]], orientation="h", name=e["name"],
            meta=[e["start"], e["end"], e["end"] - e["start"], e["name"]],
            hovertemplate="start: %{meta[0]} s<br>end: %{meta[1]}<br>latency: %{meta[2]}"
                          "<br>name: %{meta[3]}<br><extra></extra>"))
    fig.update_layout(barmode="stack", title="Flame Graph", xaxis=dict(title="Time (s)"),
                      yaxis=dict(title="Call Stack", automargin=True), showlegend=False)
    with open(file.name, "a", encoding="utf-8") as f:
        f.write(plotly.offline.plot(fig, include_plotlyjs=False, output_type="div"))
    return file.name


# ---- the run -------------------------------------------------------------------------------

def timed(function, repeats):
    best, path = float("inf"), None
    for _ in range(repeats):
        if path:
            os.unlink(path)
        start = time.perf_counter()
        path = function()
        best = min(best, time.perf_counter() - start)
    return best, path


_DECODER = json.JSONDecoder()


def figures(path: str) -> list[tuple[list, dict]]:
    """Each plot's data and layout, read back from the page; the bars' random heights and the
    look (template) left out."""
    text = open(path, encoding="utf-8").read()
    found = []
    # Ours: `var figure = {...}`; Plotly's: `Plotly.newPlot("id", [...], {...}, config)`.
    for m in re.finditer(r'var figure = |Plotly\.newPlot\(\s*"[^"]+",\s*', text):
        value, end = _DECODER.raw_decode(text, m.end())
        if isinstance(value, dict):
            data, layout = value["data"], value["layout"]
        else:
            data, (layout, _) = value, _DECODER.raw_decode(text, text.index("{", end))
        layout.pop("template", None)
        for trace in data:
            if trace.get("type") == "bar":
                trace.pop("y")
        found.append((data, layout))
    return found


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--observations", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args(argv)

    client = FakeLangfuse(make_observations(args.observations))
    tracetools.langfuse = client
    print(f"trace: {args.observations} observations in pages of 50, Python {sys.version.split()[0]}")
    ours, ours_path = timed(lambda: tracetools.langfuse_profiling("bench-trace"), args.repeats)
    theirs, peer_path = timed(lambda: peer_profiling(client, "bench-trace"), args.repeats)
    try:
        ours_figures, peer_figures = figures(ours_path), figures(peer_path)
        if len(ours_figures) != 3 or ours_figures != peer_figures:
            print("REPORTS DIFFER")
            return 1
        print(f"langfuse_profiling   ours {ours * 1e3:9.1f} ms   pandas+plotly {theirs * 1e3:9.1f} ms"
              f"   ratio {theirs / ours:6.1f}x")
        result(f"langfuse_profiling, {args.observations} observations", "pandas + plotly",
               theirs / ours, "20x")
        print(f"output size          ours {os.path.getsize(ours_path) / 1e6:7.2f} MB"
              f"   pandas+plotly {os.path.getsize(peer_path) / 1e6:7.2f} MB")
    finally:
        os.unlink(ours_path)
        os.unlink(peer_path)
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
