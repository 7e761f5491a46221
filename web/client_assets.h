// The toolkit's own browser files, compiled into the program: the client
// script, the base style sheet and idiomorph. Served under /_w/.
#pragma once

#include <cstddef>
#include <string_view>

namespace web {

struct ClientAsset {
  std::string_view name;  // "client.js"
  std::string_view mimeType;
  std::string_view content;
};

// The asset with that name, or null.
const ClientAsset* findClientAsset(std::string_view name);

}  // namespace web
