#include "wine_settings.h"

namespace {

const std::string wineKey = "Software\\Wine\\";

std::optional<std::string> ReadSetting(const std::string &key, const std::string &name) {
    char value[1024] = {};
    DWORD size = sizeof value - 1;
    if (RegGetValueA(HKEY_CURRENT_USER, (wineKey + key).c_str(), name.c_str(), RRF_RT_REG_SZ,
                     nullptr, value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::string(value);
}

void WriteSetting(const std::string &key, const std::string &name,
                  const std::optional<std::string> &value) {
    const std::string path = wineKey + key;
    if (value) {
        RegSetKeyValueA(HKEY_CURRENT_USER, path.c_str(), name.c_str(), REG_SZ, value->c_str(),
                        static_cast<DWORD>(value->size() + 1));
    } else {
        RegDeleteKeyValueA(HKEY_CURRENT_USER, path.c_str(), name.c_str());
    }
}

} // namespace

ScopedWineSetting::ScopedWineSetting(const std::string &key, const std::string &name,
                                     const std::optional<std::string> &value)
    : key_(key), name_(name), previous_(ReadSetting(key, name)) {
    WriteSetting(key_, name_, value);
}

ScopedWineSetting::~ScopedWineSetting() {
    WriteSetting(key_, name_, previous_);
}

bool RunningOnWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
