// A program of the device for the process tests, installed as \Windows\Child.exe. It records what
// it was started with in \NAND Flash\child-<pid>.txt (UTF-16: module path, show command, command
// line, one per line) and then does what its command line asks. Built with
// QRX_PROCESS_TEST_LIBRARY, the same file is the library of the library tests (\Windows\ProcLib.dll).
#include <windows.h>

#ifdef QRX_PROCESS_TEST_LIBRARY

#define QRX_EXPORT extern "C" __attribute__((visibility("default")))

QRX_EXPORT int ProcLibAdd(int a, int b) { return a + b; }
QRX_EXPORT int ProcLibTwice(int a) { return 2 * a; }

QRX_EXPORT const QrxOrdinalEntry* QrxOrdinalTable() {
    static const QrxOrdinalEntry table[] = {{1, "ProcLibAdd"}, {2, "ProcLibTwice"}, {9, "ProcLibGone"}, {0, nullptr}};
    return table;
}

#else

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

void Record(const std::u16string& text) {
    std::string host;
    std::string name = "\\NAND Flash\\child-" + std::to_string(getpid()) + ".txt";
    if (!qrx::MapDevicePath(QrxFromUtf8(name).c_str(), host)) return;
    // Written under another name first, so the test never reads half a record.
    std::string temp = host + ".part";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) return;
    for (char16_t c : text) {
        std::fputc(c & 0xFF, f);
        std::fputc(c >> 8, f);
    }
    std::fclose(f);
    std::rename(temp.c_str(), host.c_str());
}

bool Command(const std::u16string& line, const char16_t* verb, DWORD& value) {
    std::u16string prefix = std::u16string(verb) + u" ";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    value = static_cast<DWORD>(wcstoul(line.c_str() + prefix.size(), nullptr, 10));
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd) {
    WCHAR module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::u16string line = lpCmdLine;
    std::u16string record = module;
    record += u'\n';
    record += hInstance == GetModuleHandleW(nullptr) && !hPrevInstance ? u"instance" : u"wrong instance";
    record += u' ';
    record += static_cast<char16_t>(u'0' + nShowCmd);
    record += u'\n';
    record += line;
    Record(record);

    DWORD value = 0;
    if (Command(line, u"exit", value)) return static_cast<int>(value);
    if (Command(line, u"exitprocess", value)) ExitProcess(value);
    if (Command(line, u"signal", value)) raise(static_cast<int>(value));
    if (Command(line, u"sleep", value)) {
        Sleep(value);
        return 0;
    }
    return 7;
}

#endif
