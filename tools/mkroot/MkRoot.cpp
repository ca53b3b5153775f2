#include "MkRoot.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "qrx/boardapi.h"
#include "qrx/host.h"
#include "qrx/timezoneapi.h"

namespace mkroot {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxSearchDepth = 8;
constexpr uintmax_t kMaxInstallFile = 512u * 1024u * 1024u;
const char kDejaVuDir[] = "/usr/share/fonts/truetype/dejavu";
const char kNanumFont[] = "/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf";

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool EndsWithNoCase(const std::string& s, const std::string& tail) {
    return s.size() > tail.size() && Lower(s.substr(s.size() - tail.size())) == Lower(tail);
}

// The device maps path components without regard to case, so an existing "windows" folder is the
// one to use rather than a second "Windows" beside it.
fs::path ChildNoCase(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (Lower(it->path().filename().string()) == Lower(name)) return it->path();
    return dir / name;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (!fs::is_regular_file(b, ec) || fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    char ba[65536], bb[65536];
    while (fa && fb) {
        fa.read(ba, sizeof ba);
        fb.read(bb, sizeof bb);
        if (fa.gcount() != fb.gcount() || !std::equal(ba, ba + fa.gcount(), bb)) return false;
    }
    return fa.eof() && fb.eof();
}

class Builder {
public:
    Builder(const Options& o, std::ostream& out, std::ostream& err) : m_o(o), m_out(out), m_err(err) {}

    int Run() {
        std::error_code ec;
        m_build = fs::absolute(m_o.build, ec);
        if (ec || !fs::is_directory(m_build)) return Fail("build folder " + m_o.build + " not found");
        m_root = fs::absolute(m_o.root, ec);
        if (!ec) fs::create_directories(m_root, ec);
        if (ec || !fs::is_directory(m_root)) return Fail("cannot create the device root " + m_o.root);
        m_root = fs::canonical(m_root, ec);
        if (ec) return Fail("cannot resolve the device root " + m_o.root);
        if (fs::equivalent(m_root, m_build, ec)) return Fail("the device root cannot be the build folder");

        for (const char* folder : {"Windows", "NAND Flash", "SD Card", "Hard Disk"}) {
            // A volume taken out stays out until it arrives: a new empty folder would take its place.
            if (std::strcmp(folder, "Windows") != 0 && qrx::VolumeKeptAside(folder)) {
                m_volumesOut.push_back(folder);
                continue;
            }
            fs::path p = ChildNoCase(m_root, folder);
            fs::create_directories(p, ec);
            if (ec) return Fail("cannot create " + p.string());
        }
        m_windows = ChildNoCase(m_root, "Windows");
        m_nand = ChildNoCase(m_root, "NAND Flash");
        m_nandOut = std::find(m_volumesOut.begin(), m_volumesOut.end(), "NAND Flash") != m_volumesOut.end();
        if (m_o.reset && m_nandOut) return Fail("NAND Flash is taken out; it cannot be cleared until it arrives");
        if (m_o.reset && !ClearFolder(m_nand)) return Fail("cannot clear " + m_nand.string());

        if (!InstallBuilt() || !InstallArchives() || !InstallLanguages() || !InstallFonts()) return 1;
        if (!SeedRegistry()) return 1;
        if (!SetPins()) return 1;
        // The boot chain the device left the factory with; --reset puts it back.
        if (!qrx::SeedFactoryFlash(m_o.reset)) return Fail("cannot write the factory flash");
        Summary();
        return 0;
    }

private:
    int Fail(const std::string& what) {
        m_err << "qrx-mkroot: " << what << "\n";
        return 1;
    }
    void Warn(const std::string& what) { m_err << "qrx-mkroot: warning: " << what << "\n"; }

    bool ClearFolder(const fs::path& dir) {
        std::error_code ec;
        std::vector<fs::path> children;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) children.push_back(it->path());
        if (ec) return false;
        for (const fs::path& p : children) {
            fs::remove_all(p, ec);
            if (ec) return false;
        }
        return true;
    }

    // Through a temporary file renamed into place, so a program that is running keeps its image and
    // a failed copy leaves no half file under the real name.
    bool Install(const fs::path& src, const fs::path& dst, bool executable, std::vector<std::string>& list) {
        std::error_code ec;
        if (!fs::is_regular_file(src, ec) || fs::file_size(src, ec) > kMaxInstallFile || ec) {
            Fail(src.string() + ": not a file that can be installed");
            return false;
        }
        list.push_back(dst.filename().string());
        if (SameBytes(src, dst)) {
            ++m_unchanged;
            return true;
        }
        fs::path tmp = dst;
        tmp += ".mkroot-part";
        fs::create_directories(dst.parent_path(), ec);
        if (!ec) fs::copy_file(src, tmp, fs::copy_options::overwrite_existing, ec);
        if (!ec) {
            fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read;
            if (executable) perms |= fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
            fs::permissions(tmp, perms, ec);
        }
        if (!ec) fs::rename(tmp, dst, ec);
        if (ec) {
            fs::remove(tmp, ec);
            Fail("cannot install " + dst.string());
            return false;
        }
        ++m_copied;
        return true;
    }

    bool InstallBuilt() {
        for (const InstallEntry& e : InstallTable()) {
            std::string found = FindBuilt(m_build.string(), e, m_root.string());
            std::string device = std::string(e.name) + (e.library ? ".dll" : ".exe");
            if (found.empty()) {
                m_notBuilt.push_back(device);
                continue;
            }
            // Keep the spelling of a file already installed under another case.
            if (!Install(found, ChildNoCase(m_windows, device), true, e.library ? m_libraries : m_programs))
                return false;
        }
        return true;
    }

    // Files of one extension in a folder, sorted so the summary and the order of work are stable.
    static std::vector<fs::path> FilesIn(const fs::path& dir, const std::string& extension) {
        std::vector<fs::path> files;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec) && EndsWithNoCase(it->path().filename().string(), extension))
                files.push_back(it->path());
        std::sort(files.begin(), files.end());
        return files;
    }

    bool InstallArchives() {
        std::vector<fs::path> zips = FilesIn(m_build / "assets", ".zip");
        if (zips.empty()) Warn("no image archives in " + (m_build / "assets").string() + " (build the assets first)");
        for (const fs::path& z : zips)
            if (!Install(z, ChildNoCase(m_windows, z.filename().string()), false, m_archives)) return false;
        return true;
    }

    // The source folder the build was configured from, as its cache records it.
    std::optional<fs::path> SourceDir() const {
        std::ifstream cache(m_build / "CMakeCache.txt");
        std::string line;
        const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
        for (int n = 0; n < 100000 && std::getline(cache, line); ++n)
            if (line.rfind(key, 0) == 0) return fs::path(line.substr(key.size()));
        return std::nullopt;
    }

    bool InstallLanguages() {
        std::vector<fs::path> langs = FilesIn(m_build / "assets" / "lang", ".lang");
        if (langs.empty())
            if (std::optional<fs::path> src = SourceDir()) langs = FilesIn(*src / "assets" / "lang", ".lang");
        if (langs.empty()) Warn("no language files found in the build or its sources");
        for (const fs::path& l : langs)
            if (!Install(l, ChildNoCase(m_windows, l.filename().string()), false, m_languages)) return false;
        return true;
    }

    bool InstallFonts() {
        for (const char* face : {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf"}) {
            fs::path src = fs::path(kDejaVuDir) / face;
            std::error_code ec;
            if (!fs::is_regular_file(src, ec)) {
                Warn(src.string() + " not installed (package fonts-dejavu-core); UI font skipped");
                continue;
            }
            if (!Install(src, ChildNoCase(m_windows, face), false, m_fonts)) return false;
        }
        std::error_code ec;
        if (!fs::is_regular_file(kNanumFont, ec)) {
            Warn(std::string(kNanumFont) + " not installed (package fonts-nanum); the languages that need it stay off");
            return true;
        }
        if (m_nandOut) {
            Warn("NAND Flash is taken out; its font is not installed");
            return true;
        }
        fs::path fontDir = ChildNoCase(m_nand, "Font");
        return Install(kNanumFont, ChildNoCase(fontDir, "NanumGothicBold.ttf"), false, m_fonts);
    }

    static LONG SetString(const char16_t* keyPath, const char16_t* name, const std::u16string& value) {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
        RegCloseKey(key);
        return rc;
    }

    static bool HasValue(const char16_t* keyPath, const char16_t* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        DWORD size = 0;
        bool has = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0;
        RegCloseKey(key);
        return has;
    }

    bool SeedRegistry() {
        static const struct {
            const char16_t* profile;
            const char16_t* folder;
        } kProfiles[] = {{u"SDMMC", u"SD Card"}, {u"USBHDProfile", u"Hard Disk"}, {u"FlashDisk", u"NAND Flash"}};
        for (const auto& p : kProfiles) {
            std::u16string key = std::u16string(u"System\\StorageManager\\Profiles\\") + p.profile;
            if (SetString(key.c_str(), u"Folder", p.folder) != ERROR_SUCCESS)
                return Fail("cannot write the storage profiles to the registry") == 0;
        }
        auto start = std::chrono::steady_clock::now();
        if (!qrx::WriteDefaultTimeZones()) return Fail("cannot write the time zones to the registry") == 0;
        m_zoneSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (m_zoneSeconds > 2.0) Warn("seeding the time zones took " + std::to_string(m_zoneSeconds) + " s");
        // A calibration made on the device stays; only a missing one or a reset gets the default.
        const char16_t* touch = u"HARDWARE\\DEVICEMAP\\TOUCH";
        m_calibrationKept = !m_o.reset && HasValue(touch, u"CalibrationData");
        if (!m_calibrationKept && SetString(touch, u"CalibrationData", kDefaultCalibration) != ERROR_SUCCESS)
            return Fail("cannot write the touch calibration to the registry") == 0;
        return true;
    }

    // The default board: screen board 2.3 (pins 19 and 20 high) and display board 4.1 (53 and 57
    // high, 54 and 55 low). The revision pins are straps on the board, so a program cannot drive them.
    bool SetPins() {
        static const DWORD kPins[][2] = {{19, 1}, {20, 1}, {53, 1}, {54, 0}, {55, 0}, {57, 1}};
        for (const auto& p : kPins)
            if (!qrx::SetGpioPinLevel(p[0], p[1], true))
                return Fail("cannot set the level of GPIO pin " + std::to_string(p[0])) == 0;
        return true;
    }

    static std::string Join(const std::vector<std::string>& list) {
        if (list.empty()) return "none";
        std::string s;
        for (const std::string& x : list) s += (s.empty() ? "" : " ") + x;
        return s;
    }

    void Summary() {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", m_zoneSeconds);
        m_out << "qrx-mkroot: device root " << m_root.string() << "\n"
              << "  programs:  " << Join(m_programs) << "\n"
              << "  libraries: " << Join(m_libraries) << "\n";
        if (!m_notBuilt.empty()) m_out << "  not built: " << Join(m_notBuilt) << "\n";
        m_out << "  archives:  " << Join(m_archives) << "\n"
              << "  languages: " << Join(m_languages) << "\n"
              << "  fonts:     " << Join(m_fonts) << "\n"
              << "  files:     " << m_copied << " copied, " << m_unchanged << " unchanged\n"
              << "  registry:  storage profiles, time zones (" << seconds << " s), touch calibration "
              << (m_calibrationKept ? "kept" : "set") << "\n"
              << "  board:     screen 2.3, display 4.1\n"
              << "  flash:     boot chain " << (m_o.reset ? "renewed" : "kept (the factory chain when none)") << "\n"
              << "  NAND Flash: " << (m_nandOut ? "taken out" : m_o.reset ? "cleared" : "kept") << "\n";
        if (!m_volumesOut.empty())
            m_out << "  taken out: " << Join(m_volumesOut) << " (kept in .platform/volumes until they arrive)\n";
    }

    const Options& m_o;
    std::ostream& m_out;
    std::ostream& m_err;
    fs::path m_build, m_root, m_windows, m_nand;
    std::vector<std::string> m_programs, m_libraries, m_notBuilt, m_archives, m_languages, m_fonts, m_volumesOut;
    bool m_nandOut = false;
    int m_copied = 0, m_unchanged = 0;
    double m_zoneSeconds = 0;
    bool m_calibrationKept = false;
};

