// The classes the module registers, in registration order. Each entry creates
// its type object on first request and returns the same object afterwards.
#pragma once

#include <Python.h>

#include <span>

namespace calderwick::py {

struct ModuleType {
  const char* name;
  PyTypeObject* (*get)();  // new type on first call, cached afterwards; null with an error set on failure
};

std::span<const ModuleType> module_types();

}  // namespace calderwick::py
