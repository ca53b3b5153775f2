// The registry store: one text file in the device root shared by every program of the device.
// Each call brings the in-memory copy up to date with the file, so a program sees what the others
// wrote; changes are made under an exclusive lock on a side file and published by renaming a
// complete new file over the old one, so a reader never sees half a file. Inside a RegistryBatch the
// changes are kept as a list and replayed over every fresh read of the file, so the one write at
// the end merges them with whatever other programs wrote meanwhile.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "internal.h"
#include "qrx/module.h"
#include "qrx/registry.h"
#include "qrx/wstr.h"

namespace qrx {
namespace {

constexpr size_t kMaxFileBytes = 64u << 20;
constexpr DWORD kMaxValueBytes = 1u << 20;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

struct RegValue {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegKeyData {
    std::u16string path;  // full path with its spelling, starting with the root's name
    std::vector<RegValue> values;
};

// Keyed by the folded full path.
using KeyMap = std::map<std::u16string, RegKeyData>;

// One change of the store, repeatable over a fresh copy; returns an error code or kNoChange.
using Change = std::function<LONG(KeyMap&)>;
constexpr LONG kNoChange = -1;

const char16_t* const kRootNames[] = {u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_USER", u"HKEY_LOCAL_MACHINE",
                                      u"HKEY_USERS"};

std::u16string Fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = towlower16(c);
    return out;
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// True when the unit at i is half of a surrogate pair that cannot be written as UTF-8.
bool IsLoneSurrogate(std::u16string_view s, size_t i) {
    char16_t c = s[i];
    if (IsHighSurrogate(c)) return i + 1 >= s.size() || !IsLowSurrogate(s[i + 1]);
    if (IsLowSurrogate(c)) return i == 0 || !IsHighSurrogate(s[i - 1]);
    return false;
}

// ---- text form -------------------------------------------------------------------------------

void AppendHex(std::string& out, unsigned value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// Escapes backslashes, control characters and lone surrogates (and quotes when quoted), so that
// any UTF-16 text survives the UTF-8 file unchanged.
void AppendEscaped(std::string& out, std::u16string_view s, bool quoted) {
    size_t runStart = 0;
    auto flush = [&](size_t end) {
        if (end > runStart) out += QrxToUtf8(s.substr(runStart, end - runStart));
    };
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        const char* esc = nullptr;
        bool unit = false;
        if (c == u'\\')
            esc = "\\\\";
        else if (quoted && c == u'"')
            esc = "\\\"";
        else if (c == u'\n')
            esc = "\\n";
        else if (c == u'\r')
            esc = "\\r";
        else if (c == u'\t')
            esc = "\\t";
        else if (c == 0)
            esc = "\\0";
        else if (c < 0x20 || c == 0x7F || IsLoneSurrogate(s, i))
            unit = true;
        if (!esc && !unit) continue;
        flush(i);
        runStart = i + 1;
        if (esc) {
            out += esc;
        } else {
            out += "\\u";
            AppendHex(out, c, 4);
        }
    }
    flush(s.size());
}

// The text form of string data: the units before the final NUL, which the reader adds back.
bool TextForm(const RegValue& v, std::u16string& text) {
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ && v.type != REG_MULTI_SZ) return false;
    size_t n = v.data.size();
    if (n < 2 || n % 2 != 0 || v.data[n - 2] != 0 || v.data[n - 1] != 0) return false;
    text.resize(n / 2 - 1);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(v.data[2 * i] | (v.data[2 * i + 1] << 8));
    return true;
}

void AppendValue(std::string& out, const RegValue& v) {
    if (v.name.empty()) {
        out += '@';
    } else {
        out += '"';
        AppendEscaped(out, v.name, true);
        out += '"';
    }
    out += '=';
    std::u16string text;
    if (TextForm(v, text)) {
        out += v.type == REG_SZ ? "sz:" : v.type == REG_EXPAND_SZ ? "expand_sz:" : "multi_sz:";
        AppendEscaped(out, text, false);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        unsigned value = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<unsigned>(v.data[3]) << 24);
        out += "dword:";
        AppendHex(out, value, 8);
    } else {
        if (v.type == REG_BINARY) {
            out += "hex:";
        } else {
            char buf[24];
            snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
            out += buf;
        }
        for (size_t i = 0; i < v.data.size(); ++i) {
            if (i) out += ',';
            AppendHex(out, v.data[i], 2);
        }
    }
    out += '\n';
}

std::string Serialize(const KeyMap& keys) {
    std::string out = "; Device registry: [key] sections, then \"name\"=type:data (@ is the default value).\n";
    for (const auto& [folded, key] : keys) {
        bool isRoot = key.path.find(u'\\') == std::u16string::npos;
        if (isRoot && key.values.empty()) continue;
        out += '\n';
        out += '[';
        out += QrxToUtf8(key.path);
        out += "]\n";
        for (const auto& v : key.values) AppendValue(out, v);
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads escaped text up to `end` (exclusive) or up to the closing quote when quoted; pos ends
// after what was read (after the quote). False on a bad escape or a missing quote.
bool ParseEscaped(std::string_view line, size_t& pos, bool quoted, std::u16string& out) {
    std::string raw;
    auto flush = [&] {
        if (!raw.empty()) out += QrxFromUtf8(raw);
        raw.clear();
    };
    while (pos < line.size()) {
        char c = line[pos];
        if (quoted && c == '"') {
            ++pos;
            flush();
            return true;
        }
        if (c != '\\') {
            raw += c;
            ++pos;
            continue;
        }
        if (pos + 1 >= line.size()) return false;
        char e = line[pos + 1];
        pos += 2;
        char16_t unit;
        switch (e) {
            case '\\': unit = u'\\'; break;
            case '"': unit = u'"'; break;
            case 'n': unit = u'\n'; break;
            case 'r': unit = u'\r'; break;
            case 't': unit = u'\t'; break;
            case '0': unit = 0; break;
            case 'u': {
                if (pos + 4 > line.size()) return false;
                unsigned v = 0;
                for (int k = 0; k < 4; ++k) {
                    int d = HexDigit(line[pos + k]);
                    if (d < 0) return false;
                    v = v * 16 + static_cast<unsigned>(d);
                }
                pos += 4;
                unit = static_cast<char16_t>(v);
                break;
            }
            default: return false;
        }
        flush();
        out += unit;
    }
    flush();
    return !quoted;
}

bool ParseHexBytes(std::string_view text, std::vector<BYTE>& out) {
    size_t pos = 0;
    auto skipSpace = [&] {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    };
    skipSpace();
    if (pos == text.size()) return true;
    for (;;) {
        skipSpace();
        if (pos + 2 > text.size()) return false;
        int hi = HexDigit(text[pos]), lo = HexDigit(text[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<BYTE>(hi * 16 + lo));
        pos += 2;
        skipSpace();
        if (pos == text.size()) return true;
        if (text[pos] != ',') return false;
        ++pos;
    }
}

bool ParseHexNumber(std::string_view text, DWORD& value) {
    if (text.empty() || text.size() > 8) return false;
    value = 0;
    for (char c : text) {
        int d = HexDigit(c);
        if (d < 0) return false;
        value = value * 16 + static_cast<DWORD>(d);
    }
    return true;
}

void PutUnits(std::vector<BYTE>& data, std::u16string_view units) {
    for (char16_t u : units) {
        data.push_back(static_cast<BYTE>(u & 0xFF));
        data.push_back(static_cast<BYTE>(u >> 8));
    }
}

bool ParseValueLine(std::string_view line, RegValue& v) {
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (line[0] == '"') {
        pos = 1;
        if (!ParseEscaped(line, pos, true, v.name)) return false;
    } else {
        return false;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return false;
    ++pos;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    size_t colon = line.find(':', pos);
    if (colon == std::string_view::npos) return false;
    std::string_view type = line.substr(pos, colon - pos);
    std::string_view rest = line.substr(colon + 1);
    if (type == "sz" || type == "expand_sz" || type == "multi_sz") {
        v.type = type == "sz" ? REG_SZ : type == "expand_sz" ? REG_EXPAND_SZ : REG_MULTI_SZ;
        std::u16string text;
        size_t p = 0;
        if (!ParseEscaped(rest, p, false, text)) return false;
        text += u'\0';
        PutUnits(v.data, text);
    } else if (type == "dword") {
        DWORD value;
        while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
        if (!ParseHexNumber(rest, value)) return false;
        v.type = REG_DWORD;
        for (int k = 0; k < 4; ++k) v.data.push_back(static_cast<BYTE>(value >> (8 * k)));
    } else if (type == "hex") {
        v.type = REG_BINARY;
        if (!ParseHexBytes(rest, v.data)) return false;
    } else if (type.size() > 5 && type.substr(0, 4) == "hex(" && type.back() == ')') {
        if (!ParseHexNumber(type.substr(4, type.size() - 5), v.type)) return false;
        if (!ParseHexBytes(rest, v.data)) return false;
    } else {
        return false;
    }
    return v.data.size() <= kMaxValueBytes && v.name.size() <= kMaxValueNameChars;
}

// Splits a key path into its components; false when a component is unusable as a key name.
bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string>& parts) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view part = path.substr(start, end - start);
        if (!part.empty()) {
            if (part.size() > kMaxKeyNameChars) return false;
            for (size_t i = 0; i < part.size(); ++i)
                if (part[i] < 0x20 || part[i] == 0x7F || IsLoneSurrogate(part, i)) return false;
            parts.emplace_back(part);
        }
        start = end + 1;
    }
    return true;
}

int RootIndex(std::u16string_view name) {
    std::u16string folded = Fold(name);
    for (int i = 0; i < 4; ++i)
        if (folded == Fold(kRootNames[i])) return i;
    return -1;
}

void AddRoots(KeyMap& keys) {
    for (const char16_t* root : kRootNames) {
        auto& k = keys[Fold(root)];
        if (k.path.empty()) k.path = root;
    }
}

// Creates the key and every missing level above it; returns the key.
RegKeyData& EnsureKey(KeyMap& keys, const std::u16string& rootSpelled, const std::vector<std::u16string>& parts,
                      bool* created = nullptr) {
    std::u16string spelled = rootSpelled;
    std::u16string folded = Fold(rootSpelled);
    RegKeyData* key = &keys[folded];
    if (key->path.empty()) key->path = spelled;
    if (created) *created = false;
    for (const auto& part : parts) {
        folded += u'\\';
        folded += Fold(part);
        auto [it, inserted] = keys.try_emplace(folded);
        if (inserted) {
            it->second.path = key->path + u'\\' + part;
            if (created) *created = true;
        }
        key = &it->second;
    }
    return *key;
}

KeyMap Parse(std::string_view text) {
    KeyMap keys;
    AddRoots(keys);
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    RegKeyData* current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            current = nullptr;
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
            if (line.size() < 3 || line.back() != ']') continue;
            std::u16string path = QrxFromUtf8(line.substr(1, line.size() - 2));
            std::vector<std::u16string> parts;
            if (!SplitKeyPath(path, parts) || parts.empty()) continue;
            int root = RootIndex(parts[0]);
            if (root < 0) continue;
            parts.erase(parts.begin());
            current = &EnsureKey(keys, kRootNames[root], parts);
            continue;
        }
        if (!current) continue;
        RegValue v;
        if (!ParseValueLine(line, v)) continue;
        std::u16string folded = Fold(v.name);
        auto it = std::find_if(current->values.begin(), current->values.end(),
                               [&](const RegValue& x) { return Fold(x.name) == folded; });
        if (it != current->values.end())
            *it = std::move(v);
        else
            current->values.push_back(std::move(v));
    }
    return keys;
}

