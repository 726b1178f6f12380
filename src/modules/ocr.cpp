// The ocr module: OCR of images through the OCR service, and the check for PDFs without text.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <string_view>

#include "bridge/errors.h"
#include "bridge/json_codec.h"
#include "bridge/text.h"
#include "core/build/description.h"
#include "core/documents/pdf_text.h"
#include "core/ocr/ocr_client.h"

namespace py = pybind11;
using mosswork::bridge::Domain;
using mosswork::bridge::released;
namespace documents = mosswork::core::documents;
namespace ocr = mosswork::core::ocr;

namespace {

// The image bytes of any object with the buffer protocol. Immutable bytes are read in place
// (the caller's reference keeps them alive); anything else is copied, because a bytearray may
// change while the GIL is released.
struct ImageBytes {
  std::string copy;
  std::string_view view;
};

ImageBytes image_bytes(py::handle data) {
  ImageBytes out;
  if (PyBytes_Check(data.ptr())) {
    out.view = std::string_view(PyBytes_AS_STRING(data.ptr()),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr())));
    return out;
  }
  if (!PyObject_CheckBuffer(data.ptr())) {
    throw py::type_error(std::string("a bytes-like object is required, not '") +
                         Py_TYPE(data.ptr())->tp_name + "'");
  }
  Py_buffer buffer;
  if (PyObject_GetBuffer(data.ptr(), &buffer, PyBUF_C_CONTIGUOUS) != 0)
    throw py::error_already_set();
  std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> held(&buffer, &PyBuffer_Release);
  out.copy.assign(static_cast<const char*>(buffer.buf), static_cast<std::size_t>(buffer.len));
  out.view = out.copy;
  return out;
}

}  // namespace

PYBIND11_MODULE(ocr, m) {
  m.doc() = "OCR of images through the OCR service, and detection of PDFs without a text layer.";
  m.attr("__version__") = std::string(mosswork::core::build::kVersion);
  mosswork::bridge::install_error_translator();
  py::module_ connections = py::module_::import("mosswork_utils.connections");
  m.attr("ocr_service_endpoint") = connections.attr("ocr_service_endpoint");

  // One client for the life of the module; the function objects share it.
  auto client = std::make_shared<ocr::OcrClient>(ocr::OcrClient::default_transport());
  py::handle module = m;
  m.def(
      "get_image_ocr_txt",
      [client, module](py::object image_bin_data) {
        ImageBytes image = image_bytes(image_bin_data);
        // Read at every call, so that an endpoint set on the module takes effect.
        std::string endpoint = py::str(module.attr("ocr_service_endpoint")).cast<std::string>();
        std::string body =
            released(Domain::kHttp, [&] { return client->recognise(endpoint, image.view); });
        py::object answer = mosswork::bridge::json::loads_utf8(body);
        return py::object(answer[py::str("text")]);
      },
      py::arg("image_bin_data"),
      "Sends the image to the OCR service and returns the text it recognised.\n\n"
      "Raises HTTPError for a status of 400 or above, ConnectionError or TimeoutError (30 s)\n"
      "when the service cannot be reached, JSONDecodeError for an answer that is not JSON and\n"
      "KeyError when it has no 'text'.");
  m.def(
      "is_scanned_pdf",
      [](py::handle file_name) {
        if (!PyUnicode_Check(file_name.ptr())) {
          throw py::type_error(std::string("file_name must be str, not ") +
                               Py_TYPE(file_name.ptr())->tp_name);
        }
        std::string error;
        try {
          std::string path = mosswork::bridge::fs_path(file_name);
          return released(Domain::kGeneric, [&] { return documents::is_scanned_pdf(path); });
        } catch (py::error_already_set& e) {
          if (!e.matches(PyExc_Exception)) throw;
          error = py::str(e.value()).cast<std::string>();
        }
        // An unreadable file counts as not scanned; the reason goes to standard output.
        py::str reason = mosswork::bridge::decode_utf8(error, "replace");
        py::print(py::str("{}{}{}").format(file_name, " check_scanned: Error Info:", reason));
        return false;
      },
      py::arg("file_name"),
      "True when no page of the PDF has any text. A file that cannot be read prints one line\n"
      "to standard output and gives False. Raises TypeError when file_name is not a str.");
}
