#include "modules/ipmi.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "modules/paths.h"
#include "modules/sensor_interpreter.h"

namespace {

// Closes the session on every way out of an operation.
class SessionGuard {
 public:
  explicit SessionGuard(std::function<void()> close) : close_(std::move(close)) {}
  ~SessionGuard() { close_(); }
  SessionGuard(const SessionGuard&) = delete;
  SessionGuard& operator=(const SessionGuard&) = delete;

 private:
  std::function<void()> close_;
};

struct FiidDeleter {
  void operator()(fiid_obj_t obj) const { fiid_obj_destroy(obj); }
};
typedef std::unique_ptr<std::remove_pointer<fiid_obj_t>::type, FiidDeleter> FiidObj;

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

ipmi_ctx_t createContext() {
  const ipmi_ctx_t ctx = ipmi_ctx_create();
  if (!ctx) throw TRL_ERROR("ipmi_ctx_create failed");
  return ctx;
}

const char* orNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

const char* stateWord(unsigned int state) {
  switch (state) {
    case IPMI_INTERPRET_STATE_NOMINAL: return "nominal";
    case IPMI_INTERPRET_STATE_WARNING: return "warning";
    case IPMI_INTERPRET_STATE_CRITICAL: return "critical";
    case IPMI_INTERPRET_STATE_UNKNOWN: return "unknown";
  }
  return nullptr;
}

// One of the sensors a compact record describes together (four DIMMs, say):
// the shared ID string and the sensor's instance, a number or letters as
// the record says, as ipmi-sensors names them, so no two rows look alike.
std::string sharedSensorName(const char* id_string, uint8_t modifier_type, unsigned int instance) {
  std::string suffix;
  if (modifier_type == IPMI_SDR_ID_STRING_INSTANCE_MODIFIER_TYPE_ALPHA) {
    do {
      suffix.insert(suffix.begin(), static_cast<char>('A' + instance % 26));
      instance /= 26;
    } while (instance-- > 0);
  } else {
    suffix = std::to_string(instance);
  }
  return std::string(id_string) + " " + suffix;
}

}  // namespace

IPMI::IPMI(const std::string& hostname, const std::string& username, const std::string& password,
           const Options& options)
    : options_(options), ipmi_ctx(createContext()), hostname_val(hostname), username_val(username),
      password_val(password) {}

namespace {
const IPMI& existing(const IPMI* other) {
  if (!other) throw TRL_ERROR("Create new IPMI from null pointer");
  return *other;
}
}  // namespace

IPMI::IPMI(const IPMI* other)
    : IPMI(existing(other).hostname(), existing(other).username(), existing(other).password(),
           existing(other).options_) {}

IPMI::~IPMI() {
  boost::unique_lock<boost::shared_mutex> guard(lock_);
  disconnect();
  cleanupSDR();
  ipmi_ctx_destroy(ipmi_ctx);
}

std::string IPMI::hostname() const {
  const std::lock_guard<std::mutex> guard(target_lock_);
  return hostname_val;
}

std::string IPMI::username() const {
  const std::lock_guard<std::mutex> guard(target_lock_);
  return username_val;
}

std::string IPMI::password() const {
  const std::lock_guard<std::mutex> guard(target_lock_);
  return password_val;
}

IPMI::Target IPMI::target() {
  Target t;
  bool renew = false;
  {
    const std::lock_guard<std::mutex> guard(target_lock_);
    t = {hostname_val, username_val, password_val};
    renew = repointed_;
    repointed_ = false;
  }
  if (renew) {
    disconnect();
    cleanupSDR();
    ipmi_ctx_destroy(ipmi_ctx);
    ipmi_ctx = nullptr;
    ipmi_ctx = createContext();
  }
  return t;
}

bool IPMI::connect(int timeout, const Target& t) {
  if (connected) disconnect();
  if (t.hostname == "unset") {
    TRL_LOG("unset hostname, skip IPMI connection");
    return false;
  }
  if (ipmi_ctx_open_outofband(ipmi_ctx, t.hostname.c_str(), orNull(t.username), orNull(t.password),
                              IPMI_AUTHENTICATION_TYPE_MD5, IPMI_PRIVILEGE_LEVEL_ADMIN, timeout,
                              options_.retransmission_timeout_ms, 0, 0) < 0)
    throw IpmiConnectError(ipmi_ctx);
  connected = true;
  return true;
}