// Points the platform at the new root for the builder's registry and board writes, and back after.
class RootScope {
public:
    explicit RootScope(const std::string& root) {
        if (const char* old = std::getenv("QRX_DEVICE_ROOT")) m_old = old;
        setenv("QRX_DEVICE_ROOT", root.c_str(), 1);
        qrx::ReloadHostConfig();
    }
    ~RootScope() {
        if (m_old) setenv("QRX_DEVICE_ROOT", m_old->c_str(), 1);
        else unsetenv("QRX_DEVICE_ROOT");
        qrx::ReloadHostConfig();
    }
    RootScope(const RootScope&) = delete;
    RootScope& operator=(const RootScope&) = delete;

private:
    std::optional<std::string> m_old;
};

}  // namespace

// Raw touch readings of the five calibration points (centre, then the four corners), as the
// touch driver stores them.
const char16_t kDefaultCalibration[] = u"2048,2048 512,512 512,3584 3584,3584 3584,512 ";

const std::vector<InstallEntry>& InstallTable() {
    static const std::vector<InstallEntry> table = {
        {"QRX", false},     {"Splash", false},  {"Shutter", false},   {"Starter", false}, {"Reflash", false},
        {"Pairpad", false}, {"Trimset", false}, {"Radiolink", true}, {"Numpad", true},
    };
    return table;
}

