#pragma once
// The one symbol the program looks up in the windowed application's module: it makes the
// application (the caller owns it). With static libraries the module is linked into the program.

#include "document/QuorbitalCore.h"

extern "C" QRBApplicationInterface* quorbitalCreateWindowedApplication();

inline constexpr const char* kQuorbitalGuiModule = "libquorbital_gui.so";
inline constexpr const char* kQuorbitalGuiEntry = "quorbitalCreateWindowedApplication";
