#include <iostream>

#include "MkPackage.h"

int main(int argc, char** argv) {
    mkpackage::Options options;
    std::string error;
    if (!mkpackage::ParseArgs(argc, argv, options, error)) {
        std::cerr << "qrx-mkpackage: " << error << "\n"
                  << "usage: qrx-mkpackage --out FILE [--tag T] [--flash] [--pmc] [--app DIR] [--fault NAME]...\n"
                  << "faults:";
        for (const std::string& f : mkpackage::FaultNames()) std::cerr << " " << f;
        std::cerr << "\n";
        return 2;
    }
    return mkpackage::Run(options, std::cerr);
}
