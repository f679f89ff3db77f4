#include "foundation/Resources.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace foundation {

std::string Resources::executableDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path(ec).string();
    return exe.parent_path().string();
}

std::string Resources::resourceDirectory() {
    if (const char* env = std::getenv("QUORBITAL_RESOURCES"); env && *env) return env;
    fs::path exeDir = executableDirectory();
    const fs::path candidates[] = {exeDir / "resources", exeDir / ".." / "share" / "quorbital" / "resources"};
    std::error_code ec;
    for (const auto& c : candidates)
        if (fs::is_directory(c, ec)) return fs::weakly_canonical(c, ec).string();
    return QUORBITAL_SOURCE_RESOURCES;
}

std::optional<std::string> Resources::pathForResource(const std::string& name, const std::string& type) {
    fs::path p = fs::path(resourceDirectory()) / (type.empty() ? name : name + "." + type);
    std::error_code ec;
    if (!fs::is_regular_file(p, ec)) return std::nullopt;
    return p.string();
}

std::string Resources::pathForHelper(const std::string& name) {
    return (fs::path(executableDirectory()) / name).string();
}

std::string Resources::runningVersion() { return QUORBITAL_BUILD_VERSION; }
std::string Resources::shortVersion() { return QUORBITAL_VERSION; }

namespace {

enum class PartType { Number, String, Separator };

struct Part {
    PartType type;
    std::string text;
};

PartType typeOf(char c) {
    if (c >= '0' && c <= '9') return PartType::Number;
    if (c == '.' || c == ' ' || c == '-' || c == '_' || c == '+' || c == ',') return PartType::Separator;
    return PartType::String;
}

std::vector<Part> split(const std::string& v) {
    std::vector<Part> parts;
    for (char c : v) {
        PartType t = typeOf(c);
        // Separators stand one by one; numbers and words gather their characters.
        if (!parts.empty() && parts.back().type == t && t != PartType::Separator)
            parts.back().text += c;
        else
            parts.push_back({t, std::string(1, c)});
    }
    return parts;
}

int compareNumbers(const std::string& a, const std::string& b) {
    size_t i = a.find_first_not_of('0'), j = b.find_first_not_of('0');
    std::string x = i == std::string::npos ? "" : a.substr(i);
    std::string y = j == std::string::npos ? "" : b.substr(j);
    if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
    return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace

int compareVersions(const std::string& a, const std::string& b) {
    auto pa = split(a), pb = split(b);
    size_t n = std::min(pa.size(), pb.size());
    for (size_t i = 0; i < n; ++i) {
        const Part& x = pa[i];
        const Part& y = pb[i];
        if (x.type == y.type) {
            if (x.type == PartType::Number) {
                if (int c = compareNumbers(x.text, y.text)) return c;
            } else if (x.type == PartType::String) {
                if (x.text != y.text) return x.text < y.text ? -1 : 1;
            }
            continue;
        }
        // A word marks a pre-release: it orders before a number or a separator.
        if (x.type == PartType::String) return -1;
        if (y.type == PartType::String) return 1;
        // A number against a separator: the number is the later version.
        return x.type == PartType::Number ? 1 : -1;
    }
    if (pa.size() == pb.size()) return 0;
    // One goes on past the other: "1.0b" is older than "1.0", "1.0.1" newer.
    const auto& longer = pa.size() > pb.size() ? pa : pb;
    int longerSign = pa.size() > pb.size() ? 1 : -1;
    const Part& next = longer[n];
    bool preRelease = next.type == PartType::String || (next.type == PartType::Separator && n + 1 < longer.size() &&
                                                        longer[n + 1].type == PartType::String);
    return preRelease ? -longerSign : longerSign;
}

}  // namespace foundation
