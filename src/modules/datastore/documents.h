// Document reading of the datastore module: object text, whole objects in memory, full texts.
#pragma once

#include <pybind11/pybind11.h>

namespace mosswork::datastore {

// read_minio_file_text, download_as_bytesio, get_doc_fulltext_opensearch and the private
// _read_document_text. The shared clients and download_from_minio are looked up on `m` at every
// call, so a replaced client (or a download function bound later) takes effect at once.
void bind_documents(pybind11::module_& m);

}  // namespace mosswork::datastore
