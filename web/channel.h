// The way down to one browser page: its WebSocket, or a test's recorder.
#pragma once

#include <string>

namespace web {

class Channel {
 public:
  virtual ~Channel() = default;
  // Queues one message; never blocks.
  virtual void send(std::string message) = 0;
  virtual void close() = 0;
};

}  // namespace web
