#pragma once
// The virtual joysticks as the joystick output uses them: the joystick services the driver
// publishes, each with its identifier, and the 12-byte command that sets a button, an analog
// button or the axes of one.
//
// The system's backend (the user-space joystick service) and an in-process fake live in
// src/platform/joystick/. The default driver publishes no joystick.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace devices {

// A command: a 32-bit command word, then its fields, in host byte order; the rest is 0.
using JoystickCommand = std::array<uint8_t, 12>;

class JoystickService {
public:
    virtual ~JoystickService() = default;
    // The identifier the driver gave the joystick; none when it cannot be read.
    virtual std::optional<uint8_t> joystickID() const = 0;
    // Hands a command to the joystick; answers 0, or the error code of the refusal.
    virtual int send(const JoystickCommand& command) = 0;
};
using JoystickServicePtr = std::shared_ptr<JoystickService>;

class JoystickDriver {
public:
    struct Lookup {
        // 0, or the error code of a lookup that failed.
        int error = 0;
        // In the order the driver published them.
        std::vector<JoystickServicePtr> services;
    };
    virtual ~JoystickDriver() = default;
    virtual Lookup findJoysticks() = 0;
};

}  // namespace devices
