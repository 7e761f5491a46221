// Session ids: 128 bits from the kernel's random source, as 32 hex digits.
#pragma once

#include <string>

namespace web {

// Throws std::runtime_error when the kernel gives no random bytes.
std::string newSessionId();
bool looksLikeSessionId(const std::string& text);

}  // namespace web
