#include "modules/sensor_interpreter.h"

#include <atomic>

#include "modules/error.h"

namespace {
std::atomic<int> loads{0};
}  // namespace

SensorInterpreter::SensorInterpreter(const std::string& host) {
  if (!(ctx_ = ipmi_interpret_ctx_create())) throw TRL_ERROR(host + ": ipmi_interpret_ctx_create failed");
  try {
    ++loads;
    if (ipmi_interpret_load_sensor_config(ctx_, nullptr) < 0)
      throw TRL_ERROR(host + ": ipmi_interpret_load_sensor_config failed");
    if (ipmi_interpret_ctx_set_flags(ctx_, IPMI_INTERPRET_FLAGS_INTERPRET_OEM_DATA |
                                               IPMI_INTERPRET_FLAGS_IGNORE_UNRECOGNIZED_EVENTS) < 0)
      throw TRL_ERROR(host + ": ipmi_interpret_ctx_set_flags failed");
  } catch (...) {
    ipmi_interpret_ctx_destroy(ctx_);
    throw;
  }
}

SensorInterpreter::~SensorInterpreter() { ipmi_interpret_ctx_destroy(ctx_); }

// Never destroyed: a sensor pass may still be under way on the worker pool
// while exit() runs the destructors of static objects, and a destroyed
// interpreter (its mutex freed) would leave that pass, and the shutdown
// waiting for it, stuck.
SensorInterpreter& SensorInterpreter::shared(const std::string& host) {
  static std::mutex creating;
  static SensorInterpreter* instance = nullptr;  // guarded by creating
  const std::lock_guard<std::mutex> guard(creating);
  if (!instance) instance = new SensorInterpreter(host);
  return *instance;
}

int SensorInterpreter::loadCount() { return loads; }

unsigned int SensorInterpreter::state(uint8_t event_reading_type_code, uint8_t sensor_type, uint16_t event_bitmask,
                                      const std::string& host) {
  const std::lock_guard<std::mutex> guard(mutex_);
  unsigned int state;
  if (ipmi_interpret_sensor(ctx_, event_reading_type_code, sensor_type, event_bitmask, &state) < 0)
    throw TRL_ERROR(host + ": ipmi_interpret_sensor failed");
  return state;
}
