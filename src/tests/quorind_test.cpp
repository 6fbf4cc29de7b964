#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "daemon_tree.h"
#include "program_path.h"

namespace {

using namespace quorin::test;
using ::testing::HasSubstr;
using ::testing::Not;

std::string modules_config(const std::vector<std::pair<std::string, std::string>>& modules,
                           const std::string& system = "") {
  std::string text = "[system]\n" + system + "[modules]\n";
  for (size_t i = 0; i < modules.size(); ++i) {
    text += "module-" + std::to_string(i) + "=" + modules[i].first + "\n";
    text += "export-" + std::to_string(i) + "=" + modules[i].second + "\n";
  }
  return text;
}

constexpr char kFixture[] = "libdaemon_fixture.so";
constexpr char kTimePrefix[] = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )";

// One line: the local time "YYYY-MM-DD hh:mm:ss " and then exactly `line`.
bool timestamped(const std::string& text, const std::string& line) {
  const size_t prefix = 20;
  return text.size() == prefix + line.size() && std::regex_match(text.substr(0, prefix), std::regex(kTimePrefix)) &&
         text.substr(prefix) == line;
}

bool flock_free(const DaemonTree& tree) {
  return vor::test::run_shell("flock -n '" + tree.logs("quorind.lock") + "' true") == 0;
}

struct ProgramPathCase {
  const char* full;
  const char* name;
  const char* folder;
};

