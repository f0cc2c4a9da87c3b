// Argument binding for the module's Python entry points.
//
// Errors follow CPython's wording for function calls ("f() missing 1 required
// positional argument: 'a'", "f() got an unexpected keyword argument 'x'",
// ...). Conversion failures of a named argument are reported as
// "argument 'name': <message>" with the original error as the cause.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "index/binding/errors.h"

namespace calderwick::py {

// Binds a METH_FASTCALL | METH_KEYWORDS call to `names` (all required,
// positional or keyword) and writes borrowed references into `out`, which has
// room for names.size() entries. Throws PythonError with a TypeError.
void bind_fast(const char* fname, std::initializer_list<const char*> names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// For `f(*args)` static methods: refuses any keyword.
void refuse_keywords(const char* fname, PyObject* kwnames);

// For `f(**kwargs)` methods called with (args tuple, kwargs dict): refuses positionals.
void refuse_positionals(const char* fname, PyObject* args);

// For constructors that take nothing.
void refuse_arguments(const char* fname, PyObject* args, PyObject* kwargs);

// Re-raises the pending Python error as a TypeError "argument 'name': <msg>"
// whose cause is the original error.
[[noreturn]] void argument_error(const char* name);

// Raises TypeError "argument 'name': '<type>' object cannot be converted to '<target>'".
[[noreturn]] void downcast_error(const char* name, PyObject* obj, const char* target);

// "'<type>' object cannot be converted to '<target>'"
std::string downcast_message(PyObject* obj, const char* target);

// The elements of a sequence argument, read by iterating it (its length is
// only a capacity hint). A str is refused with `str_message`; a non-sequence
// with the usual conversion error naming 'Sequence'.
std::vector<PyRef> extract_sequence(const char* name, PyObject* obj, const char* str_message);

// An integer argument (anything with __index__) as an unsigned 64-bit value.
// A non-integer is an argument error naming `name`; negative values and
// values of 2**64 or more keep CPython's own OverflowError.
uint64_t to_u64(const char* name, PyObject* obj);

// A tp_new slot for classes that Python code cannot instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// A C function of any of CPython's calling conventions as a PyCFunction.
template <auto F>
PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace calderwick::py
