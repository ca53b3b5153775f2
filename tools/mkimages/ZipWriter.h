// Packs image archives with minizip's zip interface.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace mkimages {

struct ZipMember {
    std::string name;
    std::vector<uint8_t> bytes;
};

// Writes the members in order into a new archive at hostPath (through a temporary file that
// replaces it only when complete). Every member carries one fixed date, so the archive's bytes
// depend only on its contents.
bool WriteZip(const std::string& hostPath, const std::vector<ZipMember>& members, std::string& error);

}  // namespace mkimages