void IPMI::connectOnce(const Target& t) {
  if (!connected) connect(ipmi_session_timeout, t);
}

void IPMI::disconnect() {
  // The library closes only what it opened; a context never opened is fine.
  if (connected) ipmi_ctx_close(ipmi_ctx);
  connected = false;
}

bool IPMI::probe() {
  const Target t = target();
  const ControllerTurn turn(t.hostname);
  try {
    const bool answered = connect(1001, t);
    disconnect();
    return answered;
  } catch (const IpmiConnectError&) {
    disconnect();
    return false;
  }
}

namespace {

// One mutex per controller address while anyone uses it. The table is
// never destroyed: polling jobs may still be under way on the worker pool
// while exit() runs the destructors of static objects.
std::shared_ptr<std::mutex> controllerMutex(const std::string& hostname) {
  static std::mutex table_lock;
  static auto& table = *new std::map<std::string, std::weak_ptr<std::mutex>>;  // guarded by table_lock
  const std::lock_guard<std::mutex> guard(table_lock);
  for (auto entry = table.begin(); entry != table.end();)
    entry = entry->second.expired() ? table.erase(entry) : std::next(entry);
  std::shared_ptr<std::mutex> mutex = table[hostname].lock();
  if (!mutex) table[hostname] = mutex = std::make_shared<std::mutex>();
  return mutex;
}

}  // namespace

IPMI::ControllerTurn::ControllerTurn(const std::string& hostname) : mutex_(controllerMutex(hostname)) {
  mutex_->lock();
}

IPMI::ControllerTurn::~ControllerTurn() { mutex_->unlock(); }

IPMI::Conversation::Conversation(IPMI& ipmi)
    : ipmi_(ipmi), lock_(ipmi.lock_), target_(ipmi.target()), turn_(target_.hostname) {}

IPMI::Conversation::~Conversation() { ipmi_.disconnect(); }

bool IPMI::Conversation::power() { return ipmi_.readPowerState(target_); }

double IPMI::Conversation::sensors(const std::string& name) { return ipmi_.readSensors(target_, name); }

// Reads the chassis power state; the caller holds lock_ and closes the
// session.
bool IPMI::readPowerState(const Target& t) {
  connectOnce(t);
  const FiidObj rs(fiid_obj_create(tmpl_cmd_get_chassis_status_rs));
  if (!rs) throw TRL_ERROR("fiid_obj_create failed");
  if (ipmi_cmd_get_chassis_status(ipmi_ctx, rs.get()) < 0)
    throw TRL_ERROR(t.hostname + ": ipmi_cmd_get_chassis_status failed");
  uint64_t on = 0;
  if (FIID_OBJ_GET(rs.get(), "current_power_state.power_is_on", &on) < 0) throw TRL_ERROR("FIID_OBJ_GET failed");
  return on != 0;
}

bool IPMI::power() { return Conversation(*this).power(); }

void IPMI::power(power_t type, bool wait) {
  TRL_LOG("Setting power status for " << hostname());
  boost::unique_lock<boost::shared_mutex> guard(lock_);
  const Target t = target();
  const ControllerTurn turn(t.hostname);
  {
    const SessionGuard session([this] { disconnect(); });
    connect(ipmi_session_timeout, t);
    const FiidObj rs(fiid_obj_create(tmpl_cmd_chassis_control_rs));
    if (!rs) throw TRL_ERROR("fiid_obj_create");
    if (ipmi_cmd_chassis_control(ipmi_ctx, static_cast<uint8_t>(type), rs.get()) < 0)
      throw TRL_ERROR(t.hostname + ": ipmi_cmd_chassis_control failed");
  }
  if (!wait) return;
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const SessionGuard session([this] { disconnect(); });
    if (static_cast<int>(readPowerState(t)) == static_cast<int>(type)) return;
  }
  throw TRL_ERROR("failed to change power state after 10s");
}

