#pragma once
// The windowed application as the program sees it: loaded from its module when a windowed run
// starts, so that headless runs load no Qt.

#include "document/QuorbitalCore.h"

#include <memory>

class LoadedApplication : public QRBApplicationInterface {
public:
    static constexpr const char* kNotLoadedFormat = "Quorbital could not load its windows (%s). Run a document "
                                                    "without them: quorbital -headless <document>";
    int run(int argc, const char* const* argv) override;
    void terminate() override;

private:
    std::unique_ptr<QRBApplicationInterface> application_;
};
