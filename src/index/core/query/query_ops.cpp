#include "index/core/query/query_ops.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/container/inlined_vector.h"
#include "index/common/error.h"
#include "index/debug_form.h"
#include "index/structures/string_interner/string_interner.h"

namespace calderwick {
namespace {

using Op = QueryExpr::Op;

const std::optional<NumKey> numeric_key(const PyValue& v) {
  if (!v.is_number()) return std::nullopt;
  return NumericalBitmap::key_of(v.number());
}

// NaN is a Float that equals nothing and has no order (as in Python): it
// matches no equality and no range, and stored NaNs (filed beyond the
// infinity of their sign) are cut from range results.
bool is_nan(const PyValue& v) {
  return v.kind() == ValueKind::Float && std::isnan(v.float_value());
}

bool is_number(const PyValue& v) { return v.kind() == ValueKind::Int || v.kind() == ValueKind::Float; }

int rank(Op op) { return op_info(op).rank; }

// Ids holding `value` in `map`, before element ids are translated.
IdSet string_op(const QueryMap& map, const IdSet& universe, Op op, const PyValue& value);

IdSet eq_raw(const QueryMap& map, const IdSet& universe, const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      if (is_nan(value)) return IdSet();
      auto numbers = map.numbers_for_query();
      return *numbers ? (*numbers)->equal(*numeric_key(value)) : IdSet();  // a lookup, O(hits)
    }
    case ValueKind::Str: return string_op(map, universe, Op::Eq, value);
    case ValueKind::Bool: {
      auto bools = map.bools().read();
      return *bools ? IdSet((*bools)->of(value.bool_value()).bitmap()) : IdSet();
    }
    default: {
      // Iterables never match: they are stored element by element.
      ExactMap* exact = map.exact();
      if (!exact || value.kind() == ValueKind::Iterable) return IdSet();
      auto shard = exact->read_shard(value.stored_hash());
      const auto it = shard->find(value);
      return it == shard->end() ? IdSet() : it->second.to_bitmap();
    }
  }
}

// Candidates for the range sweeps: the universe plus every element id, so
// that numbers inside containers are found; translation to owners and the
// cut to the universe follow the sweep. Without containers the universe is
// used as it is, not copied.
class RangeCandidates {
 public:
  RangeCandidates(const QueryMap& map, const IdSet& universe) : set_(&universe) {
    auto masked = map.masked_ids().read();
    if (masked->is_empty()) return;
    widened_ = universe;
    widened_.or_inplace(*masked);
    set_ = &widened_;
  }
  const IdSet& get() const { return *set_; }

 private:
  const IdSet* set_;
  IdSet widened_;
};

IdSet range(const QueryMap& map, const IdSet& universe, Op op, const PyValue& value) {
  const std::optional<NumKey> key = numeric_key(value);
  if (!key || is_nan(value)) return IdSet();
  IdSet result;
  auto numbers = map.numbers_for_query();
  if (!*numbers) return result;
  const RangeCandidates candidates(map, universe);
  IdSet nans;
  switch (op) {
    case Op::Gt: (*numbers)->get_gt_into(*key, result, candidates.get()); break;
    case Op::Ge: (*numbers)->get_gte_into(*key, result, candidates.get()); break;
    case Op::Lt: (*numbers)->get_lt_into(*key, result, candidates.get()); break;
    default: (*numbers)->get_lte_into(*key, result, candidates.get()); break;
  }
  if (result.is_empty()) return result;
  // Only NaNs of the sign the sweep ran towards can be in it; the second
  // sweep only visits the hits.
  if (op == Op::Gt || op == Op::Ge) {
    (*numbers)->get_gt_into(NumericalBitmap::key_of(std::numeric_limits<double>::infinity()), nans, result);
  } else {
    (*numbers)->get_lt_into(NumericalBitmap::key_of(-std::numeric_limits<double>::infinity()), nans, result);
  }
  result.andnot_inplace(nans);
  return result;
}

