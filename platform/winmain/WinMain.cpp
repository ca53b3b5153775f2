// The host's entry point of a device program. The command line arrives as argv[1], exactly as the
// parent's CreateProcessW gave it.
#include <windows.h>

#include <string>

int main(int argc, char** argv) {
    std::u16string commandLine = qrx::WinMainCommandLine(argc, argv);
    int result = WinMain(GetModuleHandleW(nullptr), nullptr, commandLine.data(), SW_SHOW);
    qrx::ReportExitCode(static_cast<DWORD>(result));
    return result;
}
