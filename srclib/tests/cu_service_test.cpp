#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>

#include "cu_service.h"
#include "cu_service_internal.h"
#include "vor_tempdir.h"
#include "vor_wait.h"

namespace {

using namespace cu_service_internal;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using vor::test::read_file;
using vor::test::TempDir;
using vor::test::write_file;

// A scripted service manager: each query answers the next scripted status (the last one
// repeats); calls are recorded.
class FakeBackend : public Backend {
 public:
  int connect() override { return connect_error; }
  int open(const std::string&) override { return open_error; }
  int create(const ServiceDefinition& def) override {
    created.push_back(def);
    return create_error;
  }
  int remove(const std::string& name) override {
    calls.push_back("remove " + name);
    return 0;
  }
  int start(const std::string& name) override {
    calls.push_back("start " + name);
    if (!after_control.empty()) statuses = after_control;
    return start_error;
  }
  int stop(const std::string& name) override {
    calls.push_back("stop " + name);
    if (!after_control.empty()) statuses = after_control;
    return 0;
  }
  int query(const std::string&, Status& out) override {
    out = statuses.front();
    if (statuses.size() > 1) statuses.pop_front();
    return query_error;
  }

  int connect_error = 0, open_error = 0, create_error = 0, start_error = 0, query_error = 0;
  std::deque<Status> statuses{Status{}};
  std::deque<Status> after_control;
  std::vector<ServiceDefinition> created;
  std::vector<std::string> calls;
};

// A fake clock that only moves when the layer sleeps.
struct Harness {
  FakeBackend backend;
  int64_t now = 1000000;
  std::vector<uint32_t> sleeps;
  std::string printed;
  Env env;

