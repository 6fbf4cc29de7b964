// A headless browser opens the console from the admin server: the page's script runs, its
// stylesheet applies and a 1 MiB image arrives whole; an unknown page shows the 404 document.
// Skipped when no chromium is installed.
#include <gtest/gtest.h>

#include <string>

#include "admin_tree.h"

namespace {

using panelhttp_test::AdminTree;
using vor::test::read_file;
using vor::test::run_shell;
using vor::test::write_file;

bool have_chromium() { return run_shell("command -v chromium >/dev/null 2>&1") == 0; }

std::string dump_dom(AdminTree& admin, const std::string& path) {
  const std::string out = admin.tree().temp("dom.html");
  const std::string profile = admin.tree().temp("profile");
  run_shell("timeout 90 chromium --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir='" + profile +
            "' --virtual-time-budget=10000 --dump-dom '" + admin.url(path) + "' > '" + out + "' 2>/dev/null");
  return read_file(out);
}

class Browser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_chromium()) GTEST_SKIP() << "chromium is not installed";
    write_file(admin_.www("index.html"),
               "<!DOCTYPE html><html><head><link rel=\"stylesheet\" href=\"/style.css\">"
               "<script src=\"/app.js\"></script></head><body><p id=\"probe\">probe</p>"
               "<img id=\"img\" src=\"/big.png\"></body></html>\n");
    write_file(admin_.www("style.css"), "#probe { color: rgb(1, 2, 3); }\n");
    write_file(admin_.www("app.js"),
               "window.addEventListener('load', function () {\n"
               "  var img = document.getElementById('img');\n"
               "  var color = getComputedStyle(document.getElementById('probe')).color;\n"
               "  document.body.setAttribute('data-result', 'ran color=' + color + ' image=' +\n"
               "      img.naturalWidth + 'x' + img.naturalHeight);\n"
               "});\n");
    // A 600 x 600 PNG of random pixels stored without compression: about 1 MiB, and a
    // truncated copy does not decode.
    ASSERT_EQ(run_shell("python3 -c \"import os,struct,zlib\n"
                        "w=h=600\n"
                        "raw=b''.join(b'\\\\x00'+os.urandom(w*3) for _ in range(h))\n"
                        "def chunk(t,d): return struct.pack('>I',len(d))+t+d+struct.pack('>I',zlib.crc32(t+d))\n"
                        "png=b'\\\\x89PNG\\\\r\\\\n\\\\x1a\\\\n'+chunk(b'IHDR',struct.pack('>IIBBBBB',w,h,8,2,0,0,0))"
                        "+chunk(b'IDAT',zlib.compress(raw,0))+chunk(b'IEND',b'')\n"
                        "open('" + admin_.www("big.png") + "','wb').write(png)\""),
              0);
    daemon_ = admin_.start();
  }
  void TearDown() override {
    if (!daemon_) return;
    daemon_->signal(SIGINT);
    EXPECT_EQ(daemon_->wait().code, 0);
  }

  AdminTree admin_;
  std::unique_ptr<quorin::test::Process> daemon_;
};

TEST_F(Browser, ConsolePageRunsItsScriptAppliesItsStyleAndLoadsItsImage) {
  EXPECT_GE(std::filesystem::file_size(admin_.www("big.png")), 1u << 20);
  const std::string dom = dump_dom(admin_, "/");
  EXPECT_NE(dom.find("data-result=\"ran color=rgb(1, 2, 3) image=600x600\""), std::string::npos) << dom;
}

TEST_F(Browser, UnknownPageShowsTheNotFoundDocument) {
  const std::string dom = dump_dom(admin_, "/no-such-page.html");
  EXPECT_NE(dom.find("404 Not Found"), std::string::npos) << dom;
}

}  // namespace
