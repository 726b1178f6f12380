// What the datastore's vector-database functions share: the endpoint read from `config` at every
// call, request bodies from the bridge's JSON codec, response texts, ApplicationError and cheap
// LangChain Documents.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "bridge/json_codec.h"
#include "core/http/loop_transfer.h"
#include "core/vexlo/rest.h"

namespace mosswork::datastore {

// vexlo_host, vexlo_port and vexlo_api_key of m.config (looked up now), formatted as text. A
// header value with a line break or NUL is refused with ValueError before anything is sent.
core::vexlo::RestEndpoint vexlo_endpoint(pybind11::handle m);

// format(value) as UTF-8, as an f-string writes a value into a URL.
std::string formatted(pybind11::handle value);

// json.dumps(value) (ASCII only) in the one block the encoder wrote it in, to be handed to
// libcurl as it is (view()), or copied (str()) for a transfer that owns its body. Raises the
// TypeError json.dumps raises for what it cannot serialise.
bridge::json::EncodedText json_body(pybind11::handle value);

// A response body as requests' Response.text gives it: decoded by the declared charset, else as
// UTF-8, undecodable bytes replaced.
pybind11::str response_text(std::string_view body, std::string_view content_type);
// The Content-Type of a response of the loop driver.
std::string content_type_of(const core::http::loop::BufferedResponse& response);

// Raises ApplicationError(message).
[[noreturn]] void raise_application_error(pybind11::handle message);

// One blocking exchange with the database, the GIL released while it lasts.
core::http::Response vexlo_send(const std::string& method, const std::string& url,
                                const core::http::HeaderList& headers, std::string_view body = {});
// A blocking answer's body as text (response_text of its Content-Type).
pybind11::str text_of(const core::http::Response& response);
// A coroutine's answer once its transfer is done: the transport's error raised as the Python
// error, a status other than 200 as ApplicationError with the answer's text.
const core::http::loop::BufferedResponse& answer_of(core::http::loop::BufferedTransfer& transfer);

// Document(page_content=..., metadata=...). Exact str and dict values are put into a Document
// directly (what model_construct does, without its Python overhead); anything else goes through
// Document's own validation, so its errors are unchanged. copy_metadata gives the Document its
// own shallow copy of the map, as validation would.
class DocumentMaker {
 public:
  DocumentMaker();
  pybind11::object operator()(pybind11::handle page_content, pybind11::handle metadata,
                              bool copy_metadata) const;

 private:
  pybind11::object cls_;
  pybind11::str id_, metadata_, page_content_, type_, type_value_;
  pybind11::str dict_attr_, fields_set_attr_, extra_attr_, private_attr_;
};

void bind_vector_collections(pybind11::module_& m);
void bind_vector_search(pybind11::module_& m);

}  // namespace mosswork::datastore
