// One event sent up by the browser, as the session hands it to a widget.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace web {

struct Event {
  std::string type;    // click dblclick over out focus blur keydown change progress drop
  std::string target;  // id of the widget that asked for the event
  std::optional<std::string> value;  // a form element's value, checked state or selected index
  std::string arg;     // data-arg of the element inside the widget (a table cell: "row,col")
  std::string source;  // drop: data-arg of the dragged element
  std::string key;     // keydown: the key's name ("Enter", "Escape", "a")
  std::int64_t loaded = 0;  // progress: bytes sent so far
  std::int64_t total = 0;   // progress: bytes in all
  // The page's number for a person's action (click, change, Enter, drop);
  // its receipt goes back at once, so the page knows what may have been
  // lost when its socket drops. 0 for other events.
  std::uint64_t action = 0;
};

// What a view's click and double-click signals carry besides the index.
struct MouseEvent {
  std::string arg;
};

}  // namespace web