// ---- the store -------------------------------------------------------------------------------

struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    long long ctimeNs = 0;

    static FileStamp Of(const struct stat& st) {
        FileStamp s;
        s.exists = true;
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.size = st.st_size;
        s.mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        s.ctimeNs = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
        return s;
    }
    bool operator==(const FileStamp&) const = default;
};

// Exclusive lock of the store across processes for one read-modify-write.
class WriteLock {
public:
    WriteLock() {
        m_fd = open(PlatformStatePath("registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) return;
        while (flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~WriteLock() {
        if (m_fd >= 0) close(m_fd);
    }
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

class RegistryStore {
public:
    std::mutex lock;  // held for the whole of every call

    // Brings the copy up to date with the file. False when the file exists but cannot be read,
    // in which case nothing may be written over it.
    bool Refresh() {
        DropInheritedBatch();
        std::string path = PlatformStatePath("registry");
        struct stat st;
        FileStamp now;
        if (stat(path.c_str(), &st) == 0) now = FileStamp::Of(st);
        if (m_valid && path == m_path && now == m_stamp) return m_readable;
        m_path = path;
        m_valid = true;
        m_readable = true;
        std::string text;
        if (now.exists && !ReadWhole(path, text, now)) m_readable = false;
        m_stamp = now;
        if (m_readable) {
            m_keys = Parse(text);
        } else {
            m_keys.clear();
            AddRoots(m_keys);
        }
        for (const Change& change : m_pending) change(m_keys);
        return m_readable;
    }

    bool Batching() {
        DropInheritedBatch();
        return m_batchDepth > 0;
    }

    // Applies a change made inside a batch; it is written when the batch ends.
    LONG ApplyBatched(Change change) {
        if (!Refresh()) return ERROR_CANTREAD;
        LONG err = change(m_keys);
        if (err == ERROR_SUCCESS) m_pending.push_back(std::move(change));
        return err;
    }

    void BeginBatch() {
        DropInheritedBatch();
        if (m_batchDepth++ == 0) m_batchProcess = getpid();
    }

    LONG EndBatch() {
        DropInheritedBatch();
        if (m_batchDepth == 0 || --m_batchDepth > 0) return ERROR_SUCCESS;
        return WritePending();
    }

    // Writes the batch's changes over what the file holds now; the batch itself stays open.
    LONG WritePending() {
        if (m_pending.empty()) return ERROR_SUCCESS;
        LONG err;
        {
            WriteLock writeLock;
            if (!writeLock.Held())
                err = ERROR_CANTWRITE;
            else if (!Refresh())
                err = ERROR_CANTREAD;
            else
                err = Save();
        }
        m_pending.clear();
        // On failure the next call re-reads what is really stored.
        if (err != ERROR_SUCCESS) m_valid = false;
        return err;
    }

    // Writes the copy as the new file; on failure the copy is dropped so the next call re-reads
    // what is really stored.
    LONG Save() {
        std::string text = Serialize(m_keys);
        if (text.size() > kMaxFileBytes) {
            m_valid = false;
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        std::string tmp = m_path + ".tmp." + std::to_string(getpid());
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = fd >= 0;
        size_t done = 0;
        while (ok && done < text.size()) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ok = false;
            else done += static_cast<size_t>(n);
        }
        if (ok && fsync(fd) != 0) ok = false;
        if (fd >= 0 && close(fd) != 0) ok = false;
        if (ok && rename(tmp.c_str(), m_path.c_str()) != 0) ok = false;
        if (!ok) {
            unlink(tmp.c_str());
            m_valid = false;
            return ERROR_CANTWRITE;
        }
        struct stat st;
        if (stat(m_path.c_str(), &st) == 0)
            m_stamp = FileStamp::Of(st);
        else
            m_valid = false;
        return ERROR_SUCCESS;
    }

    KeyMap& Keys() { return m_keys; }

private:
    // A forked child starts without its parent's batch: those changes are the parent's to write.
    void DropInheritedBatch() {
        if (m_batchDepth == 0 || m_batchProcess == getpid()) return;
        m_batchDepth = 0;
        m_pending.clear();
        m_valid = false;
    }

    static bool ReadWhole(const std::string& path, std::string& text, FileStamp& stamp) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        struct stat st;
        bool ok = fstat(fd, &st) == 0 && st.st_size >= 0 && static_cast<size_t>(st.st_size) <= kMaxFileBytes;
        if (ok) {
            stamp = FileStamp::Of(st);
            text.resize(static_cast<size_t>(st.st_size));
            size_t done = 0;
            while (done < text.size()) {
                ssize_t n = read(fd, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    ok = false;
                    break;
                }
                if (n == 0) break;
                done += static_cast<size_t>(n);
            }
            text.resize(done);
        }
        close(fd);
        return ok;
    }

    std::string m_path;
    FileStamp m_stamp;
    bool m_valid = false;
    bool m_readable = true;
    KeyMap m_keys;
    int m_batchDepth = 0;
    pid_t m_batchProcess = 0;
    std::vector<Change> m_pending;
};

RegistryStore& Store() {
    static RegistryStore* store = new RegistryStore;  // used by threads up to the end of the process
    return *store;
}

class RegKeyObject : public KernelObject {
public:
    explicit RegKeyObject(std::u16string folded) : folded(std::move(folded)) {}
    const std::u16string folded;
};

int PredefinedIndex(HKEY h) {
    auto v = reinterpret_cast<uintptr_t>(h);
    if (v >= 0x80000000u && v <= 0x80000003u) return static_cast<int>(v - 0x80000000u);
    return -1;
}

// The folded path of an open key.
LONG KeyPathOf(HKEY h, std::u16string& folded) {
    int root = PredefinedIndex(h);
    if (root >= 0) {
        folded = Fold(kRootNames[root]);
        return ERROR_SUCCESS;
    }
    auto key = HandleAs<RegKeyObject>(reinterpret_cast<HANDLE>(h));
    if (!key) return ERROR_INVALID_HANDLE;
    folded = key->folded;
    return ERROR_SUCCESS;
}

// The key behind an open handle as it is stored now; null (with the error) when it is gone.
RegKeyData* OpenKeyData(HKEY h, LONG& error) {
    std::u16string folded;
    error = KeyPathOf(h, folded);
    if (error != ERROR_SUCCESS) return nullptr;
    auto& keys = Store().Keys();
    auto it = keys.find(folded);
    if (it == keys.end()) {
        error = ERROR_KEY_DELETED;
        return nullptr;
    }
    return &it->second;
}

RegKeyData* FindKey(KeyMap& keys, const std::u16string& folded, LONG& error) {
    auto it = keys.find(folded);
    if (it == keys.end()) {
        error = ERROR_KEY_DELETED;
        return nullptr;
    }
    return &it->second;
}

std::vector<RegValue>::iterator FindValue(RegKeyData& key, std::u16string_view name) {
    std::u16string folded = Fold(name);
    return std::find_if(key.values.begin(), key.values.end(),
                        [&](const RegValue& v) { return Fold(v.name) == folded; });
}

// Direct subkeys of a key, sorted by name without regard to case: pairs of (folded, spelled).
std::vector<std::pair<std::u16string, std::u16string>> SubkeysOf(const KeyMap& keys, const std::u16string& folded) {
    std::vector<std::pair<std::u16string, std::u16string>> out;
    std::u16string prefix = folded + u'\\';
    for (auto it = keys.lower_bound(prefix); it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it) {
        std::u16string_view rest = std::u16string_view(it->first).substr(prefix.size());
        if (rest.find(u'\\') != std::u16string_view::npos) continue;
        std::u16string_view spelled = std::u16string_view(it->second.path).substr(it->second.path.size() - rest.size());
        out.emplace_back(std::u16string(rest), std::u16string(spelled));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Copies a name into a caller's buffer: *cch in = buffer size with the NUL, out = length without.
LONG CopyName(const std::u16string& name, LPWSTR buffer, LPDWORD cch) {
    if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LONG ApplyLocked(RegistryStore& store, Change change);

LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool create, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    std::u16string baseFolded;
    LONG err = KeyPathOf(hKey, baseFolded);
    if (err != ERROR_SUCCESS) return err;
    std::vector<std::u16string> parts;
    if (lpSubKey && !SplitKeyPath(lpSubKey, parts)) return ERROR_INVALID_PARAMETER;
    if (parts.empty() && PredefinedIndex(hKey) >= 0) {
        *phkResult = hKey;
        if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }

    auto& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    std::u16string folded = baseFolded;
    for (const auto& p : parts) folded += u'\\' + Fold(p);
    if (!store.Refresh() && create) return ERROR_CANTREAD;
    auto& keys = store.Keys();
    auto base = keys.find(baseFolded);
    if (base == keys.end()) return ERROR_KEY_DELETED;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (keys.find(folded) == keys.end()) {
        if (!create) return ERROR_FILE_NOT_FOUND;
        err = ApplyLocked(store, [baseFolded, folded, parts](KeyMap& map) -> LONG {
            auto at = map.find(baseFolded);
            if (at == map.end()) return ERROR_KEY_DELETED;
            if (map.count(folded)) return kNoChange;
            // EnsureKey walks from the root; give it the base key's components too.
            std::vector<std::u16string> all;
            SplitKeyPath(at->second.path, all);
            std::u16string root = all.front();
            all.erase(all.begin());
            all.insert(all.end(), parts.begin(), parts.end());
            EnsureKey(map, root, all);
            return ERROR_SUCCESS;
        });
        if (err == ERROR_SUCCESS)
            disposition = REG_CREATED_NEW_KEY;
        else if (err != kNoChange)
            return err;
    }
    *phkResult = reinterpret_cast<HKEY>(NewHandle(std::make_shared<RegKeyObject>(folded)));
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

// Runs a change of the store, store.lock held: in a batch in memory only, else under the
// cross-process lock and written out at once. kNoChange passes through, with nothing written.
LONG ApplyLocked(RegistryStore& store, Change change) {
    if (store.Batching()) return store.ApplyBatched(std::move(change));
    WriteLock writeLock;
    if (!writeLock.Held()) return ERROR_CANTWRITE;
    if (!store.Refresh()) return ERROR_CANTREAD;
    LONG err = change(store.Keys());
    if (err != ERROR_SUCCESS) return err;
    return store.Save();
}

LONG Modify(Change change) {
    auto& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    return ApplyLocked(store, std::move(change));
}

}  // namespace
}  // namespace qrx

using namespace qrx;

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, DWORD, PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, false, phkResult, nullptr);
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
    return OpenOrCreate(hKey, lpSubKey, true, phkResult, lpdwDisposition);
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    auto& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    store.Refresh();
    LONG err;
    RegKeyData* key = OpenKeyData(hKey, err);
    if (!key) return err;
    auto it = FindValue(*key, lpValueName ? std::u16string_view(lpValueName) : std::u16string_view());
    if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = it->type;
    DWORD size = static_cast<DWORD>(it->data.size());
    if (!lpcbData) return ERROR_SUCCESS;
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::copy(it->data.begin(), it->data.end(), lpData);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (cbData && !lpData) return ERROR_INVALID_PARAMETER;
    if (cbData > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
    if (lpValueName && wcsnlen(lpValueName, kMaxValueNameChars + 1) > kMaxValueNameChars)
        return ERROR_INVALID_PARAMETER;
    std::u16string folded;
    LONG err = KeyPathOf(hKey, folded);
    if (err != ERROR_SUCCESS) return err;
    std::u16string name = lpValueName ? lpValueName : u"";
    std::vector<BYTE> data(lpData, lpData + cbData);
    return Modify([folded, name, dwType, data](KeyMap& keys) -> LONG {
        LONG err;
        RegKeyData* key = FindKey(keys, folded, err);
        if (!key) return err;
        auto it = FindValue(*key, name);
        if (it == key->values.end()) {
            key->values.emplace_back();
            it = key->values.end() - 1;
            it->name = name;
        }
        it->type = dwType;
        it->data = data;
        return ERROR_SUCCESS;
    });
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    auto& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    store.Refresh();
    std::u16string folded;
    LONG err = KeyPathOf(hKey, folded);
    if (err != ERROR_SUCCESS) return err;
    if (!store.Keys().count(folded)) return ERROR_KEY_DELETED;
    auto subkeys = SubkeysOf(store.Keys(), folded);
    if (dwIndex >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
    err = CopyName(subkeys[dwIndex].second, lpName, lpcchName);
    if (err != ERROR_SUCCESS) return err;
    if (lpClass && lpcchClass) {
        if (*lpcchClass > 0) lpClass[0] = 0;
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    auto& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    store.Refresh();
    LONG err;
    RegKeyData* key = OpenKeyData(hKey, err);
    if (!key) return err;
    if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& v = key->values[dwIndex];
    err = CopyName(v.name, lpValueName, lpcchValueName);
    if (err != ERROR_SUCCESS) return err;
    if (lpType) *lpType = v.type;
    DWORD size = static_cast<DWORD>(v.data.size());
    if (!lpcbData) return ERROR_SUCCESS;
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::copy(v.data.begin(), v.data.end(), lpData);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    std::u16string folded;
    LONG err = KeyPathOf(hKey, folded);
    if (err != ERROR_SUCCESS) return err;
    std::u16string name = lpValueName ? lpValueName : u"";
    return Modify([folded, name](KeyMap& keys) -> LONG {
        LONG err;
        RegKeyData* key = FindKey(keys, folded, err);
        if (!key) return err;
        auto it = FindValue(*key, name);
        if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
        key->values.erase(it);
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    std::vector<std::u16string> parts;
    if (!lpSubKey || !SplitKeyPath(lpSubKey, parts)) return ERROR_INVALID_PARAMETER;
    // A root, or the key itself, is never deleted through this call.
    if (parts.empty()) return ERROR_ACCESS_DENIED;
    std::u16string baseFolded;
    LONG err = KeyPathOf(hKey, baseFolded);
    if (err != ERROR_SUCCESS) return err;
    return Modify([baseFolded, parts](KeyMap& keys) -> LONG {
        if (!keys.count(baseFolded)) return ERROR_KEY_DELETED;
        std::u16string folded = baseFolded;
        for (const auto& p : parts) folded += u'\\' + Fold(p);
        auto it = keys.find(folded);
        if (it == keys.end()) return ERROR_FILE_NOT_FOUND;
        if (!SubkeysOf(keys, folded).empty()) return ERROR_ACCESS_DENIED;
        keys.erase(it);
        return ERROR_SUCCESS;
    });
}

LONG RegFlushKey(HKEY hKey) {
    // Outside a batch every change is already on disk when its call returns.
    std::u16string folded;
    LONG err = KeyPathOf(hKey, folded);
    if (err != ERROR_SUCCESS) return err;
    auto& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    return store.Batching() ? store.WritePending() : ERROR_SUCCESS;
}

namespace qrx {

RegistryBatch::RegistryBatch() : m_process(getpid()) {
    auto& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    store.BeginBatch();
}

RegistryBatch::~RegistryBatch() {
    if (Commit() != ERROR_SUCCESS) OutputDebugStringW(u"registry: the changes of a batch could not be written\n");
}

LONG RegistryBatch::Commit() {
    if (!m_open) return ERROR_SUCCESS;
    m_open = false;
    if (m_process != getpid()) return ERROR_SUCCESS;
    auto& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    return store.EndBatch();
}

}  // namespace qrx

LONG RegCloseKey(HKEY hKey) {
    if (PredefinedIndex(hKey) >= 0) return ERROR_SUCCESS;
    if (!HandleAs<RegKeyObject>(reinterpret_cast<HANDLE>(hKey))) return ERROR_INVALID_HANDLE;
    return ReleaseHandle(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