TEST(ProgramPath, NameIsFilePartCutBeforeItsLastDot) {
  const ProgramPathCase cases[] = {
      {"/opt/q/bin/quorind", "quorind", "/opt/q/bin/"},
      {"/opt/q/bin/quorind.exe", "quorind", "/opt/q/bin/"},
      {"/opt/q/bin/x.y.exe", "x.y", "/opt/q/bin/"},
      {"/opt/q/bin/.hidden", "", "/opt/q/bin/"},
      {"C:\\q\\bin\\quorind.exe", "quorind", "C:/q/bin/"},
      {"quorind", "quorind", ""},
      {"/opt/q/bin/", "", "/opt/q/bin/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.full);
    const ProgramPath p = split_program_path(c.full);
    EXPECT_EQ(p.name, c.name);
    EXPECT_EQ(p.folder, c.folder);
  }
}

struct SignalCase {
  int sig;
  const char* console;
  const char* logged;
};

TEST(Daemon, SignalRunsEveryModuleExitRemovesPidFileAndExitsZero) {
  const SignalCase cases[] = {
      {SIGINT, "[Quorin] signal Ctrl+C!\r\n", "signal: interrupt, Ctrl+C!\r\n"},
      {SIGTERM, "[Quorin] signal terminal!\r\n", "signal: terminal!\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.console);
    DaemonTree tree;
    tree.config(modules_config({{kFixture, "mod_a"}, {kFixture, "mod_b"}}));
    auto daemon = tree.start_daemon();
    ASSERT_THAT(tree.out(), HasSubstr("*** You Can Press Ctrl+C To Exit! ***\r\n"));
    EXPECT_EQ(read_file(tree.logs("quorind.pid")), std::to_string(daemon->pid()));
    EXPECT_FALSE(flock_free(tree));
    daemon->signal(c.sig);
    const Outcome end = daemon->wait();
    ASSERT_TRUE(end.ended);
    EXPECT_FALSE(end.signaled);
    EXPECT_EQ(end.code, 0);
    EXPECT_THAT(tree.out(), HasSubstr(c.console));
    EXPECT_TRUE(timestamped(read_file(tree.bin("signal.log")), c.logged));
    EXPECT_FALSE(fs::exists(tree.logs("quorind.pid")));
    EXPECT_TRUE(flock_free(tree));
    EXPECT_EQ(tree.fixture_log(), "init mod_a\ninit mod_b\nexit mod_a\nexit mod_b\n");
  }
}

TEST(Daemon, SecondInstanceIsRefusedAndLeavesTheFirstAlone) {
  DaemonTree tree;
  tree.config(modules_config({}));
  auto first = tree.start_daemon();
  const std::string pid_text = read_file(tree.logs("quorind.pid"));
  auto second = tree.run("quorind");
  const Outcome end = second->wait();
  ASSERT_TRUE(end.ended);
  EXPECT_NE(end.code, 0);
  EXPECT_EQ(tree.err(), "[Quorin] maybe '" + tree.bin("quorind") + "' is already running!\r\n");
  EXPECT_EQ(read_file(tree.logs("quorind.pid")), pid_text);
  EXPECT_FALSE(flock_free(tree));
  EXPECT_FALSE(first->wait(100).ended);
  first->signal(SIGINT);
  EXPECT_EQ(first->wait().code, 0);
}

TEST(Daemon, ServiceControlSwitchBesideARunningDaemonControlsNothing) {
  DaemonTree tree;
  tree.config(modules_config({}));
  auto first = tree.start_daemon();
  auto second = tree.run("quorind", {"-stop"}, {"VOR_SERVICE_BACKEND=simple", "VOR_SERVICE_DIR=" + tree.temp("svc")});
  EXPECT_NE(second->wait().code, 0);
  EXPECT_THAT(tree.err(), HasSubstr("is already running!\r\n"));
  EXPECT_THAT(tree.out(), Not(HasSubstr("Press ENTER")));
  first->signal(SIGINT);
  EXPECT_EQ(first->wait().code, 0);
}

TEST(Daemon, MissingLogsFolderStopsAtTheLock) {
  DaemonTree tree;
  tree.config(modules_config({}));
  fs::remove_all(tree.root() + "/logs");
  auto daemon = tree.run("quorind");
  const Outcome end = daemon->wait();
  EXPECT_NE(end.code, 0);
  EXPECT_THAT(tree.err(), HasSubstr("is already running!\r\n"));
}

TEST(Daemon, MissingConfigurationDeletesThePidFileAgainAndFails) {
  DaemonTree tree;
  auto daemon = tree.run("quorind");
  const Outcome end = daemon->wait();
  ASSERT_TRUE(end.ended);
  EXPECT_EQ(end.code, 1);
  EXPECT_EQ(tree.err(), "[Quorin] config file '../config/quorind.ini' open fail!\r\n");
  EXPECT_THAT(read_file(tree.logs("quorind.log")), HasSubstr("error: [Quorin] config file '../config/quorind.ini' open fail!\r\n"));
  EXPECT_FALSE(fs::exists(tree.logs("quorind.pid")));
  EXPECT_TRUE(flock_free(tree));
}

TEST(Daemon, ProgramNameWithoutExtensionNamesEveryFile) {
  DaemonTree tree;
  fs::rename(tree.bin("quorind"), tree.bin("x.y.bin"));
  write_file(tree.root() + "/config/x.y.ini", "[modules]\n");
  auto daemon = tree.run("x.y.bin");
  // The PID file is written before the log is opened: wait for both.
  ASSERT_TRUE(wait_until([&] { return fs::exists(tree.logs("x.y.pid")) && fs::exists(tree.logs("x.y.log")); }));
  EXPECT_TRUE(fs::exists(tree.logs("x.y.lock")));
  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->wait().code, 0);
}

TEST(Daemon, ModuleVersionsOutside300To399AreRefused) {
  DaemonTree tree;
  tree.config(modules_config({{kFixture, "v299"}, {kFixture, "v300"}, {kFixture, "v399"}, {kFixture, "v400"}}));
  auto daemon = tree.start_daemon();
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait().code, 0);
  const std::string out = tree.out();
  EXPECT_THAT(out, HasSubstr("[Quorin] module 'libdaemon_fixture.so' version('299') error!\r\n"));
  EXPECT_THAT(out, HasSubstr("[Quorin] module 'libdaemon_fixture.so' version('400') error!\r\n"));
  EXPECT_THAT(read_file(tree.logs("quorind.log")),
              HasSubstr("warn: [Quorin] module 'libdaemon_fixture.so' version('299') error!\r\n"));
  EXPECT_EQ(tree.fixture_log(), "init v300\ninit v399\nexit v300\nexit v399\n");
}

