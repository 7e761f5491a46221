// FreeIPMI's sensor interpretation rules (nominal, warning, critical),
// loaded from the library's configuration file once per process: the
// library reads that 60 KB file one byte per system call, which costs more
// than a whole sensor pass. Thread-safe: the one library context is used by
// one thread at a time.
#pragma once

#include <freeipmi/freeipmi.h>

#include <cstdint>
#include <mutex>
#include <string>

class SensorInterpreter {
 public:
  // The process's interpreter; the first call loads the rules. A failure
  // names host (the controller being read) and the library call, and the
  // next call tries again.
  static SensorInterpreter& shared(const std::string& host);
  // How often the rules were loaded in this process.
  static int loadCount();

  // The interpreted state of a threshold sensor's event bitmask
  // (IPMI_INTERPRET_STATE_*).
  unsigned int state(uint8_t event_reading_type_code, uint8_t sensor_type, uint16_t event_bitmask,
                     const std::string& host);

  ~SensorInterpreter();
  SensorInterpreter(const SensorInterpreter&) = delete;
  SensorInterpreter& operator=(const SensorInterpreter&) = delete;

 private:
  explicit SensorInterpreter(const std::string& host);

  std::mutex mutex_;
  ipmi_interpret_ctx_t ctx_ = nullptr;  // guarded by mutex_
};