// Both bounds are numbers: evaluation refuses any other before it starts
// (refuse_unsupported).
IdSet between(const QueryMap& map, const IdSet& universe, const PyValue& low, const PyValue& high) {
  const NumKey lo = NumericalBitmap::key_of(low.number());
  const NumKey hi = NumericalBitmap::key_of(high.number());
  IdSet result;
  // Bounds of ±inf at most keep stored NaNs out; a NaN bound selects nothing.
  if (is_nan(low) || is_nan(high) || hi < lo) return result;
  auto numbers = map.numbers_for_query();
  if (!*numbers) return result;
  const RangeCandidates candidates(map, universe);
  (*numbers)->get_between_into(lo, hi, result, candidates.get());
  return result;
}

// String operators intersect with the candidates as they go, so a narrow
// universe (a conjunction's later operand) keeps them cheap.
IdSet string_op(const QueryMap& map, const IdSet& universe, Op op, const PyValue& value) {
  if (value.kind() != ValueKind::Str) return IdSet();
  auto strings = map.strings_for_query();
  if (!*strings) return IdSet();
  // Container elements are not in the universe: with any, no restriction
  // (the result is cut to the universe after translation anyway).
  const IdSet* within = map.masked_ids().read()->is_empty() ? &universe : nullptr;
  const std::string_view needle = value.str_value();
  switch (op) {
    case Op::Eq: return (*strings)->equal(needle, within);
    case Op::StartsWi: return (*strings)->starts_with(needle, within);
    case Op::EndsWi: return (*strings)->ends_with(needle, within);
    default: return (*strings)->contains(needle, within);
  }
}

// The raw answer of one attribute operator in `map` (no tail).
IdSet answer_in_map(const QueryMap& map, const IdSet& universe, const QueryExpr& e) {
  switch (e.op) {
    case Op::Eq: return eq_raw(map, universe, e.values[0]);
    case Op::In: {
      absl::InlinedVector<IdSet, 8> hits;
      for (const PyValue& v : e.values) {
        IdSet h = eq_raw(map, universe, v);
        if (!h.is_empty()) hits.push_back(std::move(h));
      }
      return IdSet::union_of(hits);
    }
    case Op::Gt:
    case Op::Ge:
    case Op::Lt:
    case Op::Le: return range(map, universe, e.op, e.values[0]);
    case Op::Bt: return between(map, universe, e.values[0], e.values[1]);
    default: return string_op(map, universe, e.op, e.values[0]);
  }
}

IdSet evaluate_attribute(const QueryMaps& maps, const IdSet& universe, const QueryExpr& e) {
  if (e.op == Op::Ne) {
    // Not of Eq: objects without the attribute are included.
    QueryExpr eq = QueryExpr::on_attribute(Op::Eq, e.attr, e.values);
    return IdSet::andnot(universe, evaluate_query(maps, universe, eq));
  }
  auto [head, tail] = attr_parts(e.attr);
  // A name never interned is held by no object: looked up, not interned.
  const std::optional<uint32_t> known = INTERNER().snapshot()->get(head.view());
  if (!known) return IdSet();
  const uint32_t id = *known;
  if (id >= maps.size() || !maps[id]) return IdSet();  // unknown here
  const QueryMap& map = *maps[id];
  IdSet result;
  if (tail) {
    const std::shared_ptr<IndexAPI> nested = map.nested_shared();
    if (!nested) return result;
    QueryExpr inner = QueryExpr::on_attribute(e.op, *tail, e.values);
    const IdSet hits = evaluate_on_index(*nested, inner);
    result = nested->get_parent_from_ids(hits);
  } else {
    result = answer_in_map(map, universe, e);
  }
  map.unmask_ids(result);
  result.and_within(universe);
  return result;
}

void render_values(std::string& out, const std::vector<PyValue>& values) {
  out += "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    out += debug_string(values[i]);
  }
  out += "]";
}

