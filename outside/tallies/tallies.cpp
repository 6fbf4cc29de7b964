#include "tallies.h"

#include "cu_file.h"
#include "cu_util.h"
#include "gbk_to_utf8.h"
#include "tallies_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tallies {

namespace {

constexpr size_t kAddressBytes = 20;
constexpr size_t kLocationBytes = 10;
constexpr size_t kMaxAddresses = 65536;  // distinct addresses counted per period
constexpr size_t kMaxLocations = 1024;   // per site or URL; later ones count under kOtherLocations
constexpr char kOtherLocations[] = "...";
constexpr char kReportFolder[] = "../logs/tallies";

struct Figures {
  uint64_t requests = 0;
  uint64_t hits = 0;
  void count(bool hit) {
    ++requests;
    hits += hit ? 1 : 0;
  }
  void add(const Figures& other) {
    requests += other.requests;
    hits += other.hits;
  }
};

using Locations = std::unordered_map<std::string, Figures>;

void count_location(Locations& locations, const char* location, bool hit) {
  std::string key(location ? location : "", location ? strnlen(location, kLocationBytes) : 0);
  if (locations.size() >= kMaxLocations && !locations.count(key)) key = kOtherLocations;
  locations[key].count(hit);
}

void add_locations(Locations& into, const Locations& from) {
  for (const auto& [name, figures] : from) {
    const bool room = into.size() < kMaxLocations || into.count(name);
    into[room ? name : std::string(kOtherLocations)].add(figures);
  }
}

struct Scope {
  Figures total;
  Locations locations;
  void count(const char* location, bool hit) {
    total.count(hit);
    count_location(locations, location, hit);
  }
  void add(const Scope& other) {
    total.add(other.total);
    add_locations(locations, other.locations);
  }
};

// The counts of one thread (or, merged, of the whole period).
struct Counts {
  Scope site;
  std::unordered_set<std::string> addresses;
  bool addresses_capped = false;
  std::unordered_map<uint64_t, Scope> urls;  // by registration id

  void add_address(const std::string& address) {
    if (addresses.size() < kMaxAddresses || addresses.count(address)) {
      addresses.insert(address);
    } else {
      addresses_capped = true;
    }
  }
  void add(const Counts& other) {
    site.add(other.site);
    for (const auto& a : other.addresses) add_address(a);
    addresses_capped = addresses_capped || other.addresses_capped;
    for (const auto& [id, scope] : other.urls) urls[id].add(scope);
  }
};

struct Shard {
  std::mutex mu;
  Counts counts;
};

struct Registration {
  int64_t refs = 0;
  uint64_t id = 0;
};

class Tallies {
 public:
  static Tallies& get() {
    static auto* the_tallies = new Tallies;  // never destroyed: thread exits may still merge into it
    return *the_tallies;
  }

  bool add_url(const char* url) {
    std::unique_lock<std::shared_mutex> lock(urls_mu_);
    Registration& r = urls_[url];
    if (r.refs++ == 0) r.id = ++last_id_;
    return true;
  }

  bool del_url(const char* url) {
    std::unique_lock<std::shared_mutex> lock(urls_mu_);
    auto it = urls_.find(url);
    if (it == urls_.end()) return false;
    if (--it->second.refs == 0) urls_.erase(it);  // its counts are dropped at the next merge
    return true;
  }

  bool url_id(const char* url, uint64_t* id) {
    std::shared_lock<std::shared_mutex> lock(urls_mu_);
    auto it = urls_.find(url);
    if (it == urls_.end()) return false;
    *id = it->second.id;
    return true;
  }

  std::vector<std::pair<std::string, uint64_t>> registered_urls() {
    std::shared_lock<std::shared_mutex> lock(urls_mu_);
    std::vector<std::pair<std::string, uint64_t>> urls;
    for (const auto& [url, r] : urls_) urls.emplace_back(url, r.id);
    std::sort(urls.begin(), urls.end());
    return urls;
  }

  // Counting goes to the calling thread's shard; its lock is contended only by reports.
  template <typename Fn>
  void count(Fn&& fn) {
    Shard& shard = this_thread_shard();
    std::lock_guard<std::mutex> lock(shard.mu);
    fn(shard.counts);
  }

  void restart() {
    std::lock_guard<std::mutex> period(period_mu_);
    for (const auto& shard : all_shards()) {
      std::lock_guard<std::mutex> lock(shard->mu);
      shard->counts = Counts{};
    }
    start_.store(cu_time());
  }

  // The period so far, merged from every shard.
  Counts merged() {
    Counts all;
    for (const auto& shard : all_shards()) {
      std::lock_guard<std::mutex> lock(shard->mu);
      all.add(shard->counts);
    }
    return all;
  }

