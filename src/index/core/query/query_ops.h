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

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "index/common/id_set.h"
#include "index/common/small_string.h"
#include "index/core/index.h"
#include "index/value.h"

namespace calderwick {

// A node of a query tree. Built trees never change, so combinators share
// their operands instead of copying them: `and_(q, q)` holds `q` twice, and a
// left fold of n conditions costs O(n) to build. Nothing that walks a tree
// (evaluation, rendering, destruction) recurses on the native stack: trees of
// any depth are handled with explicit work lists.
struct QueryExpr {
  enum class Op : uint8_t { Eq, Ne, Not, In, And, Or, Gt, Ge, Lt, Le, Bt, StartsWi, EndsWi, Contains };
  using Node = std::shared_ptr<const QueryExpr>;

  Op op;
  SmallString attr;             // operators on an attribute
  std::vector<PyValue> values;  // one value; Bt: low, high; In: the alternatives
  std::vector<Node> children;   // Not: one; And, Or: any number (shared, never null)

  static QueryExpr on_attribute(Op op, SmallString attr, std::vector<PyValue> values);
  static QueryExpr combine(Op op, std::vector<Node> children);

  QueryExpr(Op o, SmallString a, std::vector<PyValue> v, std::vector<Node> c)
      : op(o), attr(std::move(a)), values(std::move(v)), children(std::move(c)) {}
  QueryExpr(Op o, std::vector<Node> c) : op(o), children(std::move(c)) {}
  QueryExpr(const QueryExpr&) = default;  // shallow: the copy shares the operands
  QueryExpr(QueryExpr&&) = default;
  QueryExpr& operator=(const QueryExpr&) = default;
  QueryExpr& operator=(QueryExpr&&) = default;
  // Releases the operands it owns alone one by one from a work list, so a
  // chain of any length is dropped without recursion.
  ~QueryExpr();

  bool has_attribute() const { return op != Op::Not && op != Op::And && op != Op::Or; }
  // `Eq("a", PyValue { .. })`, `And([..])`, ... : the tree as built, shared
  // operands written out at every use. A tree that would print more than
  // kMaxWrittenQueryNodes nodes is refused with an InternalError before any
  // text is made.
  std::string debug_string() const;
};

inline constexpr uint64_t kMaxWrittenQueryNodes = uint64_t{1} << 22;

const char* op_name(QueryExpr::Op op);

// Splits at the first "." : ("a", "b.c") for "a.b.c"; no tail without a dot.
std::pair<SmallString, std::optional<SmallString>> attr_parts(const SmallString& attr);

// One Eq node per (attribute, value) pair.
std::vector<QueryExpr> equalities(std::vector<std::pair<SmallString, PyValue>> pairs);

// Evaluates `expr` over `universe`; the caller holds the query-maps read lock.
// Nested And (and nested Or) nodes are evaluated as one conjunction
// (disjunction) of all their operands: the same set, since every result lies
// within the universe it was evaluated over.
IdSet evaluate_query(const QueryMaps& maps, const IdSet& universe, const QueryExpr& expr);
// The conjunction: operands ordered by rank, each narrowing the next one's universe.
IdSet evaluate_and_queries_vec(const QueryMaps& maps, const IdSet& universe, const std::vector<QueryExpr>& exprs);

// Evaluates on an index with its members as the universe (takes its
// query-maps lock, then its member lock).
IdSet evaluate_on_index(const IndexAPI& index, const QueryExpr& expr);

}  // namespace calderwick
