#include "prefix_journal.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Named objects live in the prefix's wineserver, so the lock is the prefix's.
constexpr char lockName[] = "regexercise-watch";
const std::wstring toolKey = L"Software\\regexercise-watch";
const std::wstring journalsKey = toolKey + L"\\Journal";

std::wstring Wide(const std::string &text) {
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string Narrow(const std::wstring &wide) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length,
                        nullptr, nullptr);
    return text;
}

class Key {
  public:
    Key() = default;
    explicit Key(HKEY handle) : handle_(handle) {}
    ~Key() {
        if (handle_) {
            RegCloseKey(handle_);
        }
    }
    Key(Key &&other) noexcept : handle_(other.handle_) {
        other.handle_ = nullptr;
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    Key &operator=(Key &&) = delete;

    HKEY get() const {
        return handle_;
    }
    explicit operator bool() const {
        return handle_ != nullptr;
    }

  private:
    HKEY handle_ = nullptr;
};

Key Open(const std::wstring &path, REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, access, &key) != ERROR_SUCCESS) {
        return Key();
    }
    return Key(key);
}

Key Create(const std::wstring &path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot write the key HKEY_CURRENT_USER\\" + Narrow(path));
    }
    return Key(key);
}

// A value exactly as stored: wide name, type and bytes, of any length.
struct StoredValue {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

std::vector<StoredValue> Values(HKEY key) {
    DWORD count = 0, longestName = 0, longestData = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                     &longestName, &longestData, nullptr, nullptr);
    std::vector<StoredValue> values;
    for (DWORD index = 0; index < count; ++index) {
        std::vector<wchar_t> name(longestName + 1);
        StoredValue value;
        value.data.resize(longestData);
        DWORD nameLength = longestName + 1, size = longestData;
        if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &value.type,
                          value.data.data(), &size) == ERROR_SUCCESS) {
            value.name.assign(name.data(), nameLength);
            value.data.resize(size);
            values.push_back(std::move(value));
        }
    }
    return values;
}

void Write(HKEY key, const StoredValue &value) {
    RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                   static_cast<DWORD>(value.data.size()));
}

std::vector<std::wstring> Subkeys(HKEY key) {
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return names;
        }
        names.emplace_back(name, length);
    }
}

std::optional<std::wstring> ReadText(HKEY key, const wchar_t *name) {
    for (const StoredValue &value : Values(key)) {
        if (_wcsicmp(value.name.c_str(), name) == 0 && value.type == REG_SZ) {
            std::wstring text(reinterpret_cast<const wchar_t *>(value.data.data()),
                              value.data.size() / sizeof(wchar_t));
            return text.substr(0, text.find(L'\0'));
        }
    }
    return std::nullopt;
}

void WriteText(HKEY key, const std::wstring &name, const std::wstring &text) {
    const auto *const bytes = reinterpret_cast<const BYTE *>(text.c_str());
    Write(key,
          {name, REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))});
}

// The shortest leading part of the path that is not there, or none when the
// whole key exists.
std::optional<std::wstring> FirstMissing(const std::wstring &path) {
    for (std::size_t end = path.find(L'\\');; end = path.find(L'\\', end + 1)) {
        const std::wstring part = path.substr(0, end);
        if (!Open(part)) {
            return part;
        }
        if (end == std::wstring::npos) {
            return std::nullopt;
        }
    }
}

// Makes the key that an entry of a journal recorded what it was, and returns
// its path; an entry that never got as far as "Complete" changed nothing.
std::optional<std::wstring> PutBack(const std::wstring &entryPath) {
    const Key entry = Open(entryPath);
    const std::optional<std::wstring> path = ReadText(entry.get(), L"Path");
    if (!path || !ReadText(entry.get(), L"Complete")) {
        return std::nullopt;
    }
    if (const std::optional<std::wstring> createdFrom = ReadText(entry.get(), L"CreatedFrom")) {
        // Deletes what the watch created, and nothing that has since been put in it.
        for (std::wstring part = *path; part.size() >= createdFrom->size();
             part.erase(part.rfind(L'\\'))) {
            RegDeleteKeyW(HKEY_CURRENT_USER, part.c_str());
            if (part.find(L'\\') == std::wstring::npos) {
                break;
            }
        }
        return path;
    }
    const std::vector<StoredValue> recorded = Values(Open(entryPath + L"\\Values").get());
    const Key key = Create(*path);
    for (const StoredValue &now : Values(key.get())) {
        const bool wasThere = std::any_of(recorded.begin(), recorded.end(), [&](const auto &old) {
            return _wcsicmp(old.name.c_str(), now.name.c_str()) == 0;
        });
        if (!wasThere) {
            RegDeleteValueW(key.get(), now.name.c_str());
        }
    }
    const std::vector<StoredValue> current = Values(key.get());
    for (const StoredValue &old : recorded) {
        const bool same = std::any_of(current.begin(), current.end(), [&](const auto &now) {
            return now.name == old.name && now.type == old.type && now.data == old.data;
        });
        if (!same) {
            Write(key.get(), old);
        }
    }
    return path;
}