std::string FindBuilt(const std::string& buildDir, const InstallEntry& entry, const std::string& skip) {
    std::vector<std::string> names;
    std::string n = Lower(entry.name);
    if (entry.library) names = {"lib" + n + ".so", n + ".so", n + ".dll"};
    else names = {n, n + ".exe"};
    std::error_code ec;
    fs::path skipPath = skip.empty() ? fs::path() : fs::path(skip);
    std::string best;
    int bestDepth = kMaxSearchDepth + 1;
    fs::recursive_directory_iterator it(buildDir, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& e = *it;
        std::string file = e.path().filename().string();
        std::error_code sub;
        if (e.is_directory(sub)) {
            bool deviceRoot = fs::exists(e.path() / ".platform", sub);
            bool skipped = !skipPath.empty() && fs::equivalent(e.path(), skipPath, sub);
            if (it.depth() >= kMaxSearchDepth || file == "CMakeFiles" || file == "Testing" || file == "_deps" ||
                file.empty() || file[0] == '.' || deviceRoot || skipped || e.is_symlink(sub))
                it.disable_recursion_pending();
            continue;
        }
        if (!e.is_regular_file(sub) || std::find(names.begin(), names.end(), Lower(file)) == names.end()) continue;
        if (!entry.library && (e.status(sub).permissions() & fs::perms::owner_exec) == fs::perms::none) continue;
        std::string path = e.path().string();
        if (it.depth() < bestDepth || (it.depth() == bestDepth && path < best)) {
            best = path;
            bestDepth = it.depth();
        }
    }
    return best;
}

