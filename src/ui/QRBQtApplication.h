#pragma once
// The windowed application: the Qt application on the core's main run loop, with a document
// window. Made only for a windowed run, so that a headless one never creates a Qt application.

#include "document/QuorbitalCore.h"

#include <string>
#include <vector>

namespace ui {

class QRBQtApplication : public QRBApplicationInterface {
public:
    static constexpr const char* kNoDisplay =
        "Quorbital found no display to open its windows on (DISPLAY is not set). Run a document without "
        "one: quorbital -headless <document>";
    // "-screenshots <folder>": writes a PNG of every window state the program builds, then quits.
    static constexpr const char* kScreenshotsArgument = "-screenshots";

    int run(int argc, const char* const* argv) override;
    void terminate() override;
};

// Writes a PNG of each window and widget state into `folder` (made when missing); answers the
// files written. Needs a running QApplication.
std::vector<std::string> writeScreenshots(const std::string& folder);

}  // namespace ui
