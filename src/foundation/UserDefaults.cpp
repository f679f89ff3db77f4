#include "foundation/UserDefaults.h"

#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/NotificationCenter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

namespace fs = std::filesystem;

namespace foundation {

namespace {

// Text read as a number the way settings typed on a command line are: the leading number.
std::optional<double> leadingNumber(const std::string& s) {
    const char* p = s.c_str();
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(p, &end);
    if (end == p) return std::nullopt;
    return d;
}

bool textAsBool(const std::string& s) {
    if (s.empty()) return false;
    char c = s[0];
    if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
    auto n = leadingNumber(s);
    return n && *n != 0.0;
}

int64_t saturatedInteger(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults(defaultPersistentPath());
    return defaults;
}

std::string UserDefaults::defaultPersistentPath() {
    fs::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = fs::path(home) / ".config";
    } else {
        base = fs::temp_directory_path();
    }
    return (base / "quorbital" / "Quorbital.plist").string();
}

UserDefaults::UserDefaults(std::string persistentPath) : path_(std::move(persistentPath)) { load(); }

void UserDefaults::load() {
    // Opened without blocking and then looked at, so that what is checked is what is read: a FIFO
    // at the path would otherwise hold start-up until someone writes to it.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return;  // nothing saved yet
        leaveAsFound(format("could not be opened (%s)", std::strerror(errno)));
        return;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = errno;
        ::close(fd);
        if (status.st_mode == 0)
            leaveAsFound(format("could not be examined (%s)", std::strerror(error)));
        else
            leaveAsFound(format("are not in a regular file (%s)", S_ISDIR(status.st_mode)    ? "a folder"
                                                                  : S_ISFIFO(status.st_mode) ? "a FIFO"
                                                                  : S_ISSOCK(status.st_mode) ? "a socket"
                                                                                             : "a device"));
        return;
    }
    Data data;
    for (;;) {
        uint8_t buffer[16384];
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            data.insert(data.end(), buffer, buffer + count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            const int error = errno;
            ::close(fd);
            leaveAsFound(format("could not be read (%s)", std::strerror(error)));
            return;
        }
        break;
    }
    ::close(fd);

    // Only bytes that were read and are no settings are damaged.
    try {
        Value v = propertyListFromData(data);
        if (auto d = v.dictionaryValue()) {
            persistent_ = *d;
            return;
        }
        throw PropertyListError("not a dictionary");
    } catch (const PropertyListError& e) {
        moveAside(e.reason());
    }
}

void UserDefaults::moveAside(const std::string& reason) {
    // Each damaged file keeps its own backup: one found on a later start never replaces the
    // first. The rename refuses to replace; a file system that cannot do that gets link and
    // unlink, which refuse as well.
    for (int n = 1; n <= 1000; ++n) {
        const std::string aside = n == 1 ? path_ + ".damaged" : format("%s.damaged-%d", path_.c_str(), n);
        int result = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            result = ::link(path_.c_str(), aside.c_str());
            if (result == 0 && ::unlink(path_.c_str()) != 0) {
                const int error = errno;
                ::unlink(aside.c_str());
                errno = error;
                result = -1;
            }
        }
        if (result == 0) {
            logf("User defaults in %s are damaged (%s); moved aside to %s.", path_.c_str(), reason.c_str(),
                 aside.c_str());
            return;
        }
        if (errno != EEXIST) {
            leaveAsFound(format("are damaged (%s), and could not be moved aside to %s (%s)", reason.c_str(),
                                aside.c_str(), std::strerror(errno)));
            return;
        }
    }
    leaveAsFound(format("are damaged (%s), and a thousand damaged ones are already kept beside them", reason.c_str()));
}

void UserDefaults::leaveAsFound(const std::string& what) {
    leftAsFound_ = true;
    logf("User defaults in %s %s; the registered values are used, and the file is left as it is.", path_.c_str(),
         what.c_str());
}

void UserDefaults::setArguments(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
    setArguments(args);
}

void UserDefaults::setArguments(const std::vector<std::string>& arguments) {
    Dictionary parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a.size() > 1 && a[0] == '-' && i + 1 < arguments.size()) {
            parsed[a.substr(1)] = Value(arguments[i + 1]);
            ++i;
        }
    }
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        arguments_ = std::move(parsed);
    }
    changed();
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        for (const auto& [k, v] : defaults) registration_[k] = v;
    }
    changed();
}

Value UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const Dictionary* domain : {&arguments_, &persistent_, &registration_}) {
        auto found = domain->find(key);
        if (found != domain->end()) return found->second;
    }
    return Value();
}

bool UserDefaults::boolForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (auto s = v.stringValue()) return textAsBool(*s);
    return v.boolValue().value_or(false);
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (auto s = v.stringValue()) return saturatedInteger(leadingNumber(*s).value_or(0.0));
    return v.integerValue().value_or(0);
}

uint64_t UserDefaults::unsignedLongLongForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (auto s = v.stringValue()) {
        errno = 0;
        unsigned long long u = std::strtoull(s->c_str(), nullptr, 10);
        return errno == ERANGE ? std::numeric_limits<uint64_t>::max() : u;
    }
    return v.uint64Value().value_or(0);
}

double UserDefaults::doubleForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (auto s = v.stringValue()) return leadingNumber(*s).value_or(0.0);
    return v.realValue().value_or(0.0);
}

float UserDefaults::floatForKey(const std::string& key) const {
    double d = doubleForKey(key);
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
        return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (auto s = v.stringValue()) return *s;
    if (auto i = v.getIf<int64_t>()) return std::to_string(*i);
    if (auto d = v.getIf<double>()) return std::to_string(*d);
    return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (auto d = v.dataValue()) return *d;
    return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (auto d = v.dictionaryValue()) return *d;
    return std::nullopt;
}

void UserDefaults::setObject(const Value& value, const std::string& key) {
    if (value.isNull()) {
        removeObjectForKey(key);
        return;
    }
    if (value.type() == Value::Type::Object) throw PropertyListError("objects cannot be stored in user defaults");
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        persistent_[key] = value;
        dirty_ = true;
    }
    changed();
}

void UserDefaults::removeObjectForKey(const std::string& key) {
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (persistent_.erase(key) == 0) return;
        dirty_ = true;
    }
    changed();
}

std::vector<std::string> UserDefaults::persistentKeys() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::string> keys;
    for (const auto& [k, v] : persistent_) keys.push_back(k);
    return keys;
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Dictionary all = registration_;
    for (const auto& [k, v] : persistent_) all[k] = v;
    for (const auto& [k, v] : arguments_) all[k] = v;
    return all;
}

bool UserDefaults::synchronize() {
    Data data;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (!dirty_) return true;
        if (leftAsFound_) {
            logf("User defaults not saved: %s is left as it was found at start-up.", path_.c_str());
            return false;
        }
        data = binaryPropertyListData(Value(persistent_));
    }
    try {
        std::error_code ec;
        fs::create_directories(fs::path(path_).parent_path(), ec);
        writeFileAtomically(path_, data);
    } catch (const PropertyListError& e) {
        logf("Could not save user defaults: %s", e.reason().c_str());
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    dirty_ = false;
    return true;
}

void UserDefaults::changed() {
    // Called with no lock held, so observers may read the defaults from any thread.
    NotificationCenter::defaultCenter().post(kUserDefaultsDidChangeNotification, this);
}

UserDefaultsController& UserDefaultsController::shared() {
    static UserDefaultsController controller;
    return controller;
}

}  // namespace foundation
