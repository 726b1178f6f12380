// Marks a bridge declaration that GCC would hide whatever the pragma in visibility.h says:
// explicit template specializations take the visibility of pybind11's hidden types in their
// signature, so they need the attribute itself to be reachable from the modules.
#pragma once

#define MOSSWORK_BRIDGE_EXPORT __attribute__((visibility("default")))
