// The shape every rule family shares, described once per family as a table (its Shape) and run
// by one driver (Family): loading with row checks and the setup log, append, modify, delete and
// moves that write the database first and memory second, and lock-free "has rules" tests for the
// request path.
//
// A family supplies a Traits type:
//   using Rule = ...;                         // carries `uint32_t wid` (and `uint32_t num` when ordered)
//   static constexpr Shape shape = {...};
//   static bool from_row(const Row&, Rule&);  // rows already passed the column checks; false skips
//   static void values(const Rule&, Values&); // every written column but wid, num and note
//   static void setup_row(const Rule&, int32_t index);  // one setup-log row (optional text)
// and may supply:
//   static const char* subject(const Rule&);  // the text the insert error names ("%s" in insert_error)
//   using Index = ...;                        // derived state rebuilt by index.rebuild(rules) after
//                                             // every change, under the family lock
//
// Locks: every change holds the database lock throughout and the family lock only around the
// memory change, so request threads never wait for a disk sync. The order is always database
// lock, then family lock.
#pragma once
#include "cu_lib.h"
#include "cu_sem.h"
#include "policydb_internal.h"

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace policydb::family {

// A column the loader reads after wid (and num).
struct Column {
  const char* name;
  bool number;
  bool required;  // NULL skips the row with "'table'->'column=NULL' error(wid=...)!"
  int64_t min;    // numbers outside [min, max] skip the row with "'table'->'column=value' error(...)!"
  int64_t max;
  bool null_word = false;  // out-of-range values are reported as "NULL" too
};

// A column that older tables lack, added before loading.
struct Migration {
  const char* column;
  const char* alter;  // the ALTER TABLE text
};

struct Shape {
  const char* table;               // "wc_scache"
  const char* word;                // transaction names: "scache" gives "BEGIN TRANSACTION scache_moveup"
  const char* id;                  // the key column: "wid"
  bool ordered;                    // rules in num order, appended at the end, moved up and down
  int32_t limit;                   // rows loaded
  const Column* columns;           // read after id (and num), in this order
  int32_t column_count;
  const char* const* key_columns;  // the new row's read-back condition (columns of Values)
  int32_t key_count;
  const Migration* migrations;
  int32_t migration_count;
  const char* read_error;          // the family's messages
  const char* select_error;
  const char* insert_error;        // with Traits::subject(rule) ("%s") when the family gives one
  const char* update_error;        // with the wid ("%u")
  const char* delete_error;        // with the wid ("%u")
  const char* heading;             // setup log: heading line, ruled line, column heads
  const char* ruled;
  const char* heads;
};

// Number of a text cell: base-10, 32-bit, saturating; NULL and text without digits read as 0.
inline int32_t number_of(const char* text) { return text ? cu_strtol(text, nullptr, 10) : 0; }

// One loaded row: cell 0 is the id, cell 1 num (ordered families), then the shape's columns.
class Row {
 public:
  Row(const Shape& shape, std::vector<const char*> cells) : shape_(shape), cells_(std::move(cells)) {}
  const char* id_text() const { return cells_[0]; }
  uint32_t id() const { return static_cast<uint32_t>(number_of(cells_[0])); }
  uint32_t num() const { return shape_.ordered ? static_cast<uint32_t>(number_of(cells_[1])) : 0; }
  // The text of the shape's column i (NULL for SQL NULL).
  const char* text(int32_t i) const { return cells_[first() + i]; }
  int32_t number(int32_t i) const { return number_of(text(i)); }

 private:
  int32_t first() const { return shape_.ordered ? 2 : 1; }
  const Shape& shape_;
  std::vector<const char*> cells_;
};

// The written columns of one rule: names and SQL literals in order.
class Values {
 public:
  void text(const char* column, const char* value) { add(column, "'" + escape(value) + "'"); }
  void number(const char* column, uint32_t value) { add(column, std::to_string(value)); }
  void signed_number(const char* column, int32_t value) { add(column, std::to_string(value)); }
  const std::vector<std::pair<std::string, std::string>>& all() const { return items_; }
  const std::string* find(const char* column) const {
    for (const auto& item : items_) {
      if (item.first == column) return &item.second;
    }
    return nullptr;
  }

 private:
  void add(const char* column, std::string literal) { items_.emplace_back(column, std::move(literal)); }
  std::vector<std::pair<std::string, std::string>> items_;
};

// The driver's SQL texts, built from a shape.
std::string load_sql(const Shape& shape);
std::string insert_sql(const Shape& shape, const Values& values);
std::string update_sql(const Shape& shape, const Values& values, uint32_t id);
std::string read_back_sql(const Shape& shape, const Values& values);
// Runs the shape's migrations; the caller holds the database lock.
void migrate(const Shape& shape);
// Checks the shape's columns of a row, reporting the first failure; true when the row passes.
bool columns_pass(const Shape& shape, const Row& row);
// Swaps num of two rows in one transaction; on any failure rolls back and answers false.
bool swap_nums(const Shape& shape, const char* operation, uint32_t neighbour_id, uint32_t neighbour_num,
               uint32_t moved_id, uint32_t moved_num);
void setup_heading(const Shape& shape);

// The index of a family that keeps none.
struct NoIndex {
  template <typename Rules>
  void rebuild(const Rules&) {}
};

template <typename Traits>
struct IndexOf {
  using type = NoIndex;
};
template <typename Traits>
  requires requires { typename Traits::Index; }
struct IndexOf<Traits> {
  using type = typename Traits::Index;
};

template <typename Traits>
class Family {
 public:
  using Rule = typename Traits::Rule;
  using Index = typename IndexOf<Traits>::type;
  static constexpr const Shape& shape = Traits::shape;

  // The family's lock for one scope.
  class Lock {
   public:
    explicit Lock(cu_sem* lock) : lock_(lock) { cu_sem_lock(lock_); }
    ~Lock() { cu_sem_unlock(lock_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    cu_sem* lock_;
  };

  // Makes the lock (so an unreadable table still leaves an empty family), then loads the rows.
  void load() {
    if (!lock_) lock_ = cu_sem_malloc();
    if (!db()) return;
    DbLock db_lock;
    migrate(shape);
    Result r = exec(load_sql(shape).c_str());
    if (!r) {
      report_error("%s", shape.read_error);
      return;
    }
    setup_heading(shape);
    std::vector<Rule> loaded;
    const int32_t width = 1 + (shape.ordered ? 1 : 0) + shape.column_count;
    for (int32_t i = 0; i < rows(r.get()); ++i) {
      std::vector<const char*> cells(static_cast<size_t>(width));
      bool readable = true;
      for (int32_t c = 0; c < width && readable; ++c) readable = cell(r.get(), c, i, &cells[c]);
      if (!readable) continue;
      Row row(shape, std::move(cells));
      if (!row.id_text() || !columns_pass(shape, row)) continue;
      Rule rule{};
      if (!Traits::from_row(row, rule)) continue;
      rule.wid = row.id();
      if constexpr (Traits::shape.ordered) rule.num = row.num();
      loaded.push_back(std::move(rule));
      if (setup_log_open()) {
        Traits::setup_row(loaded.back(), static_cast<int32_t>(loaded.size()));
        if (shape.ruled) setup_log_write("%s", shape.ruled);
      }
    }
    Lock lock(lock_);
    rules_ = std::move(loaded);
    publish();
  }

  // Appends a rule (after the last one in ordered families); its new id goes to *id when given.
  bool append(Rule rule, const char* note = nullptr, uint32_t* id = nullptr) {
    if (!db() || !lock_) return false;
    Values values;
    Traits::values(rule, values);
    values.text("note", note);
    DbLock db_lock;
    if (!exec(insert_sql(shape, values).c_str())) {
      if constexpr (requires { Traits::subject(rule); }) {
        report_error(shape.insert_error, Traits::subject(rule));
      } else {
        report_error("%s", shape.insert_error);
      }
      return false;
    }
    // The row is in the table; without its id it cannot be addressed, so memory stays as it was.
    Result r = exec(read_back_sql(shape, values).c_str());
    const char* id_text = nullptr;
    const char* num_text = nullptr;
    if (!r || !cell(r.get(), 0, 0, &id_text) || !id_text || (shape.ordered && !cell(r.get(), 1, 0, &num_text))) {
      report_error("%s", shape.select_error);
      return false;
    }
    rule.wid = static_cast<uint32_t>(number_of(id_text));
    if constexpr (Traits::shape.ordered) rule.num = static_cast<uint32_t>(number_of(num_text));
    if (id) *id = rule.wid;
    Lock lock(lock_);
    rules_.push_back(std::move(rule));
    publish();
    return true;
  }

  // Rewrites every column of the rule with that id; false for an unknown id or a failed write.
  bool modify(uint32_t id, Rule rule, const char* note) {
    if (!db() || !lock_) return false;
    Values values;
    Traits::values(rule, values);
    values.text("note", note);
    DbLock db_lock;
    Result r = exec(update_sql(shape, values, id).c_str());
    if (!r) {
      report_error(shape.update_error, id);
      return false;
    }
    if (rows(r.get()) == 0) return false;
    Lock lock(lock_);
    for (Rule& held : rules_) {
      if (held.wid != id) continue;
      rule.wid = held.wid;
      if constexpr (Traits::shape.ordered) rule.num = held.num;
      held = std::move(rule);
      break;
    }
    publish();
    return true;
  }

  // Deletes the row and the rule; an unknown id answers true.
  bool remove(uint32_t id) {
    if (!db() || !lock_) return false;
    DbLock db_lock;
    if (!exec_format("delete from %s where %s=%u", shape.table, shape.id, id)) {
      report_error(shape.delete_error, id);
      return false;
    }
    Lock lock(lock_);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
      if (it->wid == id) {
        rules_.erase(it);
        break;
      }
    }
    publish();
    return true;
  }

  // Moves a rule one place up (towards the first) or down. The first rule up, the last rule down
  // and an unknown id answer true and change nothing; a failed write changes nothing and answers
  // false.
  bool move(uint32_t id, bool up) {
    static_assert(Traits::shape.ordered, "only ordered families move");
    if (!db() || !lock_) return false;
    DbLock db_lock;
    size_t at = 0;
    size_t other = 0;
    uint32_t moved_num = 0;
    uint32_t other_id = 0;
    uint32_t other_num = 0;
    {
      Lock lock(lock_);
      at = index_of(id);
      if (at == rules_.size()) return true;
      if (up ? at == 0 : at + 1 == rules_.size()) return true;
      other = up ? at - 1 : at + 1;
      moved_num = rules_[at].num;
      other_id = rules_[other].wid;
      other_num = rules_[other].num;
    }
    // The rows change under the database lock alone: memory is still the same, since every
    // change holds the database lock.
    if (!swap_nums(shape, up ? "moveup" : "movedown", other_id, moved_num, id, other_num)) return false;
    Lock lock(lock_);
    rules_[at].num = other_num;
    rules_[other].num = moved_num;
    std::swap(rules_[at], rules_[other]);
    publish();
    return true;
  }

  // Without a lock: whether any rule is held (the request path's first test).
  bool has_rules() const { return count_.load(std::memory_order_relaxed) > 0; }
  size_t count() const { return count_.load(std::memory_order_relaxed); }

  // Calls f(rule) under the family lock for each rule in order until f answers true; answers
  // whether one did.
  template <typename F>
  bool first(F&& f) const {
    if (!has_rules() || !lock_) return false;
    Lock lock(lock_);
    for (const Rule& rule : rules_) {
      if (f(rule)) return true;
    }
    return false;
  }

  // Calls f(rules, index) under the family lock and answers its result (a default result
  // before the family was loaded).
  template <typename F>
  auto locked(F&& f) const {
    using Answer = decltype(f(rules_, index_));
    if (!lock_) return Answer{};
    Lock lock(lock_);
    return f(rules_, index_);
  }
  // The index without the lock, for values it keeps in atomics.
  const Index& index() const { return index_; }

  // A copy of the rules in order.
  std::vector<Rule> snapshot() const {
    if (!lock_) return {};
    Lock lock(lock_);
    return rules_;
  }

  // Forgets the rules (the lock stays made).
  void reset() {
    if (!lock_) return;
    Lock lock(lock_);
    rules_.clear();
    publish();
  }

 private:
  size_t index_of(uint32_t id) const {
    size_t i = 0;
    while (i < rules_.size() && rules_[i].wid != id) ++i;
    return i;
  }
  void publish() {
    index_.rebuild(rules_);
    count_.store(rules_.size(), std::memory_order_relaxed);
  }

  cu_sem* lock_ = nullptr;
  std::vector<Rule> rules_;
  Index index_;
  std::atomic<size_t> count_{0};
};

}  // namespace policydb::family
