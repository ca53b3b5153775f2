// qrx-mkroot --root DIR --build BUILDDIR [--reset]
#include <iostream>

#include "MkRoot.h"

int main(int argc, char** argv) {
    mkroot::Options options;
    std::string error;
    if (!mkroot::ParseArgs(argc, argv, options, error)) {
        std::cerr << "qrx-mkroot: " << error << "\nusage: qrx-mkroot --root DIR --build BUILDDIR [--reset]\n";
        return 2;
    }
    return mkroot::Run(options, std::cout, std::cerr);
}
