// Wine's own settings in the prefix, kept under HKEY_CURRENT_USER\Software\Wine.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// While it lives, one of Wine's string settings has the given value, or none;
// afterwards it is as it was before, value or absence.
class ScopedWineSetting {
  public:
    ScopedWineSetting(const std::string &key, const std::string &name,
                      const std::optional<std::string> &value);
    ~ScopedWineSetting();
    ScopedWineSetting(const ScopedWineSetting &) = delete;
    ScopedWineSetting &operator=(const ScopedWineSetting &) = delete;

  private:
    std::string key_;
    std::string name_;
    std::optional<std::string> previous_;
};

// True when this process runs on Wine rather than on Windows.
bool RunningOnWine();
