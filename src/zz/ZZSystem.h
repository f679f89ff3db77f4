#pragma once
// The running system's version.

#include <string>

// The running kernel's version as major, minor and patch (0 for a missing part). Read once per
// process; a null out-parameter is skipped. Never fails: an unreadable version reads as 0.0.0.
void GetSystemVersion(int* major, int* minor, int* patch);

// Parses "6.1.0-13-amd64" style text into its leading numeric parts.
void ZZParseVersion(const std::string& text, int* major, int* minor, int* patch);