// Entries in the order they were made, "0", "1", ...
std::vector<std::wstring> EntriesOf(const std::wstring &journalPath) {
    std::vector<std::wstring> entries = Subkeys(Open(journalPath).get());
    std::sort(entries.begin(), entries.end(), [](const std::wstring &a, const std::wstring &b) {
        return std::wcstoul(a.c_str(), nullptr, 10) < std::wcstoul(b.c_str(), nullptr, 10);
    });
    return entries;
}

// Puts back every key of a journal, the last changed first, and removes it.
std::vector<std::string> Replay(const std::wstring &journalPath) {
    std::vector<std::string> putBack;
    std::vector<std::wstring> entries = EntriesOf(journalPath);
    std::reverse(entries.begin(), entries.end());
    for (const std::wstring &entry : entries) {
        if (const auto path = PutBack(journalPath + L"\\" + entry)) {
            putBack.push_back("HKEY_CURRENT_USER\\" + Narrow(*path));
        }
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, journalPath.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, journalPath.c_str());
    return putBack;
}

} // namespace

PrefixJournal::PrefixJournal() : lock_(CreateMutexA(nullptr, FALSE, lockName)) {
    if (!lock_) {
        throw std::runtime_error("cannot make the lock of " + PrefixName() + " (error " +
                                 std::to_string(GetLastError()) + ")");
    }
    // Abandoned: its last holder died, and left its journal to recover below.
    const DWORD waited = WaitForSingleObject(lock_, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(lock_);
        throw PrefixBusy("another regexercise-watch is under way in " +
                         std::string(RunningOnWine() ? "the Wine prefix " : "") + PrefixName() +
                         "; try again when it has ended");
    }
    // Holding the lock, every journal there is was left by a process that died.
    for (const std::wstring &journal : Subkeys(Open(journalsKey).get())) {
        for (std::string &path : Replay(journalsKey + L"\\" + journal)) {
            recovered_.push_back(std::move(path));
        }
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, journalsKey.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, toolKey.c_str());
    ownPath_ = Narrow(journalsKey) + "\\" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(GetTickCount64());
}

PrefixJournal::~PrefixJournal() {
    try {
        Restore();
    } catch (const std::exception &) {
        // The journal stays, for the next start to put back.
    }
    ReleaseMutex(lock_);
    CloseHandle(lock_);
}

void PrefixJournal::Set(const std::string &keyPath, const std::string &name,
                        const std::optional<std::string> &text) {
    const std::wstring path = Wide(keyPath);
    if (std::find(recordedKeys_.begin(), recordedKeys_.end(), keyPath) == recordedKeys_.end()) {
        // Recorded in full before the key is touched: "Complete" comes last.
        const std::wstring entryPath =
            Wide(ownPath_) + L"\\" + std::to_wstring(recordedKeys_.size());
        const Key entry = Create(entryPath);
        WriteText(entry.get(), L"Path", path);
        if (const auto missing = FirstMissing(path)) {
            WriteText(entry.get(), L"CreatedFrom", *missing);
        } else {
            const Key copy = Create(entryPath + L"\\Values");
            for (const StoredValue &value : Values(Open(path).get())) {
                Write(copy.get(), value);
            }
        }
        WriteText(entry.get(), L"Complete", L"yes");
        RegFlushKey(entry.get());
        recordedKeys_.push_back(keyPath);
    }
    const Key key = Create(path);
    if (text) {
        WriteText(key.get(), Wide(name), Wide(*text));
    } else {
        RegDeleteValueW(key.get(), Wide(name).c_str());
    }
}

void PrefixJournal::Restore() {
    if (recordedKeys_.empty()) {
        return;
    }
    Replay(Wide(ownPath_));
    RegDeleteKeyW(HKEY_CURRENT_USER, journalsKey.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, toolKey.c_str());
    recordedKeys_.clear();
}

std::string PrefixName() {
    if (!RunningOnWine()) {
        return "this Windows user's registry";
    }
    if (const char *const prefix = std::getenv("WINEPREFIX")) {
        return prefix;
    }
    const char *const home = std::getenv("HOME");
    return std::string(home ? home : "~") + "/.wine";
}

bool RunningOnWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