macaddr IPMI::getEth0MacAddr() {
  const Target t = target();
  const ControllerTurn turn(t.hostname);
  const SessionGuard session([this] { disconnect(); });
  connect(ipmi_session_timeout, t);
  const unsigned int buffer_len = 131072;
  std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t*>(calloc(1, buffer_len)));
  if (!buffer) throw TRL_SYSERROR("Failed to allocate memory for IPMI response buffer");
  uint8_t request[2] = {0x21, 0x02};
  int len = ipmi_cmd_raw(ipmi_ctx, 0, 0x30, request, sizeof request, buffer.get(), buffer_len);
  if (len != 12) {
    request[1] = 0x00;
    len = ipmi_cmd_raw(ipmi_ctx, 0, 0x30, request, sizeof request, buffer.get(), buffer_len);
  }
  if (len != 12) {
    TRL_LOG("Wrong length " << len);
    return 0;
  }
  macaddr mac = 0;
  for (int i = 6; i < 12; ++i) mac = (mac << 8) | buffer.get()[i];
  return mac;
}

void IPMI::reset(const std::string& hostname, const std::string& username, const std::string& password) {
  const std::lock_guard<std::mutex> guard(target_lock_);
  if (hostname == hostname_val && username == username_val && password == password_val) return;
  hostname_val = hostname;
  username_val = username;
  password_val = password;
  repointed_ = true;
}

void IPMI::skip(skip_t type) {
  const std::lock_guard<std::mutex> guard(skip_lock_);
  skipping(type).mark(time(nullptr));
}

bool IPMI::skip(int length, skip_t type, int offset) {
  const std::lock_guard<std::mutex> guard(skip_lock_);
  return skipping(type).pending(time(nullptr), length, offset);
}

void IPMI::forceUnlock() {
  for (boost::shared_mutex* m : {&lock_, &sensor_lock_}) {
    if (m->try_lock())
      m->unlock();
    else
      TRL_WARN("IPMI lock of " + hostname() + " still held while its owner shuts down");
  }
}

IPMI::SensorList IPMI::sensorTable() const {
  boost::shared_lock<boost::shared_mutex> guard(sensor_lock_);
  return sensor_list;
}

std::string IPMI::cacheFile(const std::string& hostname) {
  // The host name ends up in a file name: keep it one path component.
  std::string host = hostname;
  for (char& c : host)
    if (c == '/') c = '_';
  return trl::privateDir() + "/" + sdr_cache_name + host;
}

// The contexts live as long as the library context they are bound to.
void IPMI::initSDR(const Target& t) {
  if (sensor_read_ctx) return;  // made last: all three exist
  const std::string& host = t.hostname;
  try {
    if (!(sdr_cache_ctx = ipmi_sdr_ctx_create())) throw TRL_ERROR(host + ": ipmi_sdr_cache_ctx_create failed");
    if (!(sdr_parse_ctx = ipmi_sdr_ctx_create())) throw TRL_ERROR(host + ": ipmi_sdr_parse_ctx_create failed");
    if (!(sensor_read_ctx = ipmi_sensor_read_ctx_create(ipmi_ctx)))
      throw TRL_ERROR(host + ": ipmi_sensor_read_ctx_create failed");
  } catch (...) {
    cleanupSDR();  // what was created
    throw;
  }
}

