#pragma once
// Named resources, helper programs and the running version.
//
// The resources folder is looked for, in order: $QUORBITAL_RESOURCES; beside the program
// ("resources/"); where an install puts it ("../share/quorbital/resources"); the source tree the
// program was built from.

#include <optional>
#include <string>

namespace foundation {

class Resources {
public:
    static std::string resourceDirectory();
    // The path of "name.type" in the resources folder, or none when there is no such file.
    static std::optional<std::string> pathForResource(const std::string& name, const std::string& type);
    // A helper program installed beside the running program.
    static std::string pathForHelper(const std::string& name);
    // The folder of the running program.
    static std::string executableDirectory();

    // The build number the preferences compare when migrating ("CFBundleVersion").
    static std::string runningVersion();
    // The release version shown to people.
    static std::string shortVersion();
};

// Orders version texts the way release numbers are meant: numbers by value, "1.0b1" before
// "1.0", "1.0" before "1.0.1". Negative, zero or positive like strcmp.
int compareVersions(const std::string& a, const std::string& b);

}  // namespace foundation
