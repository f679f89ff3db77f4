#include "app/LoadedApplication.h"

#include "app/GuiEntry.h"
#include "foundation/Log.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

using Factory = QRBApplicationInterface* (*)();

#ifdef QUORBITAL_GUI_LINKED
Factory loadFactory(std::string&) { return &quorbitalCreateWindowedApplication; }
#else
Factory loadFactory(std::string& error) {
    // Beside the program (the build tree), then where an install puts libraries.
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::vector<std::filesystem::path> candidates;
    if (!ec) candidates.push_back(exe.parent_path() / kQuorbitalGuiModule);
    candidates.push_back(std::filesystem::path(QUORBITAL_GUI_INSTALL_DIR) / kQuorbitalGuiModule);
    for (const auto& path : candidates) {
        if (!std::filesystem::exists(path, ec)) continue;
        // The module stays loaded for the life of the process: Qt's statics live in it.
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* text = dlerror();
            error = text ? text : path.string();
            return nullptr;
        }
        if (auto factory = reinterpret_cast<Factory>(dlsym(handle, kQuorbitalGuiEntry))) return factory;
        error = path.string() + " has no " + kQuorbitalGuiEntry;
        return nullptr;
    }
    error = std::string(kQuorbitalGuiModule) + " was not found";
    return nullptr;
}
#endif

}  // namespace

int LoadedApplication::run(int argc, const char* const* argv) {
    std::string error;
    Factory factory = loadFactory(error);
    if (!factory) {
        foundation::logf(kNotLoadedFormat, error.c_str());
        return 1;
    }
    application_.reset(factory());
    return application_->run(argc, argv);
}

void LoadedApplication::terminate() {
    if (application_) application_->terminate();
}