// Opens the controller's cached repository. Given the session, the library
// compares the cache with the controller's repository info (version and
// the times of the last addition and erase): the repository is downloaded
// again only when the cache is missing, damaged or out of date.
void IPMI::openSDRCache(const Target& t) {
  const std::string& host = t.hostname;
  const std::string file = cacheFile(host);
  if (ipmi_sdr_cache_open(sdr_cache_ctx, ipmi_ctx, file.c_str()) == 0) return;
  const int why = ipmi_sdr_ctx_errnum(sdr_cache_ctx);
  if (why != IPMI_SDR_ERR_CACHE_READ_CACHE_DOES_NOT_EXIST && why != IPMI_SDR_ERR_CACHE_INVALID &&
      why != IPMI_SDR_ERR_CACHE_OUT_OF_DATE)
    throw TRL_ERROR(host + ": ipmi_sdr_cache_open failed");
  TRL_LOG("reading the sensor data repository of " << host);
  if (ipmi_sdr_cache_create(sdr_cache_ctx, ipmi_ctx, file.c_str(), IPMI_SDR_CACHE_CREATE_FLAGS_OVERWRITE, nullptr,
                            nullptr) < 0)
    throw TRL_ERROR(host + ": ipmi_sdr_cache_create failed");
  if (ipmi_sdr_cache_open(sdr_cache_ctx, nullptr, file.c_str()) < 0)
    throw TRL_ERROR(host + ": ipmi_sdr_cache_open failed");
}

// The cache file stays: the next object at this address checks it and
// reuses it.
void IPMI::cleanupSDR() {
  if (sensor_read_ctx) ipmi_sensor_read_ctx_destroy(sensor_read_ctx);
  if (sdr_parse_ctx) ipmi_sdr_ctx_destroy(sdr_parse_ctx);
  if (sdr_cache_ctx) ipmi_sdr_ctx_destroy(sdr_cache_ctx);
  sensor_read_ctx = nullptr;
  sdr_parse_ctx = sdr_cache_ctx = nullptr;
}

double IPMI::sensors(const std::string& name) { return Conversation(*this).sensors(name); }

