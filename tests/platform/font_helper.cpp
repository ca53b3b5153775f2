// A second program of the device for the font tests: adds the font file given as its argument,
// reports AddFontResourceW's result on stdout and holds the font until its stdin closes.
#include <unistd.h>

#include <cstdio>

#include "windows.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::u16string path = QrxFromUtf8(argv[1]);
    std::printf("%d\n", AddFontResourceW(path.c_str()));
    std::fflush(stdout);
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return RemoveFontResourceW(path.c_str()) ? 0 : 1;
}