  Harness() {
    env.backend = &backend;
    env.now_ms = [this] { return now; };
    env.sleep_ms = [this](uint32_t ms) {
      sleeps.push_back(ms);
      now += ms;
    };
    env.print = [this](const std::string& line) { printed += line; };
  }
};

Status status(int32_t state, uint32_t wait_hint = 0, uint32_t checkpoint = 0, int32_t exit_code = 0) {
  Status s;
  s.state = state;
  s.wait_hint = wait_hint;
  s.checkpoint = checkpoint;
  s.exit_code = exit_code;
  return s;
}

TEST(ServiceStart, RunningServicePrintsOnlyAlreadyRunning) {
  Harness h;
  h.backend.statuses = {status(kRunning)};
  EXPECT_FALSE(start(h.env, "Quorind"));
  EXPECT_EQ(h.printed, "Cannot start the service because it is already running\n");
  EXPECT_TRUE(h.backend.calls.empty());
}

TEST(ServiceStart, StartsAndWaitsUntilRunning) {
  Harness h;
  h.backend.after_control = {status(kStartPending, 3000, 1), status(kStartPending, 3000, 2), status(kRunning)};
  EXPECT_TRUE(start(h.env, "Quorind"));
  EXPECT_EQ(h.printed, "Service start pending...\nService started successfully.\n");
  EXPECT_THAT(h.sleeps, ElementsAre(1000, 1000));
}

TEST(ServiceStart, WaitHintZeroPollsEverySecondAndGivesUpAfterOneWaitWithoutProgress) {
  Harness h;
  h.backend.after_control = {status(kStartPending, 0, 7, 0)};
  EXPECT_FALSE(start(h.env, "Quorind"));
  EXPECT_THAT(h.sleeps, ElementsAre(1000));
  EXPECT_EQ(h.printed,
            "Service start pending...\n"
            "Service not started. \n"
            "  Current State: 2\n"
            "  Exit Code: 0\n"
            "  Check Point: 7\n"
            "  Wait Hint: 0\n");
}

TEST(ServiceStart, WaitHintOf50000PollsEvery5000UntilTheHintPassesWithoutProgress) {
  Harness h;
  h.backend.after_control = {status(kStartPending, 50000, 3)};
  EXPECT_FALSE(start(h.env, "Quorind"));
  EXPECT_EQ(h.sleeps, std::vector<uint32_t>(11, 5000));
  EXPECT_THAT(h.printed, HasSubstr("  Wait Hint: 50000\n"));
}

TEST(ServiceStart, ProgressingCheckpointKeepsWaiting) {
  Harness h;
  std::deque<Status> script;
  for (uint32_t cp = 1; cp <= 20; ++cp) script.push_back(status(kStartPending, 1000, cp));
  script.push_back(status(kRunning));
  h.backend.after_control = script;
  EXPECT_TRUE(start(h.env, "Quorind"));
  EXPECT_EQ(h.sleeps.size(), 20u);
}

TEST(ServiceStart, WaitsForAPendingStopFirstAndTimesOut) {
  Harness h;
  h.backend.statuses = {status(kStopPending, 2000, 1)};
  EXPECT_FALSE(start(h.env, "Quorind"));
  EXPECT_EQ(h.printed, "Timeout waiting for service to stop\n");
  EXPECT_TRUE(h.backend.calls.empty());
}

TEST(ServiceStart, FailuresPrintTheirLineWithTheCode) {
  struct Case {
    int FakeBackend::*field;
    const char* line;
  };
  const Case cases[] = {
      {&FakeBackend::connect_error, "OpenSCManager failed (13)\n"},
      {&FakeBackend::open_error, "OpenService failed (13)\n"},
      {&FakeBackend::query_error, "QueryServiceStatusEx failed (13)\n"},
      {&FakeBackend::start_error, "Service start pending...\n"},  // replaced below
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Harness h;
    h.backend.*c.field = 13;
    EXPECT_FALSE(start(h.env, "Quorind"));
    if (c.field == &FakeBackend::start_error) {
      EXPECT_EQ(h.printed, "StartService failed (13)\n");
    } else {
      EXPECT_EQ(h.printed, c.line);
    }
  }
}

TEST(ServiceStop, StoppedServicePrintsAlreadyStopped) {
  Harness h;
  EXPECT_TRUE(stop(h.env, "Quorind"));
  EXPECT_EQ(h.printed, "Service is already stopped.\n");
}

TEST(ServiceStop, RunningServiceIsStopped) {
  Harness h;
  h.backend.statuses = {status(kRunning)};
  h.backend.after_control = {status(kStopPending, 5000), status(kStopped)};
  EXPECT_TRUE(stop(h.env, "Quorind"));
  EXPECT_EQ(h.printed, "Service stopped successfully\n");
  EXPECT_THAT(h.backend.calls, ElementsAre("stop Quorind"));
}

TEST(ServiceStop, StayingStopPendingGivesUpAfter30Seconds) {
  Harness h;
  h.backend.statuses = {status(kStopPending, 0)};
  EXPECT_FALSE(stop(h.env, "Quorind"));
  std::string expected;
  for (int i = 0; i < 31; ++i) expected += "Service stop pending...\n";
  EXPECT_EQ(h.printed, expected + "Service stop timed out.\n");
  EXPECT_EQ(h.sleeps, std::vector<uint32_t>(31, 1000));  // a hint of 0 waits 1 s, never busy
}

TEST(ServiceStop, PendingStopThatEndsPrintsWithFullStop) {
  Harness h;
  h.backend.statuses = {status(kStopPending, 50000), status(kStopped)};
  EXPECT_TRUE(stop(h.env, "Quorind"));
  EXPECT_EQ(h.printed, "Service stop pending...\nService stopped successfully.\n");
  EXPECT_THAT(h.sleeps, ElementsAre(10000));
}

TEST(ServiceStop, ServiceThatNeverStopsTimesOutAfter30Seconds) {
  Harness h;
  h.backend.statuses = {status(kRunning, 0)};
  EXPECT_FALSE(stop(h.env, "Quorind"));
  EXPECT_EQ(h.printed, "Wait timed out\n");
  EXPECT_EQ(h.sleeps, std::vector<uint32_t>(31, 1000));
}

TEST(ServiceInstall, PrintsItsLines) {
  Harness h;
  ServiceDefinition def{"Quorind", "Display", "", {"/opt/q/quorind", "-service"}};
  EXPECT_TRUE(install(h.env, def));
  EXPECT_EQ(h.printed, "Service installed successfully\n");
  ASSERT_EQ(h.backend.created.size(), 1u);
  EXPECT_EQ(h.backend.created[0].argv, def.argv);
  Harness failed;
  failed.backend.create_error = 17;
  EXPECT_FALSE(install(failed.env, def));
  EXPECT_EQ(failed.printed, "CreateService failed (17)\n");
}

TEST(ServiceDelete, PrintsItsLines) {
  Harness h;
  EXPECT_TRUE(remove(h.env, "Quorind"));
  EXPECT_EQ(h.printed, "Service deleted successfully\n");
  Harness missing;
  missing.backend.open_error = 2;
  EXPECT_FALSE(remove(missing.env, "Quorind"));
  EXPECT_EQ(missing.printed, "OpenService failed (2)\n");
}

TEST(ServiceName, OnlyPortableCharactersAreAccepted) {
  EXPECT_TRUE(valid_service_name("Quorind"));
  EXPECT_TRUE(valid_service_name("a-b_c.d@e:f"));
  for (const char* bad : {"", "a b", "a/b", "../x", "a\nb", "a;b"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(valid_service_name(bad));
  }
  EXPECT_FALSE(valid_service_name(nullptr));
  EXPECT_FALSE(cu_service_start("../../etc/passwd"));
}

TEST(CommandLine, SplitsOnBlanksKeepsQuotedBlanks) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"/a/quorind -service", {"/a/quorind", "-service"}},
      {"\"/my dir/quorind\" -service", {"/my dir/quorind", "-service"}},
      {"  \"/a \\\"q\\\" \\\\b\"   x  ", {"/a \"q\" \\b", "x"}},
      {"a\\b", {"a\\b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto args = split_command_line(c.line);
    ASSERT_TRUE(args.has_value());
    EXPECT_EQ(*args, c.args);
  }
  EXPECT_FALSE(split_command_line("\"unterminated").has_value());
  EXPECT_FALSE(split_command_line("   ").has_value());
  EXPECT_FALSE(split_command_line(nullptr).has_value());
}

std::string golden(const std::string& name) {
  return read_file(std::string(getenv("VOR_SOURCE_DIR")) + "/srclib/tests/golden/" + name);
}

// systemd-analyze checks a unit against the real parser where the tool exists.
void verify_with_systemd_analyze(const std::string& unit_path) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) return;
  const std::string cmd = "/usr/bin/systemd-analyze verify --man=no '" + unit_path + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  const int status = pclose(p);
  EXPECT_EQ(status, 0) << out;
}

