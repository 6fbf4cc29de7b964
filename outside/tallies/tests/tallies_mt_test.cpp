// Eight counting threads with reports, registrations and restarts going on beside them.
#include "tallies.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string site_text() {
  std::vector<char> buf(16384);
  char rate[TALLIES_RATE_SIZE];
  int64_t start, end;
  tallies__StatRealTimeReport(buf.data(), 16383, &start, &end, rate);
  return buf.data();
}

std::string url_text(const char* url) {
  std::vector<char> buf(16384);
  char rate[TALLIES_RATE_SIZE];
  int64_t start, end;
  tallies__UrlRealTimeReport(url, buf.data(), 16383, &start, &end, rate);
  return buf.data();
}

TEST(TalliesThreads, TotalsAddUpAcrossThreadsAndRestarts) {
  const char* kept = "mt.com/kept/*";
  ASSERT_TRUE(tallies__AddUrl(kept));
  // Phase one: restarts, reports and registrations race with counting.
  {
    std::atomic<bool> run{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([t] {
        std::mt19937 rng(static_cast<unsigned>(t));
        for (int i = 0; i < 3000; ++i) {
          const std::string churn = "mt.com/churn/" + std::to_string(rng() % 5);
          switch (rng() % 5) {
            case 0: tallies__AddUrl(churn.c_str()); break;
            case 1: tallies__DelUrl(churn.c_str()); break;
            case 2: tallies__SynUrl(churn.c_str(), "loc", rng() % 2); break;
            default: tallies__SynStat("10.1.1.1", "loc", rng() % 2); break;
          }
        }
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < 200 && run.load(); ++i) {
        tallies__Restart();
        site_text();
        url_text(kept);
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 200 && run.load(); ++i) tallies__Restart();
    });
    for (size_t i = 0; i < 8; ++i) threads[i].join();
    run = false;
    threads[8].join();
    threads[9].join();
  }
  // Phase two: after a restart, eight threads count known totals while reports read; the
  // threads end before the check, so their counts must have been handed on.
  tallies__Restart();
  std::atomic<uint64_t> requests{0}, hits{0}, url_requests{0}, url_hits{0};
  std::atomic<bool> counting{true};
  std::thread reader([&] {
    for (int i = 0; i < 100000 && counting.load(); ++i) {
      site_text();
      url_text(kept);
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(1000u + static_cast<unsigned>(t));
      for (int i = 0; i < 5000; ++i) {
        const bool hit = rng() % 3 == 0;
        const std::string address = "10.0." + std::to_string(t) + "." + std::to_string(i % 50);
        ASSERT_TRUE(tallies__SynStat(address.c_str(), t % 2 ? "odd" : "even", hit));
        ++requests;
        hits += hit;
        if (rng() % 4 == 0) {
          ASSERT_TRUE(tallies__SynUrl(kept, "odd", hit));
          ++url_requests;
          url_hits += hit;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  counting = false;
  reader.join();
  const std::string site = site_text();
  EXPECT_EQ(site.rfind("Requests: " + std::to_string(requests.load()) + "\r\nHits: " + std::to_string(hits.load()) +
                           "\r\nAddresses: 400\r\n",
                       0),
            0u)
      << site;
  const std::string url = url_text(kept);
  EXPECT_EQ(url.rfind("Requests: " + std::to_string(url_requests.load()) + "\r\nHits: " +
                          std::to_string(url_hits.load()) + "\r\n",
                      0),
            0u)
      << url;
  ASSERT_TRUE(tallies__DelUrl(kept));
}

}  // namespace
