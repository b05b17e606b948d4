// libFuzzer entry: hand-off file bytes in, the properties of the URL chosen checked.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "handoff_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure =
      lumivane::fuzz::checkHandOffFile({reinterpret_cast<const char*>(data), size});
  if (!failure.empty()) {
    std::fprintf(stderr, "hand-off property broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