TEST(SystemdUnit, GoldenFilesWithBlanksPercentAndDollar) {
  TempDir dir;
  const std::string program_dir = dir.file("my dir 50% $x");
  mkdir(program_dir.c_str(), 0755);
  const std::string program = program_dir + "/quorind";
  write_file(program, "#!/bin/sh\n");
  chmod(program.c_str(), 0755);
  struct Case {
    ServiceDefinition def;
    const char* golden_name;
  };
  const Case cases[] = {
      {{"Quorind", "Quorin Zazudaza Bigbox Server", "", {"/opt/quorin/bin/quorind", "-service"}}, "plain.service"},
      {{"Quorind", "100% \"cache\" $HOME", "", {"/opt/my dir/50%/$x/quorind", "-service", "$HOME"}}, "escaped.service"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.golden_name);
    auto text = systemd_unit_text(c.def);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, golden(c.golden_name));
  }
  // The real parser reads the escapes back as the path with its blank, "%" and "$".
  ServiceDefinition def{"Quorind", "100% sure", "", {program, "-service", "$HOME 100%"}};
  const std::string unit_path = dir.file("Quorind.service");
  write_file(unit_path, *systemd_unit_text(def));
  verify_with_systemd_analyze(unit_path);
  EXPECT_FALSE(systemd_unit_text({"Quorind", "two\nlines", "", {"/x"}}).has_value());
  EXPECT_FALSE(systemd_unit_text({"Quorind", "x", "", {"/x\n[Service]"}}).has_value());
}

// A fake systemctl that logs its arguments and answers "show" from a file.
struct FakeSystemctl {
  TempDir dir;
  std::string units = dir.file("units");
  std::string script = dir.file("systemctl");
  std::string calls = dir.file("calls");
  std::string show = dir.file("show");

  FakeSystemctl() {
    mkdir(units.c_str(), 0755);
    write_file(script, "#!/bin/sh\necho \"$*\" >> '" + calls + "'\n[ \"$1\" = show ] && cat '" + show + "'\nexit 0\n");
    chmod(script.c_str(), 0755);
  }
};