// The caller holds lock_ and closes the session.
double IPMI::readSensors(const Target& t, const std::string& name) {
  const std::string& host = t.hostname;
  bool cache_open = false;
  const SessionGuard cleanup([this, &cache_open] {
    if (cache_open) ipmi_sdr_cache_close(sdr_cache_ctx);
  });
  connectOnce(t);
  initSDR(t);
  SensorInterpreter& interpreter = SensorInterpreter::shared(host);
  openSDRCache(t);
  cache_open = true;
  boost::unique_lock<boost::shared_mutex> table_guard(sensor_lock_);
  uint16_t count = 0;
  if (ipmi_sdr_cache_record_count(sdr_cache_ctx, &count) < 0)
    throw TRL_ERROR(host + ": ipmi_sdr_cache_record_count failed");

  sensor_list.clear();
  sensor_list.reserve(count + 1u);
  sensor_list.push_back({"name", "reading", "state"});

  uint8_t record[IPMI_SDR_MAX_RECORD_LENGTH];
  std::vector<uint16_t> ids;
  ids.reserve(count);
  for (unsigned int i = 0; i < count; ++i, ipmi_sdr_cache_next(sdr_cache_ctx)) {
    const int len = ipmi_sdr_cache_record_read(sdr_cache_ctx, record, sizeof record);
    if (len <= 0) throw TRL_ERROR("ipmi_sdr_cache_record_read failed");
    uint16_t id;
    uint8_t type;
    if (ipmi_sdr_parse_record_id_and_type(sdr_parse_ctx, record, len, &id, &type) < 0)
      throw TRL_ERROR("ipmi_sdr_parse_record_id_and_type failed");
    ids.push_back(id);
  }

  double result = std::numeric_limits<double>::quiet_NaN();
  for (const uint16_t wanted : ids) {
    if (ipmi_sdr_cache_search_record_id(sdr_cache_ctx, wanted) < 0)
      throw TRL_ERROR(host + ": ipmi_sdr_cache_search_record_id failed");
    const int len = ipmi_sdr_cache_record_read(sdr_cache_ctx, record, sizeof record);
    if (len <= 0) throw TRL_ERROR(host + ": ipmi_sdr_cache_record_read failed");
    uint16_t id;
    uint8_t type;
    if (ipmi_sdr_parse_record_id_and_type(sdr_parse_ctx, record, len, &id, &type) < 0)
      throw TRL_ERROR(host + ": ipmi_sdr_parse_record_id_and_type failed");
    if (type != IPMI_SDR_FORMAT_FULL_SENSOR_RECORD && type != IPMI_SDR_FORMAT_COMPACT_SENSOR_RECORD &&
        type != IPMI_SDR_FORMAT_EVENT_ONLY_RECORD)
      continue;

    uint8_t number;
    if (ipmi_sdr_parse_sensor_number(sdr_parse_ctx, record, len, &number) < 0)
      throw TRL_ERROR(host + ": ipmi_sdr_parse_sensor_number failed");
    uint8_t share_count = 1, modifier_type = 0, modifier_offset = 0;
    if (type == IPMI_SDR_FORMAT_COMPACT_SENSOR_RECORD &&
        ipmi_sdr_parse_sensor_record_sharing(sdr_parse_ctx, record, len, &share_count, &modifier_type,
                                             &modifier_offset, nullptr) < 0)
      throw TRL_ERROR(host + ": ipmi_sdr_parse_sensor_record_sharing failed");

    for (unsigned int j = 0; j < share_count; ++j) {
      uint8_t code;
      if (ipmi_sdr_parse_event_reading_type_code(sdr_parse_ctx, record, len, &code) < 0)
        throw IpmiSdrError(TRL_HERE, __LINE__, sdr_parse_ctx, host + ": ipmi_sdr_parse_event_reading_type_code failed");
      if (ipmi_event_reading_type_code_class(code) != IPMI_EVENT_READING_TYPE_CODE_CLASS_THRESHOLD) continue;

      uint8_t percentage, modifier, rate, base_unit, modifier_unit;
      if (ipmi_sdr_parse_sensor_units(sdr_parse_ctx, record, len, &percentage, &modifier, &rate, &base_unit,
                                      &modifier_unit) < 0)
        throw TRL_ERROR(host + ": ipmi_sdr_parse_sensor_units failed");
      char units[1024];
      if (ipmi_sensor_units_string(percentage, modifier, rate, base_unit, modifier_unit, units, sizeof units, 1) <= 0)
        throw TRL_ERROR(host + ": ipmi_sensor_units_string failed");
      uint8_t threshold_access;
      if (ipmi_sdr_parse_sensor_capabilities(sdr_parse_ctx, record, len, nullptr, &threshold_access, nullptr, nullptr,
                                             nullptr) < 0)
        throw TRL_ERROR(host + ": ipmi_sdr_parse_sensor_capabilities failed");
      char id_string[17] = {};
      if (ipmi_sdr_parse_id_string(sdr_parse_ctx, record, len, id_string, 16) < 0)
        throw TRL_ERROR(host + ": ipmi_sdr_parse_id_string failed");

      uint8_t raw = 0;
      double* reading = nullptr;
      uint16_t bitmask = 0;
      if (ipmi_sensor_read(sensor_read_ctx, record, len, static_cast<uint8_t>(j), &raw, &reading, &bitmask) < 0 &&
          ipmi_sensor_read_ctx_errnum(sensor_read_ctx) != IPMI_SENSOR_READ_ERR_SENSOR_READING_UNAVAILABLE)
        throw IpmiSensorError(TRL_HERE, __LINE__, sensor_read_ctx, host + ": ipmi_sensor_read failed");
      const std::unique_ptr<double, FreeDeleter> reading_owner(reading);

      uint8_t sensor_type;
      if (ipmi_sdr_parse_sensor_type(sdr_parse_ctx, record, len, &sensor_type) < 0)
        throw TRL_ERROR(host + ": ipmi_sdr_parse_sensor_type failed");
      const unsigned int state = interpreter.state(code, sensor_type, bitmask, host);

      std::vector<std::string> row{share_count > 1 ? sharedSensorName(id_string, modifier_type, modifier_offset + j)
                                                   : std::string(id_string)};
      if (reading) {
        if (!name.empty() && name == row.front()) result = *reading;
        std::ostringstream text;
        text << *reading << " " << units;
        row.push_back(text.str());
        if (const char* word = stateWord(state)) row.push_back(word);
      } else {
        row.push_back("N/A");
        row.push_back("unavailable");
      }
      sensor_list.push_back(std::move(row));
    }
  }
  return result;
}