// The debug form of an attribute operator, appended to `out`.
void render_leaf(std::string& out, const QueryExpr& e) {
  out += op_name(e.op);
  out += "(";
  out += debug_quoted(e.attr.view());
  if (op_info(e.op).operands == OpOperands::Values) {
    out += ", ";
    render_values(out, e.values);
  } else {
    for (const PyValue& v : e.values) {
      out += ", ";
      out += debug_string(v);
    }
  }
  out += ")";
}

// Operands may be shared: `and_(q, q)`, or one expression used under several
// parents, so a tree of n nodes can stand for one of 2**n when written out.
// Combinators reached through more than one edge are evaluated once, over the
// universe of the whole evaluation, and the result is cut to the universe of
// every place that uses it (a result never depends on more of the universe
// than it is given). Work stays linear in the number of distinct nodes.
class SharedNodes {
 public:
  explicit SharedNodes(const QueryExpr& root) {
    std::vector<const QueryExpr*> pending{&root};
    edges_[&root] = 1;
    while (!pending.empty()) {
      const QueryExpr* e = pending.back();
      pending.pop_back();
      for (const QueryExpr::Node& c : e->children) {
        if (is_combinator(c->op) && edges_[c.get()]++ == 0) pending.push_back(c.get());
      }
    }
  }
  bool contains(const QueryExpr* e) const {
    const auto it = edges_.find(e);
    return it != edges_.end() && it->second > 1;
  }

 private:
  absl::flat_hash_map<const QueryExpr*, uint32_t> edges_;
};

// One combinator being evaluated. `universe` points into the frame below it
// (or to the caller's set): frames live in a deque, whose elements stay put
// while frames are pushed and popped at the back.
struct Frame {
  const QueryExpr* node;
  const IdSet* universe;
  std::vector<const QueryExpr*> operands;  // in evaluation order
  size_t next = 0;
  // And: the narrowed universe (valid once `narrowed`); Or: the union so far;
  // Not: the operand's result.
  IdSet acc;
  bool memoize = false;   // a shared node, evaluated over the whole universe
  bool narrowed = false;  // And: an operand has been absorbed
};

// The operands of an And or Or with unshared nested nodes of the same
// operator spliced in, in the order the tree lists them.
void flatten_operands(const QueryExpr& e, const SharedNodes& shared, std::vector<const QueryExpr*>& out) {
  std::vector<const QueryExpr*> pending;
  for (auto it = e.children.rbegin(); it != e.children.rend(); ++it) pending.push_back(it->get());
  while (!pending.empty()) {
    const QueryExpr* c = pending.back();
    pending.pop_back();
    if (c->op == e.op && !shared.contains(c)) {
      for (auto it = c->children.rbegin(); it != c->children.rend(); ++it) pending.push_back(it->get());
    } else {
      out.push_back(c);
    }
  }
}

void rank_order(std::vector<const QueryExpr*>& operands) {
  std::stable_sort(operands.begin(), operands.end(),
                   [](const QueryExpr* a, const QueryExpr* b) { return rank(a->op) < rank(b->op); });
}

void push_frame(std::deque<Frame>& stack, const QueryExpr& e, const IdSet& universe, const SharedNodes& shared) {
  Frame& f = stack.emplace_back(Frame{&e, &universe, {}, 0, IdSet(), false, false});
  switch (e.op) {
    case Op::And:
      // The first operand runs over the frame's universe itself; no copy.
      flatten_operands(e, shared, f.operands);
      rank_order(f.operands);
      break;
    case Op::Or: flatten_operands(e, shared, f.operands); break;
    default: f.operands.push_back(e.children[0].get()); break;  // Not
  }
}

// The universe an operand of `f` is evaluated over: And narrows it operand by
// operand; Or and Not pass their own on.
const IdSet& operand_universe(const Frame& f) {
  return f.node->op == Op::And && f.narrowed ? f.acc : *f.universe;
}

// Takes in an operand's result, which lies within operand_universe(f). An
// And whose universe is empty skips its remaining operands.
void absorb(Frame& f, IdSet result) {
  switch (f.node->op) {
    case Op::And:
      f.acc = std::move(result);
      f.narrowed = true;
      if (f.acc.is_empty()) f.next = f.operands.size();
      break;
    case Op::Or:
      if (f.acc.is_empty()) {
        f.acc = std::move(result);
      } else {
        f.acc.or_inplace(result);
      }
      break;
    default: f.acc = std::move(result); break;  // Not
  }
}

