// The check of the fuzz targets: a broken property ends the run at once, so the fuzzer keeps the
// input that broke it (a gtest assertion would not stop libFuzzer).
#pragma once
#include <cstdlib>

namespace vor::test {

inline void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace vor::test
