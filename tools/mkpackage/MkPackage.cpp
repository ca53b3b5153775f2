#include "MkPackage.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "ZipWriter.h"
#include "qrx/flashapi.h"

namespace mkpackage {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kHeaderSize = 78;

const char* const kPmcEntries[] = {"QRX_PMC_APP.bin", "QRX_PMC_APP_R1.bin", "QRX_PMC_APP_R2.bin",
                                   "QRX_PMC_APP_R2_3.bin", "[Z330]FW.bin"};

bool Has(const Options& o, const char* fault) {
    return std::find(o.faults.begin(), o.faults.end(), fault) != o.faults.end();
}

void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

bool ZipToMemory(const std::vector<mkimages::ZipMember>& members, Bytes& out, std::string& error) {
    char path[] = "/tmp/qrx-mkpackage-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        error = "cannot make a temporary file";
        return false;
    }
    close(fd);
    bool ok = mkimages::WriteZip(path, members, error);
    if (ok) {
        std::ifstream in(path, std::ios::binary);
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ok = !out.empty();
    }
    std::remove(path);
    return ok;
}

// Applies fn(localHeaderAt, centralAt) to the archive's entry of that name.
template <typename Fn>
bool PatchEntry(Bytes& zip, const std::string& name, Fn fn) {
    size_t local = std::string::npos, central = std::string::npos;
    for (size_t i = 0; i + 46 <= zip.size(); ++i) {
        uint32_t sig = Get32(zip, i);
        if (sig == 0x04034b50 && local == std::string::npos && i + 30 + name.size() <= zip.size() &&
            Get16(zip, i + 26) == name.size() && std::memcmp(&zip[i + 30], name.data(), name.size()) == 0)
            local = i;
        if (sig == 0x02014b50 && i + 46 + name.size() <= zip.size() && Get16(zip, i + 28) == name.size() &&
            std::memcmp(&zip[i + 46], name.data(), name.size()) == 0)
            central = i;
    }
    if (local == std::string::npos || central == std::string::npos) return false;
    fn(local, central);
    return true;
}

std::vector<mkimages::ZipMember> FlashMembers(const Options& o) {
    std::vector<mkimages::ZipMember> m;
    const std::string& t = o.tag;
    if (Has(o, "empty-flash")) {
        m.push_back({"Flash Data/README.TXT", Bytes(100, 'x')});
        return m;
    }
    if (o.flash) {
        Bytes xldr = qrx::MakeFlashImage("xldr", t, Has(o, "xldr-large") ? 0x20000 - 7 : o.xldrSize);
        if (Has(o, "xldr-short")) xldr.resize(60);
        Bytes eboot = qrx::MakeFlashImage("eboot", t, Has(o, "eboot-large") ? 0xA0001 : o.ebootSize);
        Bytes os = qrx::MakeFlashImage("os", t, o.osSize);
        Bytes logo = qrx::MakeFlashImage("logo", t, Has(o, "logo-large") ? 0xE0001 : o.logoSize);
        if (Has(o, "xldr-signature")) xldr[64] = 'X';
        if (Has(o, "eboot-signature")) eboot[64] = 'X';
        if (Has(o, "nk-signature")) os[64] = 'X';
        m.push_back({"Flash Data/XLDRNAND.nb0", std::move(xldr)});
        m.push_back({"Flash Data/EBOOTND.nb0", std::move(eboot)});
        m.push_back({"Flash Data/BOOTLOGO.bin", std::move(logo)});
        m.push_back({"Flash Data/EMERGENCY.bin", qrx::MakeFlashImage("os", t + "-emergency", 4096)});
        m.push_back({"Flash Data/NK.nb0", std::move(os)});
    }
    if (o.pmc)
        for (const char* entry : kPmcEntries)
            m.push_back({std::string("Flash Data/") + entry,
                         MakePmcFirmware(entry, t, Has(o, "pmc-large") ? 0x4001 : o.pmcSize)});
    return m;
}

bool AppMembers(const Options& o, const std::string& dir, const std::string& rel,
                std::vector<mkimages::ZipMember>& m, std::string& error) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        error = "cannot read " + dir;
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::string path = dir + "/" + n;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (!AppMembers(o, path, rel + n + "/", m, error)) return false;
            continue;
        }
        std::ifstream in(path, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        m.push_back({"Application Data/" + rel + n, std::move(bytes)});
    }
    return true;
}

bool AddUnsafeNames(const Options& o, std::vector<mkimages::ZipMember>& m) {
    const std::pair<const char*, const char*> unsafe[] = {{"name-dotdot", "Application Data/../Windows/evil.txt"},
                                                          {"name-root", "Application Data/\\Windows\\evil.txt"},
                                                          {"name-slash", "Application Data//evil.txt"},
                                                          {"name-drive", "Application Data/C:evil.txt"}};
    bool any = false;
    for (const auto& [fault, name] : unsafe)
        if (Has(o, fault)) {
            m.push_back({name, Bytes(16, 'e')});
            any = true;
        }
    return any;
}

}  // namespace

const std::vector<std::string>& FaultNames() {
    static const std::vector<std::string> names{
        "magic",          "magic-tail",      "version-unterminated", "flash-outside", "app-outside",
        "size-high",      "header-overlap",  "crc",                  "declared-size", "empty-flash",
        "xldr-signature", "eboot-signature", "nk-signature",         "xldr-large",    "eboot-large",
        "logo-large",     "xldr-short",      "pmc-large",            "name-dotdot",   "name-root",
        "name-slash",     "name-drive"};
    return names;
}

