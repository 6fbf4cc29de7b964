// quorind: hosts the daemon modules. The main thread sets up, loads and initialises the
// modules, then only sleeps; SIGINT and SIGTERM are taken by one thread in sigwait, which
// runs the shutdown outside any signal handler.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "cu_date_civil.h"
#include "cu_file.h"
#include "cu_lib.h"
#include "cu_malloc.h"
#include "cu_service.h"
#include "cu_util.h"
#include "vor_setup.h"
#include "daemon_notify.h"
#include "program_path.h"
#include "quorind.h"
#include "service_common.h"
#include "vor_io.h"

namespace {

constexpr char kDescription[] = "提供页面缓存加速/实时监控/防盗链/负载均衡/URL转向/黑名单等服务。";
constexpr char kSignalLog[] = "signal.log";
constexpr int32_t kSignalThreadStack = 131072;

std::atomic<daemon_ctx*> g_ctx{nullptr};
std::atomic<bool> g_service_mode{false};

// Shutdown runs once; the start-up phase from the PID file to the end of the init walk is
// "busy" and defers a shutdown asked for by another thread until it ends.
std::mutex g_lock;
std::condition_variable g_changed;
bool g_busy = false;
bool g_shutdown_started = false;
std::string g_pid_path;
int32_t g_lock_fd = 0;

// Read by the SIGABRT handler, which may take no lock: written before the flag is set.
char g_abort_pid_path[4096];
std::atomic<bool> g_abort_pid_set{false};
long g_utc_offset = 0;

void console(FILE* stream, const char* line) {
  fputs(line, stream);
  fflush(stream);
}

// --- signal-safe pieces of the SIGABRT handler --------------------------------------------

void put_number(char*& out, long value, int width) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 20);
  while (n < width) digits[n++] = '0';
  while (n > 0) *out++ = digits[--n];
}

// "YYYY-MM-DD hh:mm:ss " in local time from the offset taken at start-up (no locale, no lock).
size_t signal_safe_time_prefix(char* out) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const auto [days, secs] = vor::civil::split_seconds(static_cast<int64_t>(now.tv_sec) + g_utc_offset);
  const vor::civil::Date date = vor::civil::civil_from_days(days);
  char* p = out;
  put_number(p, static_cast<long>(date.year), 1);
  *p++ = '-';
  put_number(p, date.month, 2);
  *p++ = '-';
  put_number(p, date.day, 2);
  *p++ = ' ';
  put_number(p, secs / 3600, 2);
  *p++ = ':';
  put_number(p, secs % 3600 / 60, 2);
  *p++ = ':';
  put_number(p, secs % 60, 2);
  *p++ = ' ';
  return static_cast<size_t>(p - out);
}

// An abort is a crash: report it, drop the PID file and die of the signal itself, so the
// status shows it (and a core is written where configured). Module exits are not signal-safe.
void quorind_on_sigabrt(int) {
  const int saved = errno;
  static const char kConsole[] = "[Quorin] signal abort!\r\n";
  vor::io::write_all(STDERR_FILENO, kConsole, sizeof kConsole - 1);
  static const char kLine[] = "signal: abort!\r\n";
  char line[64];
  size_t n = signal_safe_time_prefix(line);
  memcpy(line + n, kLine, sizeof kLine - 1);
  n += sizeof kLine - 1;
  const int fd = open(kSignalLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    vor::io::write_all(fd, line, n);
    close(fd);
  }
  if (g_abort_pid_set.load()) unlink(g_abort_pid_path);
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGABRT, &dfl, nullptr);
  errno = saved;
  raise(SIGABRT);
}

// --- the signal thread ---------------------------------------------------------------------

void signal_thread(void*) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  while (true) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGTERM && g_service_mode.load()) {
      quorind_service_stop(nullptr);
      continue;
    }
    if (sig == SIGINT) {
      console(stdout, "[Quorin] signal Ctrl+C!\r\n");
      __cu_system_log(kSignalLog, "signal: interrupt, Ctrl+C!\r\n");
    } else {
      console(stdout, "[Quorin] signal terminal!\r\n");
      __cu_system_log(kSignalLog, "signal: terminal!\r\n");
    }
    quorind_shutdown(g_ctx.load(), 0);
  }
}

// Blocked before any thread exists, so every thread inherits the mask and only the signal
// thread takes them.
void block_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool install_signals() {
  struct tm local;
  const time_t now = time(nullptr);
  if (localtime_r(&now, &local)) g_utc_offset = local.tm_gmtoff;
  struct sigaction abort_action = {};
  abort_action.sa_handler = quorind_on_sigabrt;
  sigemptyset(&abort_action.sa_mask);
  sigaction(SIGABRT, &abort_action, nullptr);
  uint32_t thread_id = 0;
  return cu_CreateThread(&thread_id, kSignalThreadStack, signal_thread, nullptr);
}

// --- the start-up phase --------------------------------------------------------------------

// False when a shutdown has begun: the caller then waits for the end of the process.
bool enter_busy() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_shutdown_started) return false;
  g_busy = true;
  return true;
}

void leave_busy() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_busy = false;
  g_changed.notify_all();
}

[[noreturn]] void wait_for_end() {
  while (true) cu_sleep(100000);
}

[[noreturn]] void startup_fail(daemon_ctx* ctx) {
  leave_busy();
  quorind_shutdown(ctx, kExitFailure);
  wait_for_end();
}

void startup_fail_logged(daemon_ctx* ctx, const char* line) {
  console(stderr, line);
  cu_log_error(ctx->log, "%s", line);
  startup_fail(ctx);
}

