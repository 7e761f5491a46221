// The system's self-upgrade: an uploaded package is checked and installed
// with the host's Debian package manager.
#pragma once

#include <string>

// Keeps no state. Both operations block until the package manager has
// finished and report every failure by exception (an _Error says what is
// wrong with the package, or carries the package manager's exit status).
class Settings {
 public:
  Settings() = default;

  // Checks that the package file is a whole Debian package named trellium
  // and that the package manager could install it, without installing it.
  void validateTrellium(const std::string& file) const;
  // Installs the package file, keeping configuration files that the
  // administrator changed (never asking: nobody could answer).
  void upgradeTrellium(const std::string& file) const;
};