std::vector<uint8_t> MakePmcFirmware(const std::string& entry, const std::string& tag, size_t size) {
    if (size == 0) size = 0x3000;
    if (size < 8) size = 8;
    uint8_t generation = entry == "QRX_PMC_APP.bin" ? 240 : entry == "QRX_PMC_APP_R1.bin" ? 241 : 242;
    std::vector<uint8_t> fw = qrx::MakeFlashImage("logo", tag + "/" + entry, size > 256 ? size : 256);
    fw.resize(size);
    uint8_t minor = 0;
    for (char c : tag) minor = static_cast<uint8_t>(minor * 31 + static_cast<uint8_t>(c));
    fw[0] = generation;
    fw[1] = 1;
    fw[2] = 0;
    fw[3] = minor;
    return fw;
}

bool BuildPackage(const Options& o, std::vector<uint8_t>& package, std::string& error) {
    for (const std::string& f : o.faults)
        if (std::find(FaultNames().begin(), FaultNames().end(), f) == FaultNames().end()) {
            error = "unknown fault " + f;
            return false;
        }
    Bytes flash, app;
    std::vector<mkimages::ZipMember> fm = FlashMembers(o);
    if (!fm.empty() && !ZipToMemory(fm, flash, error)) return false;
    std::vector<mkimages::ZipMember> am;
    if (!o.appDir.empty() && !AppMembers(o, o.appDir, "", am, error)) return false;
    AddUnsafeNames(o, am);
    if (!am.empty() && !ZipToMemory(am, app, error)) return false;

    if (Has(o, "crc") && !flash.empty()) {
        std::string victim = o.flash ? "Flash Data/NK.nb0" : fm.front().name;
        PatchEntry(flash, victim, [&](size_t local, size_t) {
            size_t data = local + 30 + Get16(flash, local + 26) + Get16(flash, local + 28);
            flash[data + Get32(flash, local + 18) / 2] ^= 0x5A;
        });
    }
    if (Has(o, "declared-size") && !flash.empty()) {
        std::string victim = o.flash ? "Flash Data/NK.nb0" : fm.front().name;
        PatchEntry(flash, victim, [&](size_t local, size_t central) {
            uint32_t claimed = Get32(flash, local + 22) / 2;
            Put32(flash, local + 22, claimed);
            Put32(flash, central + 24, claimed);
        });
    }
    // The parts travel without their leading "PK".
    for (Bytes* part : {&flash, &app})
        if (part->size() >= 2) (*part)[0] = (*part)[1] = 0;

    package.assign(kHeaderSize, 0);
    std::string magic = Has(o, "magic") ? "QRX2 FWDATB" : "QRX2 FWDATA";
    std::memcpy(package.data(), magic.data(), magic.size());
    if (Has(o, "magic-tail")) package[magic.size()] = 'X';
    uint64_t flashOffset = kHeaderSize, appOffset = kHeaderSize + flash.size();
    uint64_t flashSize = flash.size(), appSize = app.size();
    if (Has(o, "flash-outside")) flashSize += 1000;
    if (Has(o, "app-outside")) appOffset += 1u << 20;
    if (Has(o, "size-high")) flashSize |= 1ull << 32;
    if (Has(o, "header-overlap")) flashOffset = 10;
    Put64(package, 26, flashOffset);
    Put64(package, 34, flashSize);
    Put64(package, 42, appOffset);
    Put64(package, 50, appSize);
    std::string version = Has(o, "version-unterminated") ? "OS-" + o.tag + "-LONG-NAME" : o.tag;
    for (size_t i = 0; i < version.size() && i < 10; ++i) package[58 + 2 * i] = static_cast<uint8_t>(version[i]);
    package.insert(package.end(), flash.begin(), flash.end());
    package.insert(package.end(), app.begin(), app.end());
    return true;
}

bool ParseArgs(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc && argv[i + 1][0] != '\0';
        if (a == "--out" && hasValue)
            o.out = argv[++i];
        else if (a == "--tag" && hasValue)
            o.tag = argv[++i];
        else if (a == "--app" && hasValue)
            o.appDir = argv[++i];
        else if (a == "--fault" && hasValue)
            o.faults.push_back(argv[++i]);
        else if (a == "--flash")
            o.flash = true;
        else if (a == "--pmc")
            o.pmc = true;
        else {
            error = "unknown argument " + a;
            return false;
        }
    }
    if (o.out.empty()) error = "--out FILE is needed";
    else if (o.tag.size() > 31) error = "the tag is longer than 31 characters";
    return error.empty();
}

int Run(const Options& o, std::ostream& err) {
    Bytes package;
    std::string error;
    if (!BuildPackage(o, package, error)) {
        err << "qrx-mkpackage: " << error << "\n";
        return 1;
    }
    std::string temp = o.out + ".part";
    {
        std::ofstream f(temp, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(package.data()), static_cast<std::streamsize>(package.size()));
        if (!f.good()) {
            err << "qrx-mkpackage: cannot write " << temp << "\n";
            std::remove(temp.c_str());
            return 1;
        }
    }
    if (std::rename(temp.c_str(), o.out.c_str()) != 0) {
        err << "qrx-mkpackage: cannot replace " << o.out << "\n";
        std::remove(temp.c_str());
        return 1;
    }
    return 0;
}

}  // namespace mkpackage