void remember_pid_file(const std::string& path) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_pid_path = path;
  snprintf(g_abort_pid_path, sizeof g_abort_pid_path, "%s", path.c_str());
  g_abort_pid_set.store(path.size() < sizeof g_abort_pid_path);
}

void quorind_switches(int argc, char** argv, const std::string& program) {
  const ServiceSwitch which = parse_service_switch(argc > 1 ? argv[1] : nullptr);
  if (which == ServiceSwitch::kNone) return;
  if (which == ServiceSwitch::kService) {
    g_service_mode.store(true);
    cu_service_mainx(kServiceName, quorind_service_stop, nullptr);
    return;
  }
  // The lock only keeps a second daemon of this folder from acting; a service started from
  // here must be able to take it.
  {
    std::lock_guard<std::mutex> guard(g_lock);
    cu_lockfile_close(g_lock_fd);
    g_lock_fd = 0;
  }
  end_service_switch(run_service_control(which, program, kDescription));
}

}  // namespace

bool quorind_write_pid(uint32_t pid, const char* path) {
  cu_file1* file = cu_file1_open_tx(path);
  if (!file) return false;
  char text[16];
  const int n = snprintf(text, sizeof text, "%u", pid);
  const bool written = cu_file1_write(file, text, n) == n;
  cu_file1_close(file);
  return written;
}

void quorind_service_stop(void*) {
  console(stdout, "[Quorin] stop service!\r\n");
  quorind_shutdown(g_ctx.load(), 0);
}

void quorind_shutdown(daemon_ctx* ctx, int code) {
  if (!ctx) return;
  {
    std::unique_lock<std::mutex> lock(g_lock);
    if (g_shutdown_started) {
      lock.unlock();
      wait_for_end();
    }
    g_shutdown_started = true;
    g_changed.wait(lock, [] { return !g_busy; });
  }
  if (g_service_mode.load()) daemon_notify("STOPPING=1");
  cu_list_foreach(ctx->modules, quorind_exit_module, ctx);
  cu_list_free_all(ctx->modules, nullptr, nullptr);
  ctx->modules = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_pid_path.empty()) {
      g_abort_pid_set.store(false);
      cu_file1_remove(g_pid_path.c_str());
      g_pid_path.clear();
    }
    if (g_lock_fd > 0) cu_lockfile_close(g_lock_fd);
    g_lock_fd = 0;
  }
  // Other threads still run: flush what is buffered and end without static destructors.
  cu_log_flush(ctx->log);
  fflush(nullptr);
  _exit(code);
}

int quorind_start(int argc, char** argv) {
  daemon_ctx* ctx = g_ctx.load();
  std::optional<ProgramPath> program = own_program_path();
  if (!program) {
    console(stderr, "[Quorin] GetModuleFileName() fail!\r\n");
    startup_fail(ctx);
  }
  const std::string pid_path = "../logs/" + program->name + ".pid";
  const std::string config_path = "../config/" + program->name + ".ini";
  const std::string log_path = "../logs/" + program->name + ".log";
  const std::string lock_path = "../logs/" + program->name + ".lock";
  if (program->folder.empty() || chdir(program->folder.c_str()) != 0) {
    char line[4352];
    snprintf(line, sizeof line, "[Quorin] change directory to '%s' fail!\r\n", program->folder.c_str());
    console(stderr, line);
    startup_fail(ctx);
  }
  const int32_t lock_fd = cu_file_lock(lock_path.c_str());
  if (lock_fd < 0) {
    char line[4352];
    snprintf(line, sizeof line, "[Quorin] maybe '%s' is already running!\r\n", program->full.c_str());
    console(stderr, line);
    startup_fail(ctx);
  }
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lock_fd = lock_fd;
  }
  quorind_switches(argc, argv, program->full);
  if (!enter_busy()) wait_for_end();
  if (quorind_write_pid(cu_GetThisPid(), pid_path.c_str())) remember_pid_file(pid_path);
  ctx->log = cu_log_malloc(log_path.c_str());
  if (!ctx->log) {
    console(stderr, "[Quorin] log file create fail!\r\n");
    startup_fail(ctx);
  }
  ctx->config = cu_config_make(config_path.c_str());
  if (!ctx->config) {
    char line[4352];
    snprintf(line, sizeof line, "[Quorin] config file '%s' open fail!\r\n", config_path.c_str());
    startup_fail_logged(ctx, line);
  }
  ctx->lock = cu_sem_malloc();
  if (!ctx->lock) startup_fail_logged(ctx, "[Quorin] sem create fail!\r\n");
  if (quorind_make_bigbox(ctx) != 0) startup_fail_logged(ctx, "[Quorin] bigbox create fail!\r\n");
  quorind_load_modules(ctx);
  cu_list_foreach_if(ctx->modules, edgeserv__call_init, ctx);
  leave_busy();
  cu_log_notice(ctx->log, "[Quorin] started, process %u\r\n", cu_GetThisPid());
  if (g_service_mode.load()) daemon_notify("READY=1");
  return 0;
}

int main(int argc, char** argv) {
  block_signals();
  vor_Setup();
  daemon_ctx* ctx = static_cast<daemon_ctx*>(_cu_malloc(sizeof(daemon_ctx), kDaemonUnit, __LINE__));
  if (!ctx) return -1;
  memset(ctx, 0, sizeof *ctx);
  g_ctx.store(ctx);
  if (!install_signals()) {
    console(stderr, "[Quorin] signal thread create fail!\r\n");
    return kExitFailure;
  }
  quorind_start(argc, argv);
  console(stdout, "*** You Can Press Ctrl+C To Exit! ***\r\n");
  wait_for_end();
}
