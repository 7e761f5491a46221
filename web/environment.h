// What a new application learns about its page load.
#pragma once

#include <string>

namespace web {

class Session;
class Application;

class Environment {
 public:
  Environment() = default;

  const std::string& sessionId() const { return sessionId_; }
  const std::string& docRoot() const { return docRoot_; }
  const std::string& appRoot() const { return appRoot_; }
  const std::string& clientAddress() const { return clientAddress_; }
  const std::string& userAgent() const { return userAgent_; }
  const std::string& host() const { return host_; }
  // Who signed in (empty on a server that asks nobody to sign in).
  const std::string& user() const { return user_; }

  void setDocRoot(std::string v) { docRoot_ = std::move(v); }
  void setAppRoot(std::string v) { appRoot_ = std::move(v); }
  void setClientAddress(std::string v) { clientAddress_ = std::move(v); }
  void setUserAgent(std::string v) { userAgent_ = std::move(v); }
  void setHost(std::string v) { host_ = std::move(v); }
  void setUser(std::string v) { user_ = std::move(v); }

 private:
  friend class Session;
  friend class Application;
  std::string sessionId_;
  std::string docRoot_;
  std::string appRoot_;
  std::string clientAddress_;
  std::string userAgent_;
  std::string host_;
  std::string user_;
  Session* session_ = nullptr;  // the session being built, set by the session itself
};

}  // namespace web
