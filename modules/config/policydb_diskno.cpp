// Cache disks: loading wc_diskno, the admin API's changes (database first, memory second), the
// full marks of the request filter, the round-robin choice of a disk and the JSON replies.
//
// Locks: every change holds the database lock throughout and the disk lock only while it reads
// or changes memory; the choices, paths and full marks take the disk lock alone. Memory that a
// change looked at keeps its disks meanwhile, since every change holds the database lock.
#include "policydb_diskno.h"

#include "cu_lib.h"
#include "cu_util.h"
#include "policydb.h"
#include "policydb_family.h"
#include "policydb_internal.h"
#include "vor_kit.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace policydb::diskno {

int64_t (*clock)() = cu_time;

namespace {

constexpr family::Column kColumns[] = {
    {"path", false, false, 0, 0},
    {"quota", false, false, 0, 0},  // signed 64-bit, read below
    {"used", false, false, 0, 0},
    {"full", false, false, 0, 0},
    {"ssd", false, false, 0, 0},
    {"note", false, false, 0, 0},
};
constexpr family::Migration kMigrations[] = {{"ssd", "alter table wc_diskno add ssd int default '0' not null"}};
constexpr family::Shape kShape = {
    "wc_diskno", "diskno", "num", false, 1000, kColumns, 6, nullptr, 0, kMigrations, 1,
    "[zazudaza -> config] read 'wc_diskno' table error!\r\n", nullptr, nullptr, nullptr, nullptr,
    "Config -> DisknoList:\r\n", "+--+---------------------------------------------+\r\n",
    "|NO|Path                                         |\r\n"};

constexpr char kCreateTable[] =
    "create table if not exists wc_diskno(num int not null, path text not null, quota int default '0' not null, "
    "used int default '0' not null, full int default '0' not null, ssd int default '0' not null, "
    "note text default \"\" not null)";
constexpr char kCreateIndex[] = "create unique index if not exists wc_diskno_num_index on wc_diskno(num)";

enum Kind { kAny, kSsd, kHdd, kKinds };

struct Store {
  std::atomic<cu_sem*> lock{nullptr};
  std::vector<Disk> list;  // ascending num, one disk per num
  size_t cursor[kKinds] = {0, 0, 0};
  std::atomic<int32_t> used_count{0};
  std::atomic<int32_t> ssd_count{0};