TEST(SystemdBackend, InstallWritesTheUnitReloadsAndEnablesThenDeleteUndoesIt) {
  FakeSystemctl fake;
  auto backend = make_systemd_backend(fake.units, fake.script);
  ServiceDefinition def{"Quorind", "Quorin Zazudaza Bigbox Server", "", {"/opt/quorin/bin/quorind", "-service"}};
  EXPECT_EQ(backend->connect(), 0);
  EXPECT_EQ(backend->open("Quorind"), ENOENT);
  EXPECT_EQ(backend->create(def), 0);
  EXPECT_EQ(read_file(fake.units + "/Quorind.service"), golden("plain.service"));
  EXPECT_EQ(backend->create(def), EEXIST);
  EXPECT_EQ(backend->start("Quorind"), 0);
  EXPECT_EQ(backend->stop("Quorind"), 0);
  EXPECT_EQ(backend->remove("Quorind"), 0);
  EXPECT_FALSE(vor::test::exists(fake.units + "/Quorind.service"));
  EXPECT_EQ(read_file(fake.calls),
            "daemon-reload\nenable Quorind.service\nstart --no-block Quorind.service\n"
            "stop --no-block Quorind.service\ndisable Quorind.service\ndaemon-reload\n");
}

TEST(SystemdBackend, QueryMapsActiveStates) {
  FakeSystemctl fake;
  auto backend = make_systemd_backend(fake.units, fake.script);
  struct Case {
    const char* active;
    int32_t state;
  };
  const Case cases[] = {{"active", kRunning},          {"activating", kStartPending}, {"deactivating", kStopPending},
                        {"inactive", kStopped},        {"failed", kStopped}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.active);
    write_file(fake.show, std::string("ActiveState=") + c.active + "\nMainPID=42\nExecMainStatus=3\n");
    Status s;
    ASSERT_EQ(backend->query("Quorind", s), 0);
    EXPECT_EQ(s.state, c.state);
    EXPECT_EQ(s.pid, 42);
    EXPECT_EQ(s.exit_code, 3);
  }
}

TEST(SystemdBackend, MissingSystemctlIsAnError) {
  TempDir dir;
  auto backend = make_systemd_backend(dir.path(), dir.file("no-such-systemctl"));
  Status s;
  EXPECT_EQ(backend->query("Quorind", s), ENOENT);
}

TEST(SimpleBackend, StartsStopsAndTellsAReusedPidFromTheService) {
  TempDir dir;
  auto backend = make_simple_backend(dir.path());
  ASSERT_EQ(backend->connect(), 0);
  ASSERT_EQ(backend->create({"sleeper", "Sleeper", "", {"/bin/sleep", "30"}}), 0);
  Status s;
  ASSERT_EQ(backend->query("sleeper", s), 0);
  EXPECT_EQ(s.state, kStopped);
  ASSERT_EQ(backend->start("sleeper"), 0);
  ASSERT_EQ(backend->query("sleeper", s), 0);
  EXPECT_EQ(s.state, kStartPending);  // sleep never reports READY=1
  const int32_t pid = s.pid;
  ASSERT_GT(pid, 0);
  ASSERT_EQ(backend->stop("sleeper"), 0);
  EXPECT_TRUE(vor::test::wait_until([&] { return backend->query("sleeper", s) == 0 && s.state == kStopped; }));
  EXPECT_EQ(s.exit_code, 128 + SIGTERM);
  // A record naming a live process that does not run the service's command line.
  write_file(dir.file("sleeper.state"), "pid=" + std::to_string(getpid()) + "\nready=1\nstopping=0\nexit=0\n");
  ASSERT_EQ(backend->query("sleeper", s), 0);
  EXPECT_EQ(s.state, kStopped);
  EXPECT_EQ(backend->remove("sleeper"), 0);
  EXPECT_EQ(backend->open("sleeper"), ENOENT);
}

TEST(SimpleBackend, ProgramThatCannotRunFailsTheStart) {
  TempDir dir;
  auto backend = make_simple_backend(dir.path());
  ASSERT_EQ(backend->create({"broken", "Broken", "", {"/no/such/program"}}), 0);
  EXPECT_EQ(backend->start("broken"), ENOENT);
}

}  // namespace
