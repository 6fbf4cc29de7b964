#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "daemon_tree.h"

namespace {

using namespace quorin::test;
using ::testing::HasSubstr;

// Ended: no such process, or a zombie left to an init that does not reap.
bool gone(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return stat.empty() || (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z');
}

const char kConfig[] = "[modules]\nmodule-0=libdaemon_fixture.so\nexport-0=mod_a\n";

TEST(ServiceTool, WithoutArgumentOrWithAnUnknownOneEndsSilentlyWithZero) {
  DaemonTree tree;
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"-bogus"}}) {
    auto tool = tree.run("quorinctl", args);
    EXPECT_EQ(tool->wait().code, 0);
    EXPECT_EQ(tree.out(), "");
    EXPECT_EQ(tree.err(), "");
  }
}

TEST(ServiceTool, FailedOperationEndsNonZero) {
  DaemonTree tree;
  const std::vector<std::string> env = {"VOR_SERVICE_BACKEND=simple", "VOR_SERVICE_DIR=" + tree.temp("svc")};
  auto tool = tree.run("quorinctl", {"-start"}, env);
  EXPECT_EQ(tool->wait().code, 1);
  EXPECT_EQ(tree.out(), "OpenService failed (2)\nPress ENTER key to exit!");
}

// The whole life of the service on the simple backend, in a folder with a blank in its path.
TEST(ServiceTool, InstallStartStopUninstallTheDaemonAsAService) {
  DaemonTree tree("quorin home");
  tree.config(kConfig);
  const std::string svc = tree.temp("svc");
  const std::vector<std::string> env = {"VOR_SERVICE_BACKEND=simple", "VOR_SERVICE_DIR=" + svc};
  auto step = [&](const char* arg, const std::string& expected, int code = 0) {
    SCOPED_TRACE(arg);
    auto tool = tree.run("quorinctl", {arg}, env);
    const Outcome end = tool->wait();
    EXPECT_TRUE(end.ended);
    EXPECT_EQ(end.code, code);
    EXPECT_EQ(tree.out(), expected + "Press ENTER key to exit!");
  };
  step("-install", "Service installed successfully\n");
  step("-start", "Service start pending...\nService started successfully.\n");
  ASSERT_TRUE(wait_until([&] { return fs::exists(tree.logs("quorind.pid")); }));
  const pid_t pid = atoi(read_file(tree.logs("quorind.pid")).c_str());
  EXPECT_EQ(tree.fixture_log(), "init mod_a\n");
  step("-start", "Cannot start the service because it is already running\n", 1);
  step("-stop", "Service stopped successfully\n");
  EXPECT_EQ(tree.fixture_log(), "init mod_a\nexit mod_a\n");
  EXPECT_FALSE(fs::exists(tree.logs("quorind.pid")));
  EXPECT_TRUE(gone(pid));
  step("-uninstall", "Service is already stopped.\nService deleted successfully\n");
  EXPECT_FALSE(fs::exists(svc + "/Quorind.service"));
}

// Under a service manager the daemon reports READY after its init walk and takes SIGTERM as
// the service stop.
TEST(ServiceMode, ReportsReadyAndStopsOnSigtermThroughTheServicePath) {
  DaemonTree tree;
  tree.config(kConfig);
  const std::string path = tree.temp("notify");
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto receive = [&] {
    char buf[256] = {};
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  };
  auto daemon = tree.run("quorind", {"Services"}, {"NOTIFY_SOCKET=" + path});
  EXPECT_EQ(receive(), "READY=1");
  EXPECT_EQ(tree.fixture_log(), "init mod_a\n");
  daemon->signal(SIGTERM);
  EXPECT_EQ(receive(), "STOPPING=1");
  EXPECT_EQ(daemon->wait().code, 0);
  EXPECT_THAT(tree.out(), HasSubstr("[Quorin] stop service!\r\n"));
  EXPECT_THAT(tree.out(), ::testing::Not(HasSubstr("signal terminal")));
  EXPECT_EQ(tree.fixture_log(), "init mod_a\nexit mod_a\n");
  close(fd);
}

}  // namespace
