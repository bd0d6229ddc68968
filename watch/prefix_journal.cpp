#include "prefix_journal.h"

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <iterator>
#include <utility>

namespace {

// Named objects live in the prefix's wineserver, so the lock is the prefix's.
constexpr wchar_t lockName[] = L"regexercise-watch";
const std::wstring toolKey = L"Software\\regexercise-watch";
const std::wstring journalsKey = toolKey + L"\\Journal";
const std::wstring unreadableKey = toolKey + L"\\Unreadable";
constexpr wchar_t startedKey[] = L"Started";
// How a journal names each role.
constexpr std::pair<ProcessRole, const wchar_t *> roleNames[] = {
    {ProcessRole::Program, L"program"},
    {ProcessRole::Editor, L"editor"},
    {ProcessRole::Desktop, L"desktop"},
};
// Larger than any setting a watch changes; a copy larger still is no copy of one.
constexpr std::size_t largestValue = 1 << 20;

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

std::string RootName(HKEY root) {
    return root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

Key Open(const std::wstring &path, REGSAM access = KEY_READ, HKEY root = HKEY_CURRENT_USER) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, access, &key) != ERROR_SUCCESS) {
        return Key();
    }
    return Key(key);
}

Key Create(const std::wstring &path, HKEY root = HKEY_CURRENT_USER) {
    HKEY key = nullptr;
    const LONG made =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (made != ERROR_SUCCESS) {
        throw std::runtime_error("cannot write the key " + RootName(root) + "\\" + Utf8(path) +
                                 ": " + SystemMessage(static_cast<DWORD>(made)));
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

const StoredValue *Find(const std::vector<StoredValue> &values, const wchar_t *name) {
    for (const StoredValue &value : values) {
        if (_wcsicmp(value.name.c_str(), name) == 0) {
            return &value;
        }
    }
    return nullptr;
}

std::optional<std::wstring> TextIn(const std::vector<StoredValue> &values, const wchar_t *name) {
    const StoredValue *const value = Find(values, name);
    if (!value || value->type != REG_SZ) {
        return std::nullopt;
    }
    std::wstring text(reinterpret_cast<const wchar_t *>(value->data.data()),
                      value->data.size() / sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

std::optional<ULONGLONG> NumberIn(const std::vector<StoredValue> &values, const wchar_t *name) {
    const StoredValue *const value = Find(values, name);
    if (!value || !((value->type == REG_DWORD && value->data.size() == 4) ||
                    (value->type == REG_QWORD && value->data.size() == 8))) {
        return std::nullopt;
    }
    ULONGLONG number = 0;
    for (std::size_t index = value->data.size(); index-- > 0;) {
        number = (number << 8) | value->data[index];
    }
    return number;
}

void WriteText(HKEY key, const std::wstring &name, const std::wstring &text) {
    const auto *const bytes = reinterpret_cast<const BYTE *>(text.c_str());
    Write(key,
          {name, REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))});
}

void WriteNumber(HKEY key, const std::wstring &name, ULONGLONG number, DWORD type) {
    std::vector<BYTE> bytes(type == REG_QWORD ? 8 : 4);
    for (BYTE &byte : bytes) {
        byte = static_cast<BYTE>(number & 0xFF);
        number >>= 8;
    }
    Write(key, {name, type, bytes});
}

bool EqualNoCase(const std::wstring &a, const std::wstring &b) {
    return a.size() == b.size() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// The shortest leading part of the path that is not there, or none when the
// whole key exists.
std::optional<std::wstring> FirstMissing(HKEY root, const std::wstring &path) {
    for (std::size_t end = path.find(L'\\');; end = path.find(L'\\', end + 1)) {
        const std::wstring part = path.substr(0, end);
        if (!Open(part, KEY_READ, root)) {
            return part;
        }
        if (end == std::wstring::npos) {
            return std::nullopt;
        }
    }
}

// What an entry of a journal says to put back, once checked.
struct Checked {
    HKEY root = HKEY_CURRENT_USER;
    std::wstring path;
    std::optional<std::wstring> createdFrom;
    std::vector<StoredValue> recorded;
};

// Why a value saved in a copy cannot be one that was there: a type that no
// setting has, or a size that does not fit its type.
std::string WhyNotAValue(const StoredValue &value) {
    const std::size_t size = value.data.size();
    if (size > largestValue) {
        return "a saved value is larger than any setting";
    }
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
        return size % sizeof(wchar_t) == 0 ? "" : "a saved text is not whole";
    case REG_DWORD:
        return size == 4 ? "" : "a saved 32-bit number is not 4 bytes long";
    case REG_QWORD:
        return size == 8 ? "" : "a saved 64-bit number is not 8 bytes long";
    case REG_BINARY:
    case REG_NONE:
        return "";
    default:
        return "a saved value has a type (" + std::to_string(value.type) + ") that no setting has";
    }
}

// Checks an entry: whole, about a key that the journal may change, with a
// copy that makes sense. Returns why not, or fills `checked`.
std::string WhyUntrusted(const std::wstring &entryPath, const std::vector<JournalKey> &keys,
                         Checked &checked) {
    const std::vector<StoredValue> entry = Values(Open(entryPath).get());
    const std::optional<std::wstring> path = TextIn(entry, L"Path");
    if (!path) {
        return "it names no key";
    }
    const std::optional<std::wstring> root = TextIn(entry, L"Root");
    if (root && !EqualNoCase(*root, L"HKEY_CURRENT_USER") &&
        !EqualNoCase(*root, L"HKEY_LOCAL_MACHINE")) {
        return "its root " + Utf8(*root) + " is not one a watch changes";
    }
    checked.root =
        root && EqualNoCase(*root, L"HKEY_LOCAL_MACHINE") ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    checked.path = *path;
    const bool known = std::any_of(keys.begin(), keys.end(), [&](const JournalKey &key) {
        return key.root == checked.root && EqualNoCase(Wide(key.path), *path);
    });
    if (!known) {
        return "its key " + RootName(checked.root) + "\\" + Utf8(*path) +
               " is not one that a watch changes";
    }
    if (const auto createdFrom = TextIn(entry, L"CreatedFrom")) {
        const bool leading =
            !createdFrom->empty() && createdFrom->size() <= path->size() &&
            EqualNoCase(path->substr(0, createdFrom->size()), *createdFrom) &&
            (createdFrom->size() == path->size() || (*path)[createdFrom->size()] == L'\\');
        if (!leading) {
            return "the part it says was created, " + Utf8(*createdFrom) +
                   ", is not a leading part of its key";
        }
        checked.createdFrom = createdFrom;
        return "";
    }
    const Key copy = Open(entryPath + L"\\Values");
    if (!copy) {
        return "its copy of the key's values is missing";
    }
    checked.recorded = Values(copy.get());
    const std::optional<ULONGLONG> count = NumberIn(entry, L"ValueCount");
    if (count && *count != checked.recorded.size()) {
        return "its copy holds " + std::to_string(checked.recorded.size()) + " of the " +
               std::to_string(*count) + " values it recorded";
    }
    for (const StoredValue &value : checked.recorded) {
        const std::string why = WhyNotAValue(value);
        if (!why.empty()) {
            return why;
        }
    }
    return "";
}

// Makes the key what the entry recorded it was.
void PutBack(const Checked &entry) {
    if (entry.createdFrom) {
        // Deletes what the watch created, and nothing that has since been put in it.
        for (std::wstring part = entry.path; part.size() >= entry.createdFrom->size();
             part.erase(part.rfind(L'\\'))) {
            RegDeleteKeyW(entry.root, part.c_str());
            if (part.find(L'\\') == std::wstring::npos) {
                break;
            }
        }
        return;
    }
    const Key key = Create(entry.path, entry.root);
    for (const StoredValue &now : Values(key.get())) {
        if (!Find(entry.recorded, now.name.c_str())) {
            RegDeleteValueW(key.get(), now.name.c_str());
        }
    }
    const std::vector<StoredValue> current = Values(key.get());
    for (const StoredValue &old : entry.recorded) {
        const bool same = std::any_of(current.begin(), current.end(), [&](const auto &now) {
            return now.name == old.name && now.type == old.type && now.data == old.data;
        });
        if (!same) {
            Write(key.get(), old);
        }
    }
}

bool IsNumber(const std::wstring &name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](wchar_t c) {
        return std::iswdigit(static_cast<wint_t>(c)) != 0;
    });
}