  std::vector<Disk>::iterator position(int32_t num) {
    return std::lower_bound(list.begin(), list.end(), num, [](const Disk& d, int32_t n) { return d.num < n; });
  }
  Disk* find(int32_t num) {
    const auto it = position(num);
    return it != list.end() && it->num == num ? &*it : nullptr;
  }
  // Adds the disk at its place; a disk of that number already held is replaced.
  void put(Disk disk) {
    const auto it = position(disk.num);
    if (it != list.end() && it->num == disk.num) {
      *it = std::move(disk);
    } else {
      list.insert(it, std::move(disk));
    }
  }
  // The counts are read without a lock; recounted after every change, under the disk lock.
  void recount() {
    int32_t used = 0;
    int32_t ssd = 0;
    for (const Disk& d : list) {
      used += d.used ? 1 : 0;
      ssd += d.ssd ? 1 : 0;
    }
    used_count.store(used, std::memory_order_relaxed);
    ssd_count.store(ssd, std::memory_order_relaxed);
  }
};

Store& store() {
  static Store s;
  return s;
}

// The disk lock for one scope.
class DiskLock : public vor::SemLock {
 public:
  DiskLock() : vor::SemLock(store().lock.load(std::memory_order_acquire)) {}
};

// Copies at most len - 1 characters and a NUL.
void copy_path(const std::string& path, char* buffer, int32_t len) {
  const size_t n = std::min(path.size(), static_cast<size_t>(len - 1));
  std::memcpy(buffer, path.data(), n);
  buffer[n] = '\0';
}

// --- loading ----------------------------------------------------------------------------------

bool nonzero(const char* text) { return text && cu_strtoll(text, nullptr, 10) != 0; }

// The disk of one row: num is the absolute value of the stored number; a number whose absolute
// value does not fit in 32 bits names no disk.
std::optional<Disk> disk_of(const family::Row& row) {
  const int64_t stored = row.id_text() ? cu_strtoll(row.id_text(), nullptr, 10) : 0;
  if (stored < -INT32_MAX || stored > INT32_MAX) {
    report_error("[zazudaza -> config] 'wc_diskno'->'num=%s' error!\r\n", row.id_text());
    return std::nullopt;
  }
  Disk d;
  d.num = static_cast<int32_t>(stored < 0 ? -stored : stored);
  d.row_num = stored;
  d.path = row.text(0) ? row.text(0) : "";
  d.quota = row.text(1) ? cu_strtoll(row.text(1), nullptr, 10) : 0;
  d.used = nonzero(row.text(2)) && !d.path.empty();
  d.ssd = nonzero(row.text(4));  // the full column (3) is not read: full marks start clear
  d.note = row.text(5) ? row.text(5) : "";
  return d;
}

std::vector<Disk> load_rows() {
  DbLock db_lock;
  exec(kCreateTable);
  exec(kCreateIndex);
  family::migrate(kShape);
  Result r = exec(family::load_sql(kShape).c_str());
  if (!r) {
    report_error("%s", kShape.read_error);
    return {};
  }
  family::setup_heading(kShape);
  Store loaded;
  const int32_t width = 1 + kShape.column_count;
  for (int32_t i = 0; i < rows(r.get()); ++i) {
    std::vector<const char*> cells(static_cast<size_t>(width));
    bool readable = true;
    for (int32_t c = 0; c < width && readable; ++c) readable = cell(r.get(), c, i, &cells[c]);
    if (!readable) continue;
    std::optional<Disk> d = disk_of(family::Row(kShape, std::move(cells)));
    if (!d) continue;
    // Rows come in stored order, so a row of -4 comes before one of 4; the later row, the one
    // that statements on disk 4 address, is the one kept. Negative rows also break the order of
    // the list, so each disk goes to its place.
    setup_log_write("|%-2.2s|%-45.45s|\r\n%s", std::to_string(i + 1).c_str(), d->path.c_str(), kShape.ruled);
    loaded.put(std::move(*d));
  }
  return std::move(loaded.list);
}

// --- changes ----------------------------------------------------------------------------------

// The marker file that shows in the disk's folder when and how the disk was last set.
void write_marker(const std::string& folder, int32_t num, bool used) {
  if (folder.empty()) return;
  const int64_t now = clock();
  std::tm tm{};
  if (!cu_localtime(&now, &tm)) return;
  std::string path = folder;
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.back() != '/') path += '/';
  char name[96];
  snprintf(name, sizeof name, "[%d-%2.2d-%2.2d-%2.2d-%2.2d-%2.2d].[%d#].[%s]", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, num, used ? "used" : "unused");
  path += name;
  int32_t error = 0;
  if (cu_xfile* file = edgeserv_fopen_tx(path.c_str(), &error)) edgeserv_fclose(path.c_str(), file);
}

std::optional<int64_t> stored_num(int32_t num) {
  DiskLock lock;
  const Disk* d = store().find(num);
  return d ? std::optional<int64_t>(d->row_num) : std::nullopt;
}

bool insert(const Disk& disk) {
  Result r = exec_format("insert into wc_diskno(num, path, quota, used, ssd, note) values(%u, '%s', %" PRId64
                         ", %u, %u, '%s')",
                         static_cast<uint32_t>(disk.num), escape(disk.path.c_str()).c_str(), disk.quota,
                         disk.used ? 1u : 0u, disk.ssd ? 1u : 0u, escape(disk.note.c_str()).c_str());
  if (!r) {
    report_error("[zazudaza -> config] insert 'wc_diskno' table error(num=%u)!\r\n", static_cast<uint32_t>(disk.num));
    return false;
  }
  if (rows(r.get()) == 0) return false;
  DiskLock lock;
  store().put(disk);
  store().recount();
  return true;
}

bool update(const Disk& disk) {
  Result r = exec_format("update wc_diskno set path='%s', quota=%" PRId64 ", used=%u, ssd=%u, note='%s' where num=%" PRId64,
                         escape(disk.path.c_str()).c_str(), disk.quota, disk.used ? 1u : 0u, disk.ssd ? 1u : 0u,
                         escape(disk.note.c_str()).c_str(), disk.row_num);
  if (!r) {
    report_error("[zazudaza -> config] update 'wc_diskno' table error(num=%u)!\r\n", static_cast<uint32_t>(disk.num));
    return false;
  }
  if (rows(r.get()) == 0) return false;
  DiskLock lock;
  Disk* held = store().find(disk.num);
  if (!held) return false;
  // A disk still in use keeps its full mark: only its cleaning may clear it.
  const bool full = held->full && disk.used;
  *held = disk;
  held->full = full;
  store().recount();
  return true;
}