bool ParseArgs(int argc, char** argv, Options& options, std::string& error) {
    options = Options{};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--root" || a == "--build") && i + 1 < argc && argv[i + 1][0] != '\0') {
            (a == "--root" ? options.root : options.build) = argv[++i];
        } else if (a == "--reset") {
            options.reset = true;
        } else {
            error = "unexpected argument '" + a + "'";
            return false;
        }
    }
    if (options.root.empty() || options.build.empty()) {
        error = "--root and --build are both needed";
        return false;
    }
    return true;
}

int Run(const Options& options, std::ostream& out, std::ostream& err) {
    std::error_code ec;
    // Checked before the root is made, so a mistyped build folder leaves no empty root behind.
    if (!fs::is_directory(options.build, ec)) {
        err << "qrx-mkroot: build folder " << options.build << " not found\n";
        return 1;
    }
    fs::path root = fs::absolute(options.root, ec);
    if (ec) {
        err << "qrx-mkroot: bad device root " << options.root << "\n";
        return 1;
    }
    // The platform must see the new root from the first registry write on; the folders are made
    // before, so the path the platform resolves is the one the builder fills.
    fs::create_directories(root, ec);
    RootScope scope(fs::weakly_canonical(root, ec).string());
    return Builder(options, out, err).Run();
}

}  // namespace mkroot
