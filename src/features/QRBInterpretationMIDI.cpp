// The control API's requests that give an argument a MIDI output: the request has been read and
// checked (QRBInterpretationAPI.cpp), and the argument's action exists. What is left is to make
// or find the output and hand it to the action.
//
// The MIDI outputs and templates are not part of the engine yet: until they are, these requests
// are refused with a log line, and the document is left as the checks left it.

#include "features/QRBInterpretationManager.h"

int QRBInterpretationManager::mapToAutomaticMIDI(const char* address, QRBAction&, const MIDIMappingRequest& request) {
    return refuse("API: %s, MIDI outputs are not available: message %s[%li] is not mapped", address,
                  request.path.c_str(), long(request.index));
}

int QRBInterpretationManager::mapToMIDITemplate(const char* address, QRBAction&, const MIDIMappingRequest& request) {
    return refuse("API: %s, MIDI templates are not available: message %s[%li] is not mapped", address,
                  request.path.c_str(), long(request.index));
}

int QRBInterpretationManager::mapToAllChannels(const char* address, QRBAction& action, int32_t, int32_t) {
    return refuse("API: %s, MIDI outputs are not available: %s is not mapped", address, action.address().c_str());
}

int QRBInterpretationManager::mapToArgumentChannel(const char* address, QRBAction& action, QRBAction&, int32_t,
                                                   int32_t) {
    return refuse("API: %s, MIDI outputs are not available: %s is not mapped", address, action.address().c_str());
}
