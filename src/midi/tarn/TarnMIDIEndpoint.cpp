#include "midi/tarn/TarnMIDIEndpoint.h"

TarnMIDIEndpoint::TarnMIDIEndpoint(std::string name) : name_(std::move(name)) {}
