// The JSON spoken over a session's WebSocket.
//
// Up (browser to server), one event per message:
//   {"e":"click","id":"w12","v":"typed text","a":"3,1","s":"0,1","k":"Enter","l":100,"t":900,"n":5}
// "n" numbers a person's actions. Down (server to browser):
//   {"u":[["w12","<div id=\"w12\">...</div>"],...],"c":[["focus","w7"],...],"p":1}
//   {"r":5}
// "u" are re-rendered widgets, outermost first, merged by idiomorph; "c" are
// commands run after them; "p" marks a whole page (after a reconnect); "r"
// is the receipt of action 5, sent as soon as the server has it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/event.h"

namespace web {

std::optional<Event> decodeEvent(std::string_view json);
std::string encodeEvent(const Event& event);  // what the client sends; for tests

struct Update {
  std::vector<std::pair<std::string, std::string>> widgets;  // id, outer HTML
  std::vector<std::string> commands;                         // JSON arrays
  bool page = false;
};
std::string encodeUpdate(const Update& update);
std::string encodeReceipt(std::uint64_t action);
std::optional<Update> decodeUpdate(std::string_view json);  // for tests

// A command as a JSON array of strings: ["focus","w7"].
std::string command(std::initializer_list<std::string_view> parts);

}  // namespace web