IdSet finish(Frame& f) {
  if (f.node->op == Op::Not) return IdSet::andnot(*f.universe, f.acc);
  if (f.node->op == Op::And && !f.narrowed) return *f.universe;  // no operands
  return std::move(f.acc);
}

}  // namespace

QueryExpr QueryExpr::on_attribute(Op op, SmallString attr, std::vector<PyValue> values) {
  return QueryExpr{op, std::move(attr), std::move(values), {}};
}

QueryExpr QueryExpr::combine(Op op, std::vector<Node> children) {
  return QueryExpr(op, std::move(children));
}

QueryExpr::~QueryExpr() {
  if (children.empty()) return;
  std::vector<Node> pending = std::move(children);
  while (!pending.empty()) {
    Node node = std::move(pending.back());
    pending.pop_back();
    // Sole owner: take its operands before it goes, so its destructor finds
    // none. A node still shared elsewhere is only released here; whoever
    // drops it last empties it the same way.
    if (node.use_count() == 1) {
      auto& grand = const_cast<QueryExpr&>(*node).children;  // created non-const by make_shared
      for (Node& c : grand) pending.push_back(std::move(c));
      grand.clear();
    }
  }
}

namespace {

// Bytes of the tree as written out, shared operands counted at every use
// (saturating). Iterative; each distinct leaf is rendered once to be measured.
uint64_t written_bytes(const QueryExpr& root) {
  absl::flat_hash_map<const QueryExpr*, uint64_t> count;
  std::vector<std::pair<const QueryExpr*, bool>> stack{{&root, false}};
  std::string leaf;
  while (!stack.empty()) {
    const auto [e, operands_done] = stack.back();
    stack.pop_back();
    if (count.contains(e)) continue;
    if (!is_combinator(e->op)) {
      leaf.clear();
      render_leaf(leaf, *e);
      count.emplace(e, leaf.size());
      continue;
    }
    if (!operands_done) {
      stack.emplace_back(e, true);
      for (const QueryExpr::Node& c : e->children) {
        if (!count.contains(c.get())) stack.emplace_back(c.get(), false);
      }
      continue;
    }
    // The name, its brackets and a separator between operands.
    const size_t n = e->children.size();
    uint64_t bytes = std::string_view(op_name(e->op)).size() + 4 + (n > 0 ? 2 * (n - 1) : 0);
    for (const QueryExpr::Node& c : e->children) bytes = std::min(bytes + count.at(c.get()), kMaxWrittenQueryBytes + 1);
    count.emplace(e, bytes);
  }
  return count.at(&root);
}

}  // namespace

std::string QueryExpr::debug_string() const {
  if (written_bytes(*this) > kMaxWrittenQueryBytes) {
    internal_error("query too large to print: more than " + std::to_string(kMaxWrittenQueryBytes) +
                   " bytes when its shared operands are written out at every use");
  }
  std::string out;
  struct Visit {
    const QueryExpr* node;
    size_t next;  // operands rendered so far
  };
  std::vector<Visit> stack{{this, 0}};
  while (!stack.empty()) {
    const QueryExpr& e = *stack.back().node;
    const size_t next = stack.back().next;
    if (!is_combinator(e.op)) {
      render_leaf(out, e);
      stack.pop_back();
      continue;
    }
    const bool list = op_info(e.op).operands == OpOperands::Operands;
    if (next == 0) {
      out += op_name(e.op);
      out += list ? "([" : "(";
    }
    if (next < e.children.size()) {
      if (next > 0) out += ", ";
      stack.back().next = next + 1;
      stack.push_back({e.children[next].get(), 0});
      continue;
    }
    out += list ? "])" : ")";
    stack.pop_back();
  }
  return out;
}

