// A touch-layout file entering the import: any input gives routes or none, never a crash, a hang
// or unbounded memory, and never two routes with one address or an address past the cap.
// An input that is not a zip archive already (it does not begin "PK") is packed as the layout's
// one XML entry first, so that most runs reach the XML reading rather than stopping at the
// archive's header; inputs that are archives exercise the archive reading and the entries'
// concatenation.
#include "features/TouchOSCFileDecoder.h"

#include <zip.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

namespace {

std::string layoutPath() {
    static const std::string path = [] {
        const char* folder = std::getenv("TMPDIR");
        return std::string(folder && *folder ? folder : "/tmp") + "/fuzz_touchlayout." + std::to_string(getpid()) +
               ".touchosc";
    }();
    return path;
}

bool writeArchive(const std::string& path, const uint8_t* data, size_t size) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) return false;
    zip_source_t* source = zip_source_buffer(archive, data, size, 0);
    if (!source || zip_file_add(archive, "index.xml", source, ZIP_FL_OVERWRITE) < 0) {
        if (source) zip_source_free(source);
        zip_discard(archive);
        return false;
    }
    return zip_close(archive) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = layoutPath();
    if (size >= 2 && data[0] == 'P' && data[1] == 'K') {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    } else if (!writeArchive(path, data, size)) {
        return 0;
    }
    TouchOSCFileDecoder decoder(path);
    std::set<std::string> seen;
    for (const auto& route : decoder.decodeRoutes()) {
        const std::string address = route->rewriteAddress().value_or("");
        if (address.empty() || address.size() > TouchOSCFileDecoder::kMaximumAddressLength) std::abort();
        if (!seen.insert(address).second) std::abort();
    }
    unlink(path.c_str());
    return 0;
}