// Entries in the order they were made, "0", "1", ...; the rest of what the
// journal holds (processes, and whatever else was put there) apart.
std::vector<std::wstring> EntriesOf(const std::wstring &journalPath,
                                    std::vector<std::wstring> &others) {
    std::vector<std::wstring> entries;
    for (std::wstring &name : Subkeys(Open(journalPath).get())) {
        (IsNumber(name) ? entries : others).push_back(std::move(name));
    }
    std::sort(entries.begin(), entries.end(), [](const std::wstring &a, const std::wstring &b) {
        return std::wcstoul(a.c_str(), nullptr, 10) < std::wcstoul(b.c_str(), nullptr, 10);
    });
    return entries;
}

void DeleteKeyTree(const std::wstring &path) {
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
}

// Moves a key that cannot be trusted out of the journals, untouched, and
// says where to.
std::string MoveAside(const std::wstring &path, const std::wstring &asName,
                      const std::string &why) {
    std::wstring target = unreadableKey + L"\\" + asName;
    for (int copy = 2; Open(target); ++copy) {
        target = unreadableKey + L"\\" + asName + L"." + std::to_wstring(copy);
    }
    const std::string where = "HKEY_CURRENT_USER\\" + Utf8(path);
    std::string line = "a journal entry that a watch left, " + where + ", cannot be trusted (" +
                       why + "): nothing was written from it";
    try {
        const Key copy = Create(target);
        if (RegCopyTreeW(Open(path).get(), nullptr, copy.get()) == ERROR_SUCCESS) {
            line += ", and it was set aside as HKEY_CURRENT_USER\\" + Utf8(target);
        }
    } catch (const std::runtime_error &) {
        // Not kept: it is removed all the same, so that it blocks no later run.
    }
    DeleteKeyTree(path);
    return line + "; to remove it: wine reg delete \"HKCU\\" + Utf8(unreadableKey) + "\" /f";
}

