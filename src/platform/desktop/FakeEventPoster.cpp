#include "platform/desktop/FakeEventPoster.h"

#include "foundation/RunLoop.h"

namespace platform {

void FakeEventPoster::setDisplays(std::vector<devices::DisplayInfo> displays) {
    displays_ = std::move(displays);
    foundation::RunLoop::main().post([handler = displaysChanged_] {
        if (*handler) (*handler)();
    });
}

bool FakeEventPoster::postKeyToApplication(const devices::KeyEvent& event, const std::string& application) {
    // Like the system: an application that does not run gets nothing.
    if (!running_.count(application)) return false;
    keys_.push_back({event, application});
    return true;
}

void FakeEventPoster::postMouse(const devices::MouseEvent& event) {
    mouse_.push_back(event);
    // A posted motion moves the pointer there.
    if (event.location) pointer_ = *event.location;
}

}  // namespace platform
