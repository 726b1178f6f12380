"""Stand-in for the OCR service: POST /ocr with {"model_name": "paddleocr", "image_data": Base64}
answers {"text": ...} as Tesseract reads the image; a malformed request gets 400, an image
Tesseract cannot read 422. Run: python ocr_standin.py --port 8866. Binds 127.0.0.1 only."""

import argparse
import base64
import binascii
import json
import os
import subprocess
import tempfile
from urllib.parse import urlsplit

from standin_http import JsonHandler, serve

MODELS = ("paddleocr",)
MAX_BODY = 64 << 20       # bytes of request body accepted
TESSERACT_TIMEOUT = 60    # seconds one recognition may take


# Leading bytes of the image formats Tesseract reads. Anything else is refused before Tesseract
# sees it: given a text file, Tesseract takes each line as the name of an image to read.
SIGNATURES = (b"\x89PNG\r\n\x1a\n", b"\xff\xd8\xff", b"GIF87a", b"GIF89a", b"II*\x00", b"MM\x00*",
              b"BM", b"P1", b"P2", b"P3", b"P4", b"P5", b"P6")


def is_image(data: bytes) -> bool:
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return True
    return data.startswith(SIGNATURES)


def recognise(image: bytes) -> str:
    """Tesseract's text of the image, without the trailing page break and blank lines."""
    if not is_image(image):
        raise ValueError("not an image format this service reads")
    with tempfile.TemporaryDirectory(prefix="ocr-standin-") as tmp:
        path = os.path.join(tmp, "image")
        with open(path, "wb") as f:
            f.write(image)
        run = subprocess.run(["tesseract", path, "stdout", "-l", "eng"], capture_output=True,
                             timeout=TESSERACT_TIMEOUT, check=False)
    if run.returncode != 0:
        raise ValueError(run.stderr.decode("utf-8", "replace").strip() or "tesseract failed")
    return run.stdout.decode("utf-8", "replace").strip()


class Handler(JsonHandler):

    def _bad(self, status, reason):
        self._send(status, {"error": reason})

    def do_GET(self):
        if urlsplit(self.path).path == "/":
            return self._send(200, {"name": "ocr stand-in", "models": list(MODELS)})
        return self._bad(404, "not found")

    def do_POST(self):
        length = self.headers.get("Content-Length")
        if length is None or not length.isdigit():
            self.close_connection = True
            return self._bad(411, "a Content-Length is required")
        if int(length) > MAX_BODY:
            self.close_connection = True
            return self._bad(413, "request body too large")
        raw = self.rfile.read(int(length))
        if urlsplit(self.path).path != "/ocr":
            return self._bad(404, "not found")
        if self.headers.get_content_type() != "application/json":
            return self._bad(400, "the body must be JSON (Content-Type: application/json)")
        try:
            doc = json.loads(raw)
        except ValueError as exc:
            return self._bad(400, f"body is not JSON: {exc}")
        if not isinstance(doc, dict):
            return self._bad(400, "body must be a JSON object")
        model, data = doc.get("model_name"), doc.get("image_data")
        if model not in MODELS:
            return self._bad(400, f"unknown model_name: {model!r}")
        if not isinstance(data, str):
            return self._bad(400, "image_data must be a Base64 string")
        try:
            image = base64.b64decode(data, validate=True)
        except (binascii.Error, ValueError) as exc:
            return self._bad(400, f"image_data is not Base64: {exc}")
        if not image:
            return self._bad(400, "image_data is empty")
        try:
            text = recognise(image)
        except (ValueError, subprocess.TimeoutExpired) as exc:
            return self._bad(422, f"cannot read the image: {exc}")
        return self._send(200, {"text": text})


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=8866)
    args = parser.parse_args()
    serve(Handler, args.port, "OCR stand-in")


if __name__ == "__main__":
    main()