// The processes a journal recorded that still run as the same processes.
void CollectLeft(const std::wstring &startedPath, const std::wstring &journalName,
                 std::vector<LeftProcess> &left, std::vector<std::string> &setAside) {
    for (const std::wstring &name : Subkeys(Open(startedPath).get())) {
        const std::wstring path = startedPath + L"\\" + name;
        const std::vector<StoredValue> values = Values(Open(path).get());
        const std::optional<std::wstring> roleName = TextIn(values, L"Role");
        const std::optional<ULONGLONG> id = NumberIn(values, L"Id");
        const std::optional<ULONGLONG> created = NumberIn(values, L"Created");
        const auto role = std::find_if(std::begin(roleNames), std::end(roleNames),
                                       [&](const auto &known) { return roleName == known.second; });
        if (role == std::end(roleNames) || !id || *id == 0 || *id > MAXDWORD || !created ||
            *created == 0) {
            setAside.push_back(MoveAside(path, journalName + L".started." + name,
                                         "it does not say which process was started"));
            continue;
        }
        const DWORD processId = static_cast<DWORD>(*id);
        const HANDLE process = OpenProcess(
            SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
        if (!process) {
            continue;
        }
        std::shared_ptr<void> handle(process, HandleCloser());
        if (CreationTime(process) == *created && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            left.push_back({{role->first, processId, *created}, handle});
        }
    }
}

} // namespace

