"""Path arguments across the modules: one rule for text, bytes and os.PathLike, and a NUL inside a
path is refused before any system call sees a shortened path."""

import os

import pytest

from mosswork_utils import datastore as ds


def enter_file_lock(path):
    ds.file_lock(path, timeout=0.1).__enter__()


CASES = [
    pytest.param(enter_file_lock, str, id="file_lock-str"),
    pytest.param(enter_file_lock, os.fsencode, id="file_lock-bytes"),
    pytest.param(ds.calculate_file_md5, str, id="md5-str"),
    pytest.param(ds.calculate_file_md5, os.fsencode, id="md5-bytes"),
    pytest.param(ds._read_document_text, str, id="document_text"),
]


@pytest.mark.parametrize("call, make", CASES)
def test_embedded_nul_is_refused(call, make, tmp_path):
    # The part before the NUL names a real file: a path cut short there would be opened.
    (tmp_path / "real").write_bytes(b"%PDF-1.4\n")
    with pytest.raises(ValueError, match="embedded null byte"):
        call(make(str(tmp_path / "real") + "\0.pdf"))


@pytest.mark.parametrize("call", [enter_file_lock, ds.calculate_file_md5])
@pytest.mark.parametrize("bad", [None, 3, 1.5])
def test_a_non_path_is_a_type_error(call, bad):
    with pytest.raises(TypeError):
        call(bad)
