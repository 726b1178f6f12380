# Type stub of the ocr module: OCR through the OCR service and the scanned-PDF check.
from typing import Any

__version__: str
ocr_service_endpoint: Any

# Any object with the buffer protocol is accepted; these are the usual ones.
def get_image_ocr_txt(image_bin_data: bytes | bytearray | memoryview) -> Any: ...
def is_scanned_pdf(file_name: str) -> bool: ...
