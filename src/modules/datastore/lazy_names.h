// Published names whose values are made at first access (a module-level __getattr__), so that
// importing the module does not import LangChain for the runnables nobody has asked for yet.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace mosswork::datastore {

// Registers `name`, made by `make` at its first access; the value is then kept in the module's
// dict, so every later access gets the same object without another call. To be called while
// the module initialises, before install_lazy_names.
void publish_lazily(const char* name, std::function<pybind11::object()> make);

// Installs __getattr__, __dir__ and __all__ (the public names, the lazy ones included, so that
// a star import still brings them all) for the names registered so far.
void install_lazy_names(pybind11::module_& m);

}  // namespace mosswork::datastore
