#include "web/protocol.h"

#include <limits>
#include <nlohmann/json.hpp>

namespace web {

using json = nlohmann::json;

namespace {

std::string text(const json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end()) return {};
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer()) return std::to_string(it->get<long long>());
  if (it->is_boolean()) return it->get<bool>() ? "1" : "0";
  return {};
}

// A whole number that fits; nothing for one that does not (converting an
// out-of-range double, such as 1e300, is undefined behaviour). A missing or
// non-numeric field is 0.
std::optional<std::int64_t> number(const json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return 0;
  if (it->is_number_unsigned()) {
    const std::uint64_t value = it->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(value);
  }
  if (it->is_number_integer()) return it->get<std::int64_t>();
  const double value = it->get<double>();
  // 2^63 is exact as a double; every finite value below it converts.
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

}  // namespace

std::optional<Event> decodeEvent(std::string_view message) {
  const json j = json::parse(message.begin(), message.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  Event e;
  e.type = text(j, "e");
  if (e.type.empty()) return std::nullopt;
  e.target = text(j, "id");
  if (j.contains("v")) e.value = text(j, "v");
  e.arg = text(j, "a");
  e.source = text(j, "s");
  e.key = text(j, "k");
  const std::optional<std::int64_t> loaded = number(j, "l"), total = number(j, "t"), action = number(j, "n");
  if (!loaded || !total || !action) return std::nullopt;
  e.loaded = *loaded;
  e.total = *total;
  e.action = *action > 0 ? static_cast<std::uint64_t>(*action) : 0;
  return e;
}

std::string encodeEvent(const Event& event) {
  json j{{"e", event.type}, {"id", event.target}};
  if (event.value) j["v"] = *event.value;
  if (!event.arg.empty()) j["a"] = event.arg;
  if (!event.source.empty()) j["s"] = event.source;
  if (!event.key.empty()) j["k"] = event.key;
  if (event.loaded) j["l"] = event.loaded;
  if (event.total) j["t"] = event.total;
  if (event.action) j["n"] = event.action;
  return j.dump();
}

std::string encodeUpdate(const Update& update) {
  json j = json::object();
  json widgets = json::array();
  for (const auto& [id, html] : update.widgets) widgets.push_back(json::array({id, html}));
  j["u"] = std::move(widgets);
  if (!update.commands.empty()) {
    json commands = json::array();
    for (const auto& c : update.commands) commands.push_back(json::parse(c));
    j["c"] = std::move(commands);
  }
  if (update.page) j["p"] = 1;
  // Invalid UTF-8 in a text must not make the whole update fail.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string encodeReceipt(std::uint64_t action) { return json{{"r", action}}.dump(); }

std::optional<Update> decodeUpdate(std::string_view message) {
  const json j = json::parse(message.begin(), message.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  Update u;
  for (const auto& w : j.value("u", json::array()))
    u.widgets.emplace_back(w.at(0).get<std::string>(), w.at(1).get<std::string>());
  for (const auto& c : j.value("c", json::array())) u.commands.push_back(c.dump());
  u.page = j.contains("p");
  return u;
}

std::string command(std::initializer_list<std::string_view> parts) {
  json j = json::array();
  for (const auto p : parts) j.push_back(std::string(p));
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace web
