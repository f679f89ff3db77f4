#pragma once
// User defaults: the settings of the application, looked up in three domains in turn:
//   1. the argument domain: "-key value" pairs of the command line ("-headless /path");
//   2. the persistent domain: a property-list file under $XDG_CONFIG_HOME/quorbital/;
//   3. the registration domain: the initial values the application registers at start-up.
// Writes go to the persistent domain, which `synchronize` saves. Every change posts
// kUserDefaultsDidChangeNotification.

#include "foundation/Value.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace foundation {

inline constexpr const char* kUserDefaultsDidChangeNotification = "NSUserDefaultsDidChangeNotification";

class UserDefaults {
public:
    // The process's defaults, stored in $XDG_CONFIG_HOME/quorbital/Quorbital.plist (or
    // ~/.config/quorbital/Quorbital.plist).
    static UserDefaults& standard();
    static std::string defaultPersistentPath();

    // Defaults stored in another file (tests, tools). The file is read now, if it exists. A file
    // whose bytes were read but are no property list is moved aside under a name of its own
    // (".damaged", ".damaged-2", …). A file that cannot be read, anything at the path that is not
    // a regular file (a FIFO would block here), and a damaged file that cannot be moved aside are
    // left as they are and never overwritten: the registered values are used for the run. Each
    // case is logged as it happened.
    explicit UserDefaults(std::string persistentPath);

    // Sets the argument domain from a command line (argv[0] is skipped).
    void setArguments(int argc, const char* const* argv);
    void setArguments(const std::vector<std::string>& arguments);
    void registerDefaults(const Dictionary& defaults);

    Value objectForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    int64_t integerForKey(const std::string& key) const;
    uint64_t unsignedLongLongForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    float floatForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<Data> dataForKey(const std::string& key) const;
    std::optional<Dictionary> dictionaryForKey(const std::string& key) const;

    void setObject(const Value& value, const std::string& key);  // a null value removes the key
    void setBool(bool value, const std::string& key) { setObject(Value(value), key); }
    void setInteger(int64_t value, const std::string& key) { setObject(Value(value), key); }
    void setUnsignedLongLong(uint64_t value, const std::string& key) { setObject(Value(value), key); }
    void setDouble(double value, const std::string& key) { setObject(Value(value), key); }
    void setFloat(float value, const std::string& key) { setObject(Value(value), key); }
    void setString(const std::string& value, const std::string& key) { setObject(Value(value), key); }
    void removeObjectForKey(const std::string& key);

    // The keys of the persistent domain, and every key's effective value.
    std::vector<std::string> persistentKeys() const;
    Dictionary dictionaryRepresentation() const;

    // Writes the persistent domain to its file when it changed; false when writing failed, or
    // when the file found at start-up is left as it is (logged).
    bool synchronize();
    const std::string& persistentPath() const { return path_; }

private:
    void changed();
    void load();
    void moveAside(const std::string& reason);
    void leaveAsFound(const std::string& what);

    mutable std::recursive_mutex mutex_;
    std::string path_;
    Dictionary arguments_;
    Dictionary persistent_;
    Dictionary registration_;
    bool dirty_ = false;
    // What is at the path was not read, or not moved aside: it is never written over.
    bool leftAsFound_ = false;
};

// The initial values a preferences window resets to.
class UserDefaultsController {
public:
    static UserDefaultsController& shared();
    const Dictionary& initialValues() const { return initialValues_; }
    void setInitialValues(Dictionary values) { initialValues_ = std::move(values); }

private:
    Dictionary initialValues_;
};

}  // namespace foundation
