// The sub-module "config": its descriptor, init and exit, opening the configuration database,
// the order in which the families load, and the one-time defaults of once.ini.
#include "cu_config.h"
#include "cu_lib.h"
#include "policydb.h"
#include "policydb_iplist.h"
#include "policydb_cache.h"
#include "policydb_diskno.h"
#include "policydb_internal.h"
#include "policydb_protect.h"
#include "policydb_proxy.h"
#include "policydb_rewrite.h"
#include "policydb_system.h"
#include "tallies.h"

#include <unistd.h>

#include <algorithm>
#include <string>

namespace policydb {

namespace {

// The families in load order; each later family joins this table at its place.
struct FamilyLoader {
  void (*load)();
  void (*reset)();  // forgets the family's memory (tests reload the module)
};

constexpr FamilyLoader kLoaders[] = {
    {settings::load, settings::reset},
    {cache::load_scache, [] { cache::scache().reset(); }},
    {cache::load_icache, [] { cache::icache().reset(); }},
    {cache::load_fcache, [] { cache::fcache().reset(); }},
    {cache::load_rcache, [] { cache::rcache().reset(); }},
    {iplist::load_black, [] { iplist::black().reset(); }},
    {iplist::load_white, [] { iplist::white().reset(); }},
    {rewrite::load, [] { rewrite::rules().reset(); }},
    {protect::load, protect::reset},
    {proxy::load, proxy::reset},
    {diskno::load, diskno::reset},
};

constexpr char kOnceIni[] = "../modules/zazudaza/once.ini";
constexpr char kSetupLog[] = "../logs/zazudaza.db.log";

bool display_from(cu_config* config) {
  const char* v = cu_config_GetKey(config, "system", "display_console");
  return !v || cu_atoll(v) == 1;
}

std::string db_file_name(edgeserv_ctx* ctx) {
  cu_config* daemon_config = ctx && ctx->daemon ? ctx->daemon->config : nullptr;
  const char* v = cu_config_GetKey(daemon_config, "system", "zazudaza_dbfile");
  std::string name = v ? v : "zazudaza.db";
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

// Connects the handle when the file is there; a missing file is never created, so a mistyped
// name cannot start an empty database.
void connect(vor_sqlite* handle, const std::string& name) {
  const std::string path = "../config/" + name;
  if (access(path.c_str(), F_OK) != 0) {
    report_error("[zazudaza -> config] zazudaza dbfile(%s) isn't exist!\r\n", name.c_str());
    return;
  }
  if (vor_sqlite_connect(handle, path.c_str())) return;
  report_error_lines("[zazudaza -> config] cann't open zazudaza dbfile(" + name + ")!\r\n",
                     "[zazudaza -> config] cann't open config file dbfile(" + name + ")!\r\n");
}

void open_setup_log() {
  if (!module().display.load()) return;
  module().setup_log = cu_log_malloc(kSetupLog);
  setup_log_write("setup:\r\n");
}

void close_setup_log() {
  if (!module().setup_log) return;
  setup_log_write("\r\n");
  cu_log_free(module().setup_log);
  module().setup_log = nullptr;
}

// A once.ini value when the database has no row for the key yet.
template <typename Setter>
void apply_once(cu_config* ini, settings::Id id, const char* fallback, int32_t high, Setter setter) {
  if (settings::have(id)) return;
  const char* text = cu_config_GetKey(ini, "once", settings::key_of(id));
  int32_t v = cu_strtol(text ? text : fallback, nullptr, 10);
  if (v < 0 || v > high) v = cu_strtol(fallback, nullptr, 10);
  setter(static_cast<uint32_t>(v));
}

}  // namespace

void reset_for_tests() {
  for (const FamilyLoader& loader : kLoaders) loader.reset();
  vor_sqlite_free(module().db.exchange(nullptr));
  module().ctx.store(nullptr);
  module().display.store(true);
}

}  // namespace policydb

using namespace policydb;

submodule_desc config = {371, "config", policydb_module_init, policydb_module_exit, nullptr, nullptr, nullptr};

uint8_t policydb_module_init(edgeserv_ctx* ctx) {
  console("[zazudaza -> config] module init!\r\n");
  module().display.store(display_from(ctx ? ctx->config : nullptr));
  load_policy_tables(ctx);
  seams::restart_stat();
  return 1;
}

void policydb_module_exit(edgeserv_ctx*) {
  console("[zazudaza -> config] module exit!\r\n");
  tallies__TextReport();
}

void load_policy_tables(edgeserv_ctx* ctx) {
  module().ctx.store(ctx);
  if (!module().dblock.load()) module().dblock.store(cu_sem_malloc());
  vor_sqlite* handle = vor_sqlite_make();
  if (!handle) {
    report_error("%s", "[zazudaza -> config] create config handle error!\r\n");
    return;
  }
  connect(handle, db_file_name(ctx));
  // Published connected or not: with a missing file every statement fails and is reported.
  vor_sqlite_free(module().db.exchange(handle));
  open_setup_log();
  for (const FamilyLoader& loader : kLoaders) loader.load();
  apply_once_defaults();
  close_setup_log();
}

void apply_once_defaults(void) {
  cu_config* ini = cu_config_make(kOnceIni);
  if (!ini) return;
  apply_once(ini, settings::Id::RatioOfDCIMSAndMUMS, "30", 100, policydb_system_set_RatioOfDCIMSAndMUMS);
  apply_once(ini, settings::Id::MinDiskCacheContentSize, "16384", 1073741824,
             policydb_system_set_MinDiskCacheContentSize);
  cu_config_free(ini);
}
