// Debug forms of values, as the repr of a query shows its operands:
//
//   PyValue { obj: None, primitave: Int(5), hash: 123 }
//
// The payload part alone is "Int(5)", "Float(0.1)", "Str(\"a\")",
// "Bool(true)", "Iterable(List(Py(0x...)))", "Unknown", or for an object
// "Ind(StoredIndexable { ... })" listing its attributes' forms; an object met
// again inside its own form prints "<locked>". Needs the GIL or the write
// gate (it reads attribute maps).
#pragma once

#include <string>
#include <string_view>

#include "index/value.h"

namespace calderwick {

std::string debug_string(const PyValue& v);
std::string debug_payload(const PyValue& v);
// A double-quoted string with escapes.
std::string debug_quoted(std::string_view s);
// The shortest decimal form that reads back to the same double.
std::string debug_float(double x);

}  // namespace calderwick