  int64_t start() const { return start_.load(); }

  // A thread that ends hands its counts to the shard of ended threads.
  void retire(const std::shared_ptr<Shard>& shard) {
    std::lock_guard<std::mutex> lock(shards_mu_);
    shards_.erase(std::remove(shards_.begin(), shards_.end(), shard), shards_.end());
    std::scoped_lock both(retired_->mu, shard->mu);
    retired_->counts.add(shard->counts);
  }

 private:
  struct ThreadShard {
    std::shared_ptr<Shard> shard;
    ~ThreadShard() {
      if (shard) Tallies::get().retire(shard);
    }
  };

  Tallies() : retired_(std::make_shared<Shard>()), start_(cu_time()) { shards_.push_back(retired_); }

  Shard& this_thread_shard() {
    thread_local ThreadShard mine;
    if (!mine.shard) {
      auto shard = std::make_shared<Shard>();
      std::lock_guard<std::mutex> lock(shards_mu_);
      shards_.push_back(shard);
      mine.shard = std::move(shard);
    }
    return *mine.shard;
  }

  std::vector<std::shared_ptr<Shard>> all_shards() {
    std::lock_guard<std::mutex> lock(shards_mu_);
    return shards_;
  }

  std::shared_mutex urls_mu_;
  std::unordered_map<std::string, Registration> urls_;
  uint64_t last_id_ = 0;

  std::mutex shards_mu_;
  std::vector<std::shared_ptr<Shard>> shards_;
  std::shared_ptr<Shard> retired_;

