// The SQL and the row checks of the family driver, shared by every family.
#include "policydb_family.h"

namespace policydb::family {

namespace {

std::string joined(const Values& values, bool with_literals, const char* separator) {
  std::string out;
  for (const auto& [column, literal] : values.all()) {
    if (!out.empty()) out += separator;
    out += with_literals ? column + "=" + literal : column;
  }
  return out;
}

std::string literals(const Values& values) {
  std::string out;
  for (const auto& item : values.all()) {
    if (!out.empty()) out += ", ";
    out += item.second;
  }
  return out;
}

}  // namespace

std::string load_sql(const Shape& shape) {
  std::string sql = std::string("select ") + shape.id;
  if (shape.ordered) sql += ", num";
  for (int32_t i = 0; i < shape.column_count; ++i) sql += std::string(", ") + shape.columns[i].name;
  sql += std::string(" from ") + shape.table + " order by " + (shape.ordered ? "num" : shape.id);
  return sql + " limit " + std::to_string(shape.limit);
}

// An ordered row takes the next num inside the INSERT itself; coalesce gives 1 on an empty
// table, where max(num)+1 alone would be NULL.
std::string insert_sql(const Shape& shape, const Values& values) {
  const std::string table = shape.table;
  if (!shape.ordered) {
    return "insert into " + table + "(" + joined(values, false, ", ") + ") values(" + literals(values) + ")";
  }
  return "insert into " + table + "(num, " + joined(values, false, ", ") + ") values((select coalesce(max(num),0)+1 from " +
         table + "), " + literals(values) + ")";
}

std::string update_sql(const Shape& shape, const Values& values, uint32_t id) {
  return std::string("update ") + shape.table + " set " + joined(values, true, ", ") + " where " + shape.id + "=" +
         std::to_string(id);
}

std::string read_back_sql(const Shape& shape, const Values& values) {
  std::string where;
  for (int32_t i = 0; i < shape.key_count; ++i) {
    const std::string* literal = values.find(shape.key_columns[i]);
    if (!literal) continue;
    where += (where.empty() ? "" : " and ") + std::string(shape.key_columns[i]) + "=" + *literal;
  }
  std::string sql = std::string("select max(") + shape.id + ")" + (shape.ordered ? ", num" : "") + " from " + shape.table;
  if (!where.empty()) sql += " where " + where;
  return sql + " limit 1";
}

void migrate(const Shape& shape) {
  for (int32_t i = 0; i < shape.migration_count; ++i) {
    const Migration& m = shape.migrations[i];
    if (!exec_format("select %s from %s limit 1", m.column, shape.table)) exec(m.alter);
  }
}

bool columns_pass(const Shape& shape, const Row& row) {
  for (int32_t i = 0; i < shape.column_count; ++i) {
    const Column& column = shape.columns[i];
    const char* text = row.text(i);
    if (!text) {
      if (!column.required) continue;
      report_error("[zazudaza -> config] '%s'->'%s=NULL' error(wid=%s)!\r\n", shape.table, column.name, row.id_text());
      return false;
    }
    if (!column.number) continue;
    const int64_t n = number_of(text);
    if (n < column.min || n > column.max) {
      report_error("[zazudaza -> config] '%s'->'%s=%s' error(wid=%s)!\r\n", shape.table, column.name,
                   column.null_word ? "NULL" : text, row.id_text());
      return false;
    }
  }
  return true;
}

bool swap_nums(const Shape& shape, const char* operation, uint32_t neighbour_id, uint32_t neighbour_num,
               uint32_t moved_id, uint32_t moved_num) {
  const std::string name = std::string(shape.word) + "_" + operation;
  if (!exec_format("BEGIN TRANSACTION %s", name.c_str())) return false;
  const bool updated =
      exec_format("update %s set num=%u where %s=%u", shape.table, neighbour_num, shape.id, neighbour_id) &&
      exec_format("update %s set num=%u where %s=%u", shape.table, moved_num, shape.id, moved_id);
  if (!updated) {
    exec("ROLLBACK");
    return false;
  }
  // A failed END is rolled back by the database wrapper.
  return exec_format("END TRANSACTION %s", name.c_str()) != nullptr;
}

void setup_heading(const Shape& shape) {
  if (!setup_log_open() || !shape.heading) return;
  setup_log_write("\r\n%s%s%s%s", shape.heading, shape.ruled, shape.heads, shape.ruled);
}

}  // namespace policydb::family