const std::vector<JournalKey> &WatchedKeys() {
    static const std::vector<JournalKey> keys = {
        {HKEY_CURRENT_USER, "Software\\Wine\\Debug"},
        {HKEY_CURRENT_USER, "Software\\Wine\\Explorer\\Desktops"},
        {HKEY_CURRENT_USER, "Software\\Wine\\WineDbg"},
        {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Regedit"},
        {HKEY_LOCAL_MACHINE, "WrittenKey"},
    };
    return keys;
}

std::string FullName(const JournalKey &key) {
    return RootName(key.root) + "\\" + key.path;
}

PrefixJournal::PrefixJournal(std::vector<JournalKey> keys, const LeftProcessHandler &finishLeft)
    : keys_(std::move(keys)), lock_(CreateMutexW(nullptr, FALSE, lockName)) {
    if (!lock_) {
        throw std::runtime_error("cannot make the lock of " + PrefixName() + ": " +
                                 SystemMessage(GetLastError()));
    }
    // Abandoned: its last holder died, and left its journal to recover below.
    const DWORD waited = WaitForSingleObject(lock_.get(), 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        throw PrefixBusy("another regexercise-watch is under way in " +
                         std::string(RunningOnWine() ? "the Wine prefix " : "") + PrefixName() +
                         "; try again when it has ended");
    }
    // Holding the lock, every journal there is was left by a process that
    // died. First what it started and left running, then its settings.
    const std::vector<std::wstring> journals = Subkeys(Open(journalsKey).get());
    std::vector<LeftProcess> left;
    for (const std::wstring &journal : journals) {
        CollectLeft(journalsKey + L"\\" + journal + L"\\" + startedKey, journal, left, setAside_);
    }
    if (finishLeft && !left.empty()) {
        finishLeft(left);
    }
    for (const std::wstring &journal : journals) {
        const std::wstring journalPath = journalsKey + L"\\" + journal;
        std::vector<std::wstring> others;
        std::vector<std::wstring> entries = EntriesOf(journalPath, others);
        std::reverse(entries.begin(), entries.end());
        for (const std::wstring &entry : entries) {
            const std::wstring entryPath = journalPath + L"\\" + entry;
            if (!TextIn(Values(Open(entryPath).get()), L"Complete")) {
                continue; // it never got as far as changing anything
            }
            Checked checked;
            std::string why = WhyUntrusted(entryPath, keys_, checked);
            if (why.empty()) {
                try {
                    PutBack(checked);
                    recovered_.push_back(RootName(checked.root) + "\\" + Utf8(checked.path));
                    continue;
                } catch (const std::runtime_error &failure) {
                    why = failure.what();
                }
            }
            setAside_.push_back(MoveAside(entryPath, journal + L"." + entry, why));
        }
        for (const std::wstring &other : others) {
            if (other != startedKey) {
                setAside_.push_back(MoveAside(journalPath + L"\\" + other, journal + L"." + other,
                                              "it is not an entry that a watch makes"));
            }
        }
        DeleteKeyTree(journalPath);
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, journalsKey.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, toolKey.c_str());
    ownPath_ = journalsKey + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount64());
}

PrefixJournal::~PrefixJournal() {
    try {
        Restore();
    } catch (const std::exception &) {
        // The journal stays, for the next start to put back.
    }
    ReleaseMutex(lock_.get());
}

