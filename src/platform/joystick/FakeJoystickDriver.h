#pragma once
// Virtual joysticks for tests: the test publishes joysticks (with an identifier, or one that
// cannot be read), makes the lookup or a joystick's commands fail, and reads back every command a
// joystick accepted. Main thread only.

#include "controllers/devices/JoystickDriver.h"

#include <memory>
#include <optional>
#include <vector>

namespace platform {

class FakeJoystick final : public devices::JoystickService {
public:
    explicit FakeJoystick(std::optional<uint8_t> id) : id_(id) {}

    // While not 0, commands are refused with this code.
    void setSendError(int error) { sendError_ = error; }
    // The commands accepted, oldest first.
    const std::vector<devices::JoystickCommand>& commands() const { return commands_; }

    std::optional<uint8_t> joystickID() const override { return id_; }
    int send(const devices::JoystickCommand& command) override {
        if (sendError_ != 0) return sendError_;
        commands_.push_back(command);
        return 0;
    }

private:
    std::optional<uint8_t> id_;
    int sendError_ = 0;
    std::vector<devices::JoystickCommand> commands_;
};

class FakeJoystickDriver final : public devices::JoystickDriver {
public:
    // A joystick is published after the others. Answers it.
    std::shared_ptr<FakeJoystick> publish(std::optional<uint8_t> id) {
        joysticks_.push_back(std::make_shared<FakeJoystick>(id));
        return joysticks_.back();
    }
    // While not 0, lookups fail with this code and find nothing.
    void setLookupError(int error) { lookupError_ = error; }

    Lookup findJoysticks() override {
        if (lookupError_ != 0) return {lookupError_, {}};
        return {0, std::vector<devices::JoystickServicePtr>(joysticks_.begin(), joysticks_.end())};
    }

private:
    std::vector<std::shared_ptr<FakeJoystick>> joysticks_;
    int lookupError_ = 0;
};

}  // namespace platform