TEST(Daemon, LoaderReportsMissingSymbolsAndLibrariesAndSkipsIncompleteIndexes) {
  DaemonTree tree;
  tree.config(
      "[modules]\n"
      "module-0=libdaemon_fixture.so\nexport-0=no_such_symbol\n"
      "module-1= libdaemon_fixture.so\nexport-1=mod_a\n"  // the blank is part of the value
      "module-3=libdaemon_fixture.so\n"                   // no export-3
      "module-4=libdaemon_fixture.so\nexport-4=mod_noinit\n"
      "module-5=libdaemon_fixture.so\nexport-5=mod_b\n"
      "module-6=libdaemon_fixture.so\nexport-6=mod_b\n"  // listed twice: init and exit twice
      "module-256=libdaemon_fixture.so\nexport-256=mod_a\n");
  auto daemon = tree.start_daemon();
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait().code, 0);
  const std::string out = tree.out();
  EXPECT_THAT(out, HasSubstr("[Quorin] module '../modules/libdaemon_fixture.so' export symbol 'no_such_symbol' error!\r\n"));
  EXPECT_THAT(out, HasSubstr("[Quorin] module '../modules/ libdaemon_fixture.so' load fail!\r\n"));
  EXPECT_EQ(tree.fixture_log(), "init mod_b\ninit mod_b\nexit mod_b\nexit mod_b\n");
}

TEST(Daemon, TooLongModuleValueIsRefusedAsALoadFailure) {
  DaemonTree tree;
  const std::string long_name(197, 'm');
  tree.config("[modules]\nmodule-0=" + long_name + "\nexport-0=mod_a\nmodule-1=libdaemon_fixture.so\nexport-1=mod_a\n");
  auto daemon = tree.start_daemon();
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait().code, 0);
  EXPECT_THAT(tree.out(), HasSubstr("[Quorin] module '../modules/" + long_name + "' load fail!\r\n"));
  EXPECT_EQ(tree.fixture_log(), "init mod_a\nexit mod_a\n");
}

TEST(Daemon, InitWalkStopsAtFirstFailureYetEveryModuleIsExited) {
  DaemonTree tree;
  tree.config(modules_config({{kFixture, "mod_a"}, {kFixture, "mod_fail"}, {kFixture, "mod_b"}}));
  auto daemon = tree.start_daemon();
  EXPECT_EQ(tree.fixture_log(), "init mod_a\ninit mod_fail\n");
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait().code, 0);
  EXPECT_EQ(tree.fixture_log(), "init mod_a\ninit mod_fail\nexit mod_a\nexit mod_fail\nexit mod_b\n");
}

// fixmod is built by vor_deliverable as every module is, and copied into the tree's modules/
// as scripts/run lays modules out; it reads its own group and writes to the daemon log.
TEST(Daemon, ModuleBuiltAsADeliverableLoadsFromTheModulesFolder) {
  struct Case {
    const char* pairs;
    const char* init_line;
  };
  const Case cases[] = {{"a=1;b=2", "[fixmod] init: 2 pairs\r\n"}, {"a=1;;b=2", "[fixmod] init: pairs malformed\r\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pairs);
    DaemonTree tree;
    fs::copy_file(QUORIN_FIXMOD, tree.root() + "/modules/libfixmod.so");
    tree.config(modules_config({{"libfixmod.so", "fixmod_module"}}) + "[fixmod]\npairs=" + c.pairs + "\n");
    auto daemon = tree.start_daemon();
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait().code, 0);
    EXPECT_THAT(tree.out(), Not(HasSubstr("load fail")));
    const std::string log = read_file(tree.logs("quorind.log"));
    const size_t init = log.find(c.init_line);
    EXPECT_NE(init, std::string::npos) << log;
    EXPECT_NE(log.find("[fixmod] exit\r\n", init), std::string::npos) << log;
  }
}

TEST(Daemon, SignalDuringSlowInitWaitsForTheWalkThenExitsOnce) {
  DaemonTree tree;
  tree.config(modules_config({{kFixture, "mod_slow"}, {kFixture, "mod_b"}}));
  auto daemon = tree.run("quorind");
  ASSERT_TRUE(wait_until([&] { return tree.fixture_log() == "init-begin mod_slow\n"; }));
  daemon->signal(SIGTERM);
  daemon->signal(SIGINT);
  const Outcome end = daemon->wait();
  EXPECT_EQ(end.code, 0);
  EXPECT_EQ(tree.fixture_log(), "init-begin mod_slow\ninit mod_slow\ninit mod_b\nexit mod_slow\nexit mod_b\n");
  EXPECT_FALSE(fs::exists(tree.logs("quorind.pid")));
}

