// Turns core errors into Python exceptions: the one place where that mapping lives.
#include "bridge/errors.h"

#include <cstring>
#include <string>
#include <string_view>

#include "bridge/text.h"
#include "core/common/errors.h"

namespace py = pybind11;

namespace mosswork::bridge {
namespace {

// Core texts are UTF-8; a stray byte must not hide the error itself.
py::object text_object(const std::string& text) { return decode_utf8(text, "replace"); }

void set_text(py::handle cls, const std::string& text) {
  PyErr_SetObject(cls.ptr(), text_object(text).ptr());
}

void set_args(py::handle cls, const py::tuple& args) { PyErr_SetObject(cls.ptr(), args.ptr()); }

// Redis error replies become the exceptions redis-py makes of them: its class by the code word,
// the text without it.
void set_redis_reply(const std::string& text) {
  py::object error =
      py::module_::import("mosswork_utils.exceptions").attr("_reply_error")(text_object(text));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

bool set_redis(const core::Error& e) {
  if (auto* r = dynamic_cast<const core::ReplyError*>(&e)) {
    set_redis_reply(r->what());
  } else if (dynamic_cast<const core::LockNotOwned*>(&e)) {
    set_text(exception_class("LockNotOwnedError"), e.what());
  } else if (dynamic_cast<const core::LockError*>(&e)) {
    set_text(exception_class("LockError"), e.what());
  } else if (dynamic_cast<const core::MasterNotFound*>(&e)) {
    set_text(exception_class("MasterNotFoundError"), e.what());
  } else if (dynamic_cast<const core::SlaveNotFound*>(&e)) {
    set_text(exception_class("SlaveNotFoundError"), e.what());
  } else if (dynamic_cast<const core::Timeout*>(&e)) {
    set_text(exception_class("RedisTimeoutError"), e.what());
  } else if (dynamic_cast<const core::ConnectionClosed*>(&e) ||
             dynamic_cast<const core::ProtocolError*>(&e)) {
    set_text(exception_class("RedisConnectionError"), e.what());
  } else if (dynamic_cast<const core::InvalidArgument*>(&e) ||
             dynamic_cast<const core::TypeMismatch*>(&e)) {
    set_text(exception_class("DataError"), e.what());
  } else {
    return false;
  }
  return true;
}

// An empty text is minio-py's "not given".
py::object text_or_none(const std::string& text) {
  return text.empty() ? py::object(py::none()) : text_object(text);
}

bool set_s3(const core::Error& e) {
  if (auto* s = dynamic_cast<const core::S3Error*>(&e)) {
    // minio-py's constructor: the text is its own formatting of these fields.
    py::object cls = exception_class("S3Error");
    py::object instance =
        cls(py::arg("response") = py::none(), py::arg("code") = text_object(s->code()),
            py::arg("message") = text_object(s->message()), py::arg("resource") = py::none(),
            py::arg("request_id") = py::none(), py::arg("host_id") = py::none(),
            py::arg("bucket_name") = text_or_none(s->bucket_name()),
            py::arg("object_name") = text_or_none(s->object_name()));
    PyErr_SetObject(cls.ptr(), instance.ptr());
    return true;
  }
  return false;
}

void set_instance(const py::object& instance) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
}

bool set_search(const core::Error& e) {
  if (auto* h = dynamic_cast<const core::HttpStatusError*>(&e)) {
    // The class and fields opensearch-py gives the same answer (OpenSearch answers in JSON).
    set_instance(
        exception_class("TransportError")
            .attr("_from_answer")(h->status(), text_object(h->body()), "application/json"));
    return true;
  }
  if (dynamic_cast<const core::ConnectionClosed*>(&e) || dynamic_cast<const core::Timeout*>(&e)) {
    // opensearch-py's arguments: "N/A", the text, and the underlying failure.
    py::handle builtin =
        dynamic_cast<const core::Timeout*>(&e) ? PyExc_TimeoutError : PyExc_ConnectionError;
    py::object cause = py::reinterpret_borrow<py::object>(builtin)(text_object(e.what()));
    set_args(exception_class("SearchConnectionError"),
             py::make_tuple("N/A", text_object(e.what()), cause));
    return true;
  }
  return false;
}

// The pool's failures as urllib3's PoolManager reports them once its retries are used up.
bool set_pool(const core::Error& e) {
  py::object x = py::module_::import("urllib3.exceptions");
  py::object reason;
  if (auto* h = dynamic_cast<const core::HttpStatusError*>(&e)) {
    reason =
        x.attr("ResponseError")("too many " + std::to_string(h->status()) + " error responses");
  } else if (dynamic_cast<const core::Timeout*>(&e)) {
    reason = x.attr("ReadTimeoutError")(py::none(), py::none(), text_object(e.what()));
  } else if (dynamic_cast<const core::ConnectionClosed*>(&e) ||
             dynamic_cast<const core::ProtocolError*>(&e)) {
    reason = x.attr("ProtocolError")(text_object(e.what()));
  } else {
    return false;
  }
  set_instance(x.attr("MaxRetryError")(py::none(), py::none(), reason));
  return true;
}

bool set_vexlo(const core::Error& e) {
  if (auto* h = dynamic_cast<const core::HttpStatusError*>(&e)) {
    set_args(exception_class("UnexpectedResponse"),
             py::make_tuple(h->status(), "", py::bytes(h->body()), py::dict()));
    return true;
  }
  return false;
}

// A refused request becomes requests' HTTPError, built by the class's own helper so that the
// text and the response attributes are made in one place.
bool set_http(const core::Error& e) {
  if (auto* h = dynamic_cast<const core::HttpStatusError*>(&e)) {
    py::object error = py::module_::import("mosswork_utils.exceptions")
                           .attr("HTTPError")
                           .attr("from_status")(h->status(), py::bytes(h->body()));
    set_instance(error);
    return true;
  }
  return false;
}

bool set_amqp(const core::Error& e) {
  if (dynamic_cast<const core::ReplyError*>(&e)) {
    set_text(exception_class("AmqpError"), e.what());
    return true;
  }
  return false;
}

void set_generic(const core::Error& base) {
  try {
    throw;  // rethrow the exception in flight to dispatch on its type
  } catch (const core::ApplicationFailure& e) {
    set_text(application_error_class(), e.what());
  } catch (const core::IoError& e) {
    // OSError(errno, text, filename) picks FileNotFoundError, PermissionError and so on; the
    // text keeps what was being done next to the system's reason.
    py::tuple args;
    if (e.path().empty()) {
      args = py::make_tuple(e.error_number(), text_object(e.what()));
    } else {
      args = py::make_tuple(e.error_number(), text_object(e.context()), text_object(e.path()));
    }
    set_args(py::handle(PyExc_OSError), args);
  } catch (const core::Timeout& e) {
    set_text(py::handle(PyExc_TimeoutError), e.what());
  } catch (const core::ConnectionClosed& e) {
    set_text(py::handle(PyExc_ConnectionError), e.what());
  } catch (const core::InvalidArgument& e) {
    set_text(py::handle(PyExc_ValueError), e.what());
  } catch (const core::TypeMismatch& e) {
    set_text(py::handle(PyExc_TypeError), e.what());
  } catch (const core::ParseError& e) {
    set_text(py::handle(PyExc_ValueError), e.what());
  } catch (const core::Error& e) {
    set_text(py::handle(PyExc_RuntimeError), e.what());
  }
  (void)base;
}

}  // namespace

py::object exception_class(const char* name) {
  return py::module_::import("mosswork_utils.exceptions").attr(name);
}

py::object application_error_class() { return exception_class("ApplicationError"); }

void set_python_error(std::exception_ptr error, Domain domain) {
  try {
    std::rethrow_exception(error);
  } catch (const core::Error& e) {
    try {
      bool done = false;
      switch (domain) {
        case Domain::kRedis:
          done = set_redis(e);
          break;
        case Domain::kS3:
          done = set_s3(e);
          break;
        case Domain::kSearch:
          done = set_search(e);
          break;
        case Domain::kVexlo:
          done = set_vexlo(e);
          break;
        case Domain::kAmqp:
          done = set_amqp(e);
          break;
        case Domain::kHttp:
          done = set_http(e);
          break;
        case Domain::kPool:
          done = set_pool(e);
          break;
        case Domain::kGeneric:
          break;
      }
      if (!done) set_generic(e);
    } catch (py::error_already_set& lookup) {
      lookup.restore();  // the mapping itself failed: report that rather than nothing
    }
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

void raise_python_error(std::exception_ptr error, Domain domain) {
  set_python_error(error, domain);
  throw py::error_already_set();
}

void translate_core_error(std::exception_ptr error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const core::Error&) {
    set_python_error(error, Domain::kGeneric);
  }
  // Anything else propagates to pybind11's next translator.
}

void install_library_error_translator() {
  // Called with the GIL held (module initialisation), so the flag needs no lock.
  static bool installed = false;
  if (installed) return;
  installed = true;
  py::register_local_exception_translator(&translate_core_error);
}

}  // namespace mosswork::bridge