std::pair<SmallString, std::optional<SmallString>> attr_parts(const SmallString& attr) {
  const std::string_view text = attr.view();
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) return {attr, std::nullopt};
  return {SmallString(text.substr(0, dot)), SmallString(text.substr(dot + 1))};
}

std::vector<QueryExpr> equalities(std::vector<std::pair<SmallString, PyValue>> pairs) {
  std::vector<QueryExpr> exprs;
  exprs.reserve(pairs.size());
  for (auto& [name, value] : pairs) exprs.push_back(QueryExpr::on_attribute(Op::Eq, std::move(name), {std::move(value)}));
  return exprs;
}

namespace {

// Bt refuses non-numeric bounds wherever the path leads, known or not, and
// wherever it sits in the tree: checked before anything is evaluated, so
// that no early exit (a conjunction already empty) can skip the refusal.
void refuse_unsupported(const QueryExpr& root) {
  const auto check_leaf = [](const QueryExpr& e) {
    if (e.op == Op::Bt && (!is_number(e.values[0]) || !is_number(e.values[1]))) internal_error("not yet implemented");
  };
  if (!is_combinator(root.op)) {
    check_leaf(root);
    return;
  }
  absl::flat_hash_set<const QueryExpr*> seen{&root};  // shared operands: each node once
  std::vector<const QueryExpr*> pending{&root};
  while (!pending.empty()) {
    const QueryExpr* e = pending.back();
    pending.pop_back();
    for (const QueryExpr::Node& c : e->children) {
      if (!is_combinator(c->op)) {
        check_leaf(*c);
      } else if (seen.insert(c.get()).second) {
        pending.push_back(c.get());
      }
    }
  }
}

}  // namespace

IdSet evaluate_query(const QueryMaps& maps, const IdSet& universe, const QueryExpr& e) {
  refuse_unsupported(e);
  if (!is_combinator(e.op)) return evaluate_attribute(maps, universe, e);
  const SharedNodes shared(e);
  absl::flat_hash_map<const QueryExpr*, IdSet> memo;  // results of shared nodes over `universe`
  std::deque<Frame> stack;
  push_frame(stack, e, universe, shared);
  for (;;) {
    Frame& f = stack.back();
    if (f.next < f.operands.size()) {
      const QueryExpr& operand = *f.operands[f.next++];
      const IdSet& sub_universe = operand_universe(f);
      if (!is_combinator(operand.op)) {
        absorb(f, evaluate_attribute(maps, sub_universe, operand));
      } else if (!shared.contains(&operand)) {
        push_frame(stack, operand, sub_universe, shared);
      } else if (const auto it = memo.find(&operand); it != memo.end()) {
        absorb(f, IdSet::and_(it->second, sub_universe));
      } else {
        push_frame(stack, operand, universe, shared);
        stack.back().memoize = true;
      }
      continue;
    }
    IdSet result = finish(f);
    const bool memoize = f.memoize;
    const QueryExpr* node = f.node;
    stack.pop_back();
    if (stack.empty()) return result;
    if (memoize) {
      memo.emplace(node, result);
      result.and_inplace(operand_universe(stack.back()));
    }
    absorb(stack.back(), std::move(result));
  }
}

IdSet evaluate_and_queries_vec(const QueryMaps& maps, const IdSet& universe, const std::vector<QueryExpr>& exprs) {
  std::vector<const QueryExpr*> order;
  order.reserve(exprs.size());
  for (const QueryExpr& e : exprs) order.push_back(&e);
  rank_order(order);
  if (order.empty()) return universe;
  // Each result lies within the universe it was evaluated over, so it is the
  // next operand's universe as it is; the member set is never copied.
  IdSet acc = evaluate_query(maps, universe, *order[0]);
  for (size_t i = 1; i < order.size() && !acc.is_empty(); ++i) acc = evaluate_query(maps, acc, *order[i]);
  return acc;
}

IdSet evaluate_on_index(const IndexAPI& index, const QueryExpr& expr) {
  auto maps = index.query_maps()->read();
  auto members = index.allowed_ids()->read();
  return evaluate_query(*maps, *members, expr);
}

}  // namespace calderwick