// Adds the disk or, when its number is known, changes it.
uint8_t set_disk(int32_t num, const char* path, int64_t quota, uint8_t used, uint8_t ssd, const char* note) {
  if (!db() || num < 0 || !path) return 0;
  Disk disk;
  disk.num = num;
  disk.row_num = num;
  disk.path = path;
  disk.quota = quota;
  // A used disk without a folder would put cache files under the root folder.
  disk.used = used != 0 && !disk.path.empty();
  disk.ssd = ssd != 0;
  disk.note = note ? note : "";
  {
    DbLock db_lock;
    if (!db_lock.held()) return 0;
    const std::optional<int64_t> known = stored_num(num);
    if (known) disk.row_num = *known;
    if (!(known ? update(disk) : insert(disk))) return 0;
  }
  write_marker(disk.path, disk.num, disk.used);
  return 1;
}

uint8_t set_ssd(int32_t num, uint8_t ssd) {
  if (!db() || num < 0) return 0;
  const bool on = ssd != 0;
  DbLock db_lock;
  std::optional<int64_t> row_num;
  {
    DiskLock lock;
    const Disk* d = store().find(num);
    if (!d || d->ssd == on) return 0;
    row_num = d->row_num;
  }
  Result r = exec_format("update wc_diskno set ssd=%u where num=%" PRId64, on ? 1u : 0u, *row_num);
  if (!r) {
    report_error("[zazudaza -> config] update 'wc_diskno' table error(num=%u)!\r\n", static_cast<uint32_t>(num));
    return 0;
  }
  if (rows(r.get()) == 0) return 0;
  DiskLock lock;
  Disk* d = store().find(num);
  if (!d) return 0;
  d->ssd = on;
  store().recount();
  return 1;
}

// --- questions of the request filter ----------------------------------------------------------

// Runs f on the disk under the disk lock; false (f not run) for a negative or unknown num.
template <typename F>
uint8_t with_disk(int32_t num, F&& f) {
  if (num < 0) return 0;
  DiskLock lock;
  if (!lock) return 0;
  Disk* d = store().find(num);
  if (!d) return 0;
  return f(*d) ? 1 : 0;
}

bool qualifies(const Disk& d, Kind kind) {
  if (!d.used || d.full) return false;
  if (kind == kSsd) return d.ssd;
  if (kind == kHdd) return !d.ssd;
  return true;
}

// The next qualifying disk after the kind's cursor, going round the list at most once.
uint8_t choose(Kind kind, int32_t* num, char* buffer, int32_t len) {
  Store& s = store();
  if (buffer && len < 1) return 0;
  if (s.used_count.load(std::memory_order_relaxed) <= 0) return 0;
  if (kind == kSsd && s.ssd_count.load(std::memory_order_relaxed) <= 0) return 0;
  DiskLock lock;
  if (!lock) return 0;
  size_t& cursor = s.cursor[kind];
  for (int32_t ends = 0; ends < 2;) {
    if (cursor >= s.list.size()) {
      cursor = 0;
      ++ends;
      continue;
    }
    const Disk& d = s.list[cursor++];
    if (!qualifies(d, kind)) continue;
    if (num) *num = d.num;
    if (buffer) copy_path(d.path, buffer, len);
    return 1;
  }
  return 0;
}

// --- JSON replies -----------------------------------------------------------------------------

int32_t status_of(const Disk& d) {
  if (!d.used) return 0;
  return d.full ? 3 : 1;
}

void disk_row(wtb* w, const Disk& d) {
  wtb_InsertString(w, "     {");
  json_Int32Value(w, "DiskNo", d.num);
  wtb_InsertString(w, ",");
  json_StringValue(w, "Path", d.path.c_str());
  wtb_InsertString(w, ",");
  json_Int32Value(w, "Enable", d.used ? 1 : 0);
  wtb_InsertString(w, ",");
  json_Int32Value(w, "Status", status_of(d));
  wtb_InsertString(w, ",");
  json_Int32Value(w, "IsSSD", d.ssd ? 1 : 0);
  wtb_InsertString(w, ",");
  json_StringValue(w, "Note", d.note.c_str());
  wtb_InsertString(w, "}");
}

