// QueryExpr, the query tree, and its evaluation against one index.
//
// A tree is built from the Python query constructors or from keyword
// equalities and evaluated to the set of member ids that satisfy it.
// Attribute names may be dotted paths: `owner.name` is answered by the
// sub-index of `owner` and mapped back to the owners. Operators never raise
// for unknown attributes or values of a kind they cannot compare; they give
// the empty set. Every result lies within the universe it was evaluated
// against (the members, or a view's ids).
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "index/common/id_set.h"
#include "index/common/small_string.h"
#include "index/core/index.h"
#include "index/value.h"

namespace calderwick {

struct QueryExpr {
  enum class Op : uint8_t { Eq, Ne, Not, In, And, Or, Gt, Ge, Lt, Le, Bt, StartsWi, EndsWi, Contains };

  Op op;
  SmallString attr;               // operators on an attribute
  std::vector<PyValue> values;    // one value; Bt: low, high; In: the alternatives
  std::vector<QueryExpr> children;  // Not: one; And, Or: any number

  static QueryExpr on_attribute(Op op, SmallString attr, std::vector<PyValue> values);
  static QueryExpr combine(Op op, std::vector<QueryExpr> children);

  bool has_attribute() const { return op != Op::Not && op != Op::And && op != Op::Or; }
  // `Eq("a", PyValue { .. })`, `And([..])`, ...
  std::string debug_string() const;
};

const char* op_name(QueryExpr::Op op);

// Splits at the first "." : ("a", "b.c") for "a.b.c"; no tail without a dot.
std::pair<SmallString, std::optional<SmallString>> attr_parts(const SmallString& attr);

using KeywordQuery = std::vector<std::pair<SmallString, PyValue>>;
// Keyword arguments of a Python call as (name, value) equalities. Needs the GIL.
KeywordQuery kwargs_to_query(PyObject* kwargs);
std::vector<QueryExpr> equalities(const KeywordQuery& query);

// Evaluates `expr` over `universe`; the caller holds the query-maps read lock.
IdSet evaluate_query(const QueryMaps& maps, const IdSet& universe, const QueryExpr& expr);
// The conjunction: operands ordered by rank, each narrowing the next one's universe.
IdSet evaluate_and_queries_vec(const QueryMaps& maps, const IdSet& universe, const std::vector<QueryExpr>& exprs);

// Evaluates on an index with its members as the universe (takes its
// query-maps lock, then its member lock).
IdSet evaluate_on_index(const IndexAPI& index, const QueryExpr& expr);

}  // namespace calderwick
