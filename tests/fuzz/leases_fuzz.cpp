// libFuzzer target: the leases file parser on any text. It must stay linear,
// never read out of bounds, and give only usable leases.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "modules/leases.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const LeasesReader::Lease& lease : LeasesReader::parse(text))
    if (lease.ip == 0 || lease.mac == 0 || lease.mac >> 48 != 0) std::abort();
  return 0;
}