// The reply frame around the rows: Return, RequestID, NumOfLists and the Lists array.
wtb* reply(const std::vector<Disk>& disks, const char* request_id) {
  wtb* w = wtb_make("", 0);
  if (!w) return nullptr;
  wtb_InsertString(w, "{\r\n  ");
  json_StringValue(w, "Return", "True");
  wtb_InsertString(w, ",\r\n");
  if (request_id) {
    wtb_InsertString(w, "  ");
    json_StringValue(w, "RequestID", request_id);
    wtb_InsertString(w, ",\r\n");
  }
  wtb_InsertString(w, "  ");
  json_Int32Value(w, "NumOfLists", static_cast<int32_t>(disks.size()));
  if (!disks.empty()) {
    wtb_InsertString(w, ",\r\n  \"Lists\":\r\n   [\r\n");
    for (size_t i = 0; i < disks.size(); ++i) {
      disk_row(w, disks[i]);
      wtb_InsertString(w, i + 1 < disks.size() ? ",\r\n" : "\r\n");
    }
    wtb_InsertString(w, "   ]");
  }
  wtb_InsertString(w, "\r\n}");
  return w;
}

std::vector<Disk> snapshot() {
  DiskLock lock;
  return store().list;
}

}  // namespace

void load() {
  Store& s = store();
  if (!s.lock.load()) s.lock.store(cu_sem_malloc(), std::memory_order_release);
  if (!db()) return;
  std::vector<Disk> loaded = load_rows();
  DiskLock lock;
  s.list = std::move(loaded);
  s.recount();
}

void reset() {
  Store& s = store();
  DiskLock lock;
  s.list.clear();
  std::fill(std::begin(s.cursor), std::end(s.cursor), 0);
  s.recount();
}

}  // namespace policydb::diskno

using namespace policydb::diskno;

uint8_t policydb_diskno_append_x(int32_t num, const char* path, int64_t quota, uint8_t used, uint8_t ssd,
                                 const char* note) {
  try {
    return set_disk(num, path, quota, used, ssd, note);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

uint8_t policydb_diskno_modify_x(int32_t num, const char* path, int64_t quota, uint8_t used, uint8_t ssd,
                                 const char* note) {
  return policydb_diskno_append_x(num, path, quota, used, ssd, note);
}

uint8_t policydb_diskno_append(int32_t num, const char* path, int64_t quota, uint8_t used, const char* note) {
  return policydb_diskno_append_x(num, path, quota, used, 0, note);
}

uint8_t policydb_diskno_modify(int32_t num, const char* path, int64_t quota, uint8_t used, const char* note) {
  return policydb_diskno_append_x(num, path, quota, used, 0, note);
}

uint8_t policydb_diskno_modify_BySSD(int32_t num, uint8_t ssd) { return set_ssd(num, ssd); }

int32_t policydb_diskno_GetNumUsed(void) { return store().used_count.load(std::memory_order_relaxed); }

uint8_t policydb_diskno_SetFull(int32_t num) {
  return with_disk(num, [](Disk& d) {
    if (d.used) d.full = true;
    return true;
  });
}

uint8_t policydb_diskno_SetUnfull(int32_t num) {
  return with_disk(num, [](Disk& d) {
    d.full = false;
    return true;
  });
}

uint8_t policydb_diskno_GetPath(int32_t num, char* buffer, int32_t len) {
  if (!buffer || len < 1) return 0;
  return with_disk(num, [&](const Disk& d) {
    if (!d.used) return false;
    copy_path(d.path, buffer, len);
    return true;
  });
}

uint8_t policydb_diskno_IsSSD(int32_t num) {
  return with_disk(num, [](const Disk& d) { return d.ssd; });
}

uint8_t policydb_diskno_GetAvailablePath(int32_t* num, char* buffer, int32_t len) {
  return choose(kAny, num, buffer, len);
}

uint8_t policydb_diskno_GetAvailablePath_BySSD(int32_t* num, char* buffer, int32_t len) {
  return choose(kSsd, num, buffer, len);
}

uint8_t policydb_diskno_GetAvailablePath_ByHDD(int32_t* num, char* buffer, int32_t len) {
  return choose(kHdd, num, buffer, len);
}

wtb* policydb_diskno_GetDiskNoInfoByJson(int32_t num, const char* request_id) {
  if (num < 0) return nullptr;
  try {
    Disk unknown;
    unknown.num = num;
    std::vector<Disk> one{unknown};
    with_disk(num, [&](const Disk& d) {
      one[0] = d;
      return true;
    });
    return reply(one, request_id);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

wtb* policydb_diskno_GetListAllByJson(const char* request_id) {
  try {
    return reply(snapshot(), request_id);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