void PrefixJournal::RecordOnce(const JournalKey &key) {
    const bool known = std::any_of(keys_.begin(), keys_.end(), [&](const JournalKey &allowed) {
        return allowed.root == key.root && _stricmp(allowed.path.c_str(), key.path.c_str()) == 0;
    });
    if (!known) {
        throw std::logic_error("the journal is not for " + FullName(key));
    }
    const bool recorded = std::any_of(entries_.begin(), entries_.end(), [&](const Entry &entry) {
        return entry.key.root == key.root && entry.key.path == key.path;
    });
    if (recorded) {
        return;
    }
    // Recorded in full before the key is touched: "Complete" comes last.
    const std::wstring name = std::to_wstring(nextEntry_++);
    const std::wstring path = Wide(key.path);
    const Key entry = Create(ownPath_ + L"\\" + name);
    WriteText(entry.get(), L"Root", Wide(RootName(key.root)));
    WriteText(entry.get(), L"Path", path);
    if (const auto missing = FirstMissing(key.root, path)) {
        WriteText(entry.get(), L"CreatedFrom", *missing);
    } else {
        const Key copy = Create(ownPath_ + L"\\" + name + L"\\Values");
        const std::vector<StoredValue> values = Values(Open(path, KEY_READ, key.root).get());
        for (const StoredValue &value : values) {
            Write(copy.get(), value);
        }
        WriteNumber(entry.get(), L"ValueCount", values.size(), REG_DWORD);
    }
    WriteText(entry.get(), L"Complete", L"yes");
    RegFlushKey(entry.get());
    entries_.push_back({key, name});
}

void PrefixJournal::Set(const std::string &keyPath, const std::string &name,
                        const std::optional<std::string> &text) {
    RecordOnce({HKEY_CURRENT_USER, keyPath});
    const Key key = Create(Wide(keyPath));
    if (text) {
        WriteText(key.get(), Wide(name), Wide(*text));
    } else {
        RegDeleteValueW(key.get(), Wide(name).c_str());
    }
}

void PrefixJournal::Record(const JournalKey &key) {
    RecordOnce(key);
}

void PrefixJournal::Keep(const JournalKey &key) {
    const auto entry = std::find_if(entries_.begin(), entries_.end(), [&](const Entry &recorded) {
        return recorded.key.root == key.root && recorded.key.path == key.path;
    });
    if (entry != entries_.end()) {
        DeleteKeyTree(ownPath_ + L"\\" + entry->name);
        entries_.erase(entry);
    }
}

void PrefixJournal::Started(const StartedProcess &process) {
    const Key entry =
        Create(ownPath_ + L"\\" + startedKey + L"\\" + std::to_wstring(nextProcess_++));
    const auto role = std::find_if(std::begin(roleNames), std::end(roleNames),
                                   [&](const auto &known) { return known.first == process.role; });
    WriteText(entry.get(), L"Role", role->second);
    WriteNumber(entry.get(), L"Id", process.id, REG_DWORD);
    WriteNumber(entry.get(), L"Created", process.created, REG_QWORD);
    RegFlushKey(entry.get());
}

void PrefixJournal::Forget(DWORD processId) {
    const std::wstring started = ownPath_ + L"\\" + startedKey;
    for (const std::wstring &name : Subkeys(Open(started).get())) {
        const std::wstring path = started + L"\\" + name;
        if (NumberIn(Values(Open(path).get()), L"Id") == ULONGLONG{processId}) {
            DeleteKeyTree(path);
        }
    }
}

void PrefixJournal::Restore() {
    std::optional<std::runtime_error> failed;
    while (!entries_.empty()) {
        Checked checked;
        WhyUntrusted(ownPath_ + L"\\" + entries_.back().name, keys_, checked);
        try {
            PutBack(checked);
        } catch (const std::runtime_error &failure) {
            failed = failed.value_or(failure);
        }
        entries_.pop_back();
    }
    if (failed) {
        throw *failed; // the journal stays, for the next start to put back
    }
    DeleteKeyTree(ownPath_);
    RegDeleteKeyW(HKEY_CURRENT_USER, journalsKey.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, toolKey.c_str());
}

std::string PrefixName() {
    if (!RunningOnWine()) {
        return "this Windows user's registry";
    }
    if (const wchar_t *const prefix = _wgetenv(L"WINEPREFIX")) {
        return Utf8(prefix);
    }
    const wchar_t *const home = _wgetenv(L"HOME");
    return (home ? Utf8(home) : std::string("~")) + "/.wine";
}

bool RunningOnWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}
