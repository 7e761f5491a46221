// libFuzzer target: the decoder of a page's events, which reads whatever a
// browser (or anyone reaching the socket) sends. An event it accepts must
// survive encoding and decoding again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "web/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto event = web::decodeEvent(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!event) return 0;
  const auto again = web::decodeEvent(web::encodeEvent(*event));
  if (!again || again->type != event->type || again->target != event->target || again->value != event->value)
    std::abort();
  return 0;
}
