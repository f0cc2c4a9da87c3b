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

#include <array>
#include <iterator>
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

  bool has_attribute() const;
  // `Eq("a", PyValue { .. })`, `And([..])`, ... : the tree as built, shared
  // operands written out at every use. A tree whose text would be longer
  // than kMaxWrittenQueryBytes is refused with an InternalError before any
  // of it is made.
  std::string debug_string() const;
};

inline constexpr uint64_t kMaxWrittenQueryBytes = uint64_t{64} << 20;

// The operands an operator takes, which is also what its Python constructor takes.
enum class OpOperands : uint8_t {
  Value,     // an attribute and one value: (attr, value)
  Bounds,    // an attribute and an inclusive range: (attr, lower, upper)
  Values,    // an attribute and any number of values: (attr, values)
  Operand,   // one expression: (exprs)
  Operands,  // any number of expressions: (*exprs)
};

struct OpInfo {
  QueryExpr::Op op;
  const char* name;         // in the debug form
  const char* python_name;  // the PyQueryExpr constructor
  OpOperands operands;
  // Position among the operands of an And: cheaper and more selective
  // operators are evaluated first, and narrow the universe of the rest.
  uint8_t rank;
};

// Every operator once, in the order PyQueryExpr lists its constructors. The
// evaluator, the debug form and the Python constructors all read this table.
inline constexpr OpInfo kOperators[] = {
    {QueryExpr::Op::Eq, "Eq", "eq", OpOperands::Value, 0},
    {QueryExpr::Op::Ne, "Ne", "ne", OpOperands::Value, 1},
    {QueryExpr::Op::Gt, "Gt", "gt", OpOperands::Value, 11},
    {QueryExpr::Op::Ge, "Ge", "ge", OpOperands::Value, 12},
    {QueryExpr::Op::Le, "Le", "le", OpOperands::Value, 10},
    {QueryExpr::Op::Bt, "Bt", "bt", OpOperands::Bounds, 13},
    {QueryExpr::Op::Lt, "Lt", "lt", OpOperands::Value, 9},
    {QueryExpr::Op::In, "In", "in_", OpOperands::Values, 3},
    {QueryExpr::Op::And, "And", "and_", OpOperands::Operands, 7},
    {QueryExpr::Op::Or, "Or", "or_", OpOperands::Operands, 8},
    {QueryExpr::Op::Not, "Not", "not_", OpOperands::Operand, 2},
    {QueryExpr::Op::StartsWi, "StartsWi", "starts_with", OpOperands::Value, 4},
    {QueryExpr::Op::EndsWi, "EndsWi", "ends_with", OpOperands::Value, 5},
    {QueryExpr::Op::Contains, "Contains", "contains", OpOperands::Value, 6},
};
inline constexpr size_t kOperatorCount = std::size(kOperators);

namespace detail {
// Op -> its row of kOperators; every Op has exactly one row.
inline constexpr auto kOperatorRow = [] {
  std::array<uint8_t, kOperatorCount> row{};
  std::array<bool, kOperatorCount> seen{};
  for (size_t i = 0; i < kOperatorCount; ++i) {
    const auto op = static_cast<size_t>(kOperators[i].op);
    if (op >= kOperatorCount || seen[op]) throw "every operator needs exactly one row";
    seen[op] = true;
    row[op] = static_cast<uint8_t>(i);
  }
  return row;
}();
}  // namespace detail

constexpr const OpInfo& op_info(QueryExpr::Op op) { return kOperators[detail::kOperatorRow[static_cast<size_t>(op)]]; }
constexpr const char* op_name(QueryExpr::Op op) { return op_info(op).name; }
constexpr bool is_combinator(QueryExpr::Op op) {
  const OpOperands o = op_info(op).operands;
  return o == OpOperands::Operand || o == OpOperands::Operands;
}
inline bool QueryExpr::has_attribute() const { return !is_combinator(op); }

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
