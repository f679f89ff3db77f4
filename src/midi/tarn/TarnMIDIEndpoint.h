#pragma once
// A MIDI source or destination. For now only its name is here, which is what the message
// monitor shows; the connection to the MIDI system comes with the MIDI layer.

#include "foundation/Object.h"

#include <memory>
#include <string>

class TarnMIDIEndpoint;
using TarnMIDIEndpointPtr = std::shared_ptr<TarnMIDIEndpoint>;

class TarnMIDIEndpoint : public foundation::Object {
public:
    explicit TarnMIDIEndpoint(std::string name);

    const std::string& name() const { return name_; }

private:
    std::string name_;
};