TEST(Daemon, AbortReportsTheCrashLeavesNoPidFileAndDiesOfTheSignal) {
  DaemonTree tree;
  tree.config(modules_config({{kFixture, "mod_a"}}));
  auto daemon = tree.start_daemon();
  ASSERT_TRUE(fs::exists(tree.logs("quorind.pid")));
  daemon->signal(SIGABRT);
  const Outcome end = daemon->wait();
  ASSERT_TRUE(end.ended);
  EXPECT_TRUE(end.signaled);
  EXPECT_EQ(end.code, SIGABRT);
  EXPECT_THAT(tree.err(), HasSubstr("[Quorin] signal abort!\r\n"));
  EXPECT_TRUE(timestamped(read_file(tree.bin("signal.log")), "signal: abort!\r\n"));
  EXPECT_FALSE(fs::exists(tree.logs("quorind.pid")));
}

// The bigbox runs one thread per slave beside the daemon's few own threads (main, signal
// wait, the bigbox master), so the slave count shows in the process's task list.
int thread_count(pid_t pid) {
  int n = 0;
  for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) ++n;
  return n;
}

// Waits for the start-up banner for as long as the daemon keeps starting threads: the bigbox
// returns once every slave thread runs, and a thousand of them take long on a loaded machine.
bool started_while_threads_grow(const DaemonTree& tree, pid_t pid) {
  const auto started = [&] {
    return tree.out().find("*** You Can Press Ctrl+C To Exit! ***\r\n") != std::string::npos;
  };
  while (!started()) {
    const int had = thread_count(pid);
    if (!wait_until([&] { return started() || thread_count(pid) > had; })) return false;
  }
  return true;
}

TEST(Daemon, BigboxSizeComesFromSystemGroup) {
  struct Case {
    const char* system;
    int slaves;
  };
  const Case cases[] = {
      {"", 20},
      {"max_network_threads= 8\nmax_network_connections=\n", 8},  // blank skipped; empty limit allowed
      {"max_network_threads=5000\nmax_network_connections=99999999999\n", 1000},  // clamped by the bigbox
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.system);
    DaemonTree tree;
    tree.config(modules_config({}, c.system));
    auto daemon = tree.run("quorind");
    ASSERT_TRUE(started_while_threads_grow(tree, daemon->pid()));
    const int threads = thread_count(daemon->pid());
    EXPECT_GE(threads, c.slaves + 2);
    EXPECT_LE(threads, c.slaves + 8);
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait(static_cast<int>(5 * vor::test::kPatience.count())).code, 0);  // a thousand threads end
  }
}

TEST(Daemon, UnrecognisedArgumentRunsInTheConsole) {
  DaemonTree tree;
  tree.config(modules_config({}));
  auto daemon = tree.run("quorind", {"-whatever"});
  ASSERT_TRUE(wait_until([&] { return tree.out().find("*** You Can Press") != std::string::npos; }));
  daemon->signal(SIGINT);
  EXPECT_EQ(daemon->wait().code, 0);
}

TEST(Daemon, InstallSwitchIgnoresCaseAndEndsAtOnceWithStdinClosed) {
  DaemonTree tree("my dir");
  tree.config(modules_config({}));
  const std::string svc = tree.temp("svc");
  auto daemon = tree.run("quorind", {"-INSTALL"}, {"VOR_SERVICE_BACKEND=simple", "VOR_SERVICE_DIR=" + svc});
  const Outcome end = daemon->wait();
  EXPECT_EQ(end.code, 0);
  EXPECT_EQ(tree.out(), "Service installed successfully\nPress ENTER key to exit!");
  EXPECT_EQ(read_file(svc + "/Quorind.service"),
            "Quorin Zazudaza Bigbox Server\n" + tree.bin("quorind") + "\n-service\n");
  EXPECT_FALSE(fs::exists(tree.logs("quorind.pid")));
  EXPECT_TRUE(flock_free(tree));
  auto again = tree.run("quorind", {"-install"}, {"VOR_SERVICE_BACKEND=simple", "VOR_SERVICE_DIR=" + svc});
  EXPECT_EQ(again->wait().code, 1);
  EXPECT_THAT(tree.out(), HasSubstr("CreateService failed (17)\n"));
}

TEST(Daemon, ServiceModeWithoutServiceManagerRunsTheStopPath) {
  DaemonTree tree;
  tree.config(modules_config({{kFixture, "mod_a"}}));
  auto daemon = tree.run("quorind", {"-service"}, {"NOTIFY_SOCKET="});
  const Outcome end = daemon->wait();
  EXPECT_EQ(end.code, 0);
  EXPECT_THAT(tree.out(), HasSubstr("[Quorin] stop service!\r\n"));
  EXPECT_FALSE(fs::exists(tree.logs("quorind.pid")));
}

}  // namespace