  std::mutex period_mu_;  // restarts come from the admin thread and the master box
  std::atomic<int64_t> start_;
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return std::string(buf, n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

std::string location_utf8(const std::string& gbk) {
  if (gbk.empty()) return "-";
  char out[64];
  gbk_to_utf8* converter = gbk_to_utf8_make();
  if (!converter || !gbk_to_utf8_static(converter, gbk.data(), static_cast<int32_t>(gbk.size()), out, sizeof out, 0)) {
    return "?";
  }
  return out;
}

// Bytes that do not form UTF-8 (a URL text may hold anything) become '?'.
std::string as_utf8(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t n = b < 0x80 ? 0 : (b >= 0xc2 && b <= 0xdf) ? 1 : (b >= 0xe0 && b <= 0xef) ? 2 : (b >= 0xf0 && b <= 0xf4) ? 3 : 4;
    bool ok = n < 4 && i + n < text.size();
    for (size_t k = 1; ok && k <= n; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
    if (ok && n == 2) {
      const auto c = static_cast<unsigned char>(text[i + 1]);
      ok = !(b == 0xe0 && c < 0xa0) && !(b == 0xed && c >= 0xa0);  // overlong, surrogate
    } else if (ok && n == 3) {
      const auto c = static_cast<unsigned char>(text[i + 1]);
      ok = !(b == 0xf0 && c < 0x90) && !(b == 0xf4 && c >= 0x90);  // overlong, above U+10FFFF
    }
    if (ok) {
      out.append(text, i, n + 1);
      i += n + 1;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

std::vector<std::string> scope_lines(const Scope& scope) {
  std::vector<std::string> lines;
  lines.push_back(format("Requests: %" PRIu64 "\r\n", scope.total.requests));
  lines.push_back(format("Hits: %" PRIu64 "\r\n", scope.total.hits));
  std::vector<std::pair<std::string, Figures>> rows(scope.locations.begin(), scope.locations.end());
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return a.second.requests != b.second.requests ? a.second.requests > b.second.requests : a.first < b.first;
  });
  if (!rows.empty()) lines.push_back("Location\tRequests\tHits\r\n");
  for (const auto& [name, figures] : rows) {
    lines.push_back(location_utf8(name) + format("\t%" PRIu64 "\t%" PRIu64 "\r\n", figures.requests, figures.hits));
  }
  return lines;
}

std::vector<std::string> site_lines(const Counts& counts) {
  std::vector<std::string> lines = scope_lines(counts.site);
  lines.insert(lines.begin() + 2, format("Addresses: %zu%s\r\n", counts.addresses.size(),
                                         counts.addresses_capped ? "+" : ""));
  return lines;
}

// Whole lines only: at most capacity - 1 bytes and a NUL.
void fill(char* report, int32_t capacity, const std::vector<std::string>& lines) {
  size_t used = 0;
  const size_t room = static_cast<size_t>(capacity) - 1;
  for (const auto& line : lines) {
    if (used + line.size() > room) break;
    std::memcpy(report + used, line.data(), line.size());
    used += line.size();
  }
  report[used] = '\0';
}

void fill_rate(char* rate, const Figures& figures) {
  if (!rate) return;
  const double percent = figures.requests ? 100.0 * static_cast<double>(figures.hits) / static_cast<double>(figures.requests) : 0.0;
  std::snprintf(rate, TALLIES_RATE_SIZE, "%-2.2f%%", percent);
}

bool real_time_report(const Scope* scope, const Counts* counts, char* report, int32_t capacity, int64_t* start,
                      int64_t* end, char* rate) {
  if (start) *start = Tallies::get().start();
  if (end) *end = cu_time();
  fill_rate(rate, scope ? scope->total : Figures{});
  if (!scope) {
    report[0] = '\0';
    return false;
  }
  fill(report, capacity, counts ? site_lines(*counts) : scope_lines(*scope));
  return true;
}

std::string local_time(int64_t t, const char* layout) {
  struct tm parts {};
  char buf[64] = "";
  if (cu_localtime(&t, &parts)) std::strftime(buf, sizeof buf, layout, &parts);
  return buf;
}

// A new file beside the report, synced, then renamed over it: a reader never sees half a report.
bool replace_file(const std::string& path, const std::string& text) {
  std::string tmp = path + ".XXXXXX";
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = fchmod(fd, 0644) == 0 && ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok && rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

}  // namespace

std::string report_file_name(int64_t start) { return local_time(start, "tallies-%Y%m%d-%H%M%S.log"); }

bool write_text_report(const std::string& folder) {
  Tallies& t = Tallies::get();
  const int64_t start = t.start();
  const Counts counts = t.merged();
  std::string text = "Period: " + local_time(start, "%Y-%m-%d %H:%M:%S") + " - " +
                     local_time(cu_time(), "%Y-%m-%d %H:%M:%S") + "\r\n";
  for (const auto& line : site_lines(counts)) text += line;
  for (const auto& [url, id] : t.registered_urls()) {
    text += "\r\nUrl: " + as_utf8(url) + "\r\n";
    const auto it = counts.urls.find(id);
    for (const auto& line : scope_lines(it != counts.urls.end() ? it->second : Scope{})) text += line;
  }
  // The folder and its parent may be missing on a first run; cu_dir1_make fails when one exists.
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) cu_dir1_make(folder.substr(0, slash).c_str());
  cu_dir1_make(folder.c_str());
  return replace_file(folder + "/" + report_file_name(start), text);
}

}  // namespace tallies

using tallies::Tallies;

bool tallies__AddUrl(const char* url) {
  if (!url) return false;
  try {
    return Tallies::get().add_url(url);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool tallies__DelUrl(const char* url) { return url && Tallies::get().del_url(url); }

bool tallies__SynUrl(const char* url, const char* location, bool hit) {
  uint64_t id = 0;
  if (!url || !Tallies::get().url_id(url, &id)) return false;
  try {
    Tallies::get().count([&](tallies::Counts& c) { c.urls[id].count(location, hit); });
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool tallies__SynStat(const char* address, const char* location, bool hit) {
  if (!address) return false;
  try {
    const std::string addr(address, strnlen(address, tallies::kAddressBytes));
    Tallies::get().count([&](tallies::Counts& c) {
      c.site.count(location, hit);
      c.add_address(addr);
    });
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void tallies__Restart(void) { Tallies::get().restart(); }

bool tallies__TextReport(void) {
  try {
    return tallies::write_text_report(tallies::kReportFolder);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool tallies__StatRealTimeReport(char* report, int32_t capacity, int64_t* start, int64_t* end,
                                 char rate[TALLIES_RATE_SIZE]) {
  if (!report || capacity < 1) return false;
  try {
    const tallies::Counts counts = Tallies::get().merged();
    return tallies::real_time_report(&counts.site, &counts, report, capacity, start, end, rate);
  } catch (const std::bad_alloc&) {
    report[0] = '\0';
    return false;
  }
}

bool tallies__UrlRealTimeReport(const char* url, char* report, int32_t capacity, int64_t* start, int64_t* end,
                                char rate[TALLIES_RATE_SIZE]) {
  if (!report || capacity < 1) return false;
  try {
    uint64_t id = 0;
    if (!url || !Tallies::get().url_id(url, &id)) {
      return tallies::real_time_report(nullptr, nullptr, report, capacity, start, end, rate);
    }
    const tallies::Counts counts = Tallies::get().merged();
    const auto it = counts.urls.find(id);
    const tallies::Scope empty;
    return tallies::real_time_report(it != counts.urls.end() ? &it->second : &empty, nullptr, report, capacity,
                                     start, end, rate);
  } catch (const std::bad_alloc&) {
    report[0] = '\0';
    return false;
  }
}
