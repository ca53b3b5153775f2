// Creates the named event given as its first argument, reports GetLastError() on stdout and holds
// the name until its stdin closes (or it is killed). With "child" as second argument it first
// starts a long sleep as a child of its own, reporting the child's pid after the error code.
#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "windows.h"

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) return 2;
    std::u16string name = QrxFromUtf8(argv[1]);
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    DWORD error = GetLastError();
    if (!h) return 1;
    pid_t child = 0;
    if (argc == 3 && std::strcmp(argv[2], "child") == 0) {
        char sleepPath[] = "/bin/sleep";
        char seconds[] = "300";
        char* childArgv[] = {sleepPath, seconds, nullptr};
        if (posix_spawn(&child, sleepPath, nullptr, nullptr, childArgv, environ) != 0) return 1;
    }
    if (child)
        std::printf("%u %d\n", static_cast<unsigned>(error), static_cast<int>(child));
    else
        std::printf("%u\n", static_cast<unsigned>(error));
    std::fflush(stdout);
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    CloseHandle(h);
    return 0;
}
