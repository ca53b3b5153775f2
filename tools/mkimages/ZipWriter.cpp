#include "ZipWriter.h"

#include <zip.h>

#include <cstdio>
#include <limits>

namespace mkimages {

bool WriteZip(const std::string& hostPath, const std::vector<ZipMember>& members, std::string& error) {
    std::string temp = hostPath + ".part";
    zipFile zf = zipOpen64(temp.c_str(), APPEND_STATUS_CREATE);
    if (!zf) {
        error = "cannot create " + temp;
        return false;
    }
    bool ok = true;
    for (const ZipMember& m : members) {
        if (m.bytes.size() > std::numeric_limits<unsigned>::max()) {
            error = m.name + ": member too large";
            ok = false;
            break;
        }
        zip_fileinfo zi{};
        zi.tmz_date.tm_year = 2020;
        zi.tmz_date.tm_mon = 0;
        zi.tmz_date.tm_mday = 1;
        if (zipOpenNewFileInZip(zf, m.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9) != ZIP_OK ||
            zipWriteInFileInZip(zf, m.bytes.data(), static_cast<unsigned>(m.bytes.size())) != ZIP_OK ||
            zipCloseFileInZip(zf) != ZIP_OK) {
            error = m.name + ": cannot write the member";
            ok = false;
            break;
        }
    }
    if (zipClose(zf, nullptr) != ZIP_OK && ok) {
        error = "cannot finish " + temp;
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), hostPath.c_str()) != 0) {
        error = "cannot replace " + hostPath;
        ok = false;
    }
    if (!ok) std::remove(temp.c_str());
    return ok;
}

}  // namespace mkimages
