#pragma once
// What an action asks of an output's merger when the action is carried into another document
// (mapping import, pasting): the output to use there. Outputs that live in a document-wide list
// (routes, key combinations, scripts, MIDI templates) answer an equal entry of the destination's
// list, or add themselves to it; the others are carried as they are.
//
// The mergers themselves live with the action locations; an action only needs this call.

#include "core/outputs/QRBEventSource.h"

#include <memory>

class QRBActionHost;

class QRBEventSourceMerging {
public:
    virtual ~QRBEventSourceMerging() = default;

    // The output the carried action uses in `destination`.
    virtual QRBEventSourcePtr mergeFromOSCManager(const std::shared_ptr<QRBActionHost>& source,
                                                  const std::shared_ptr<QRBActionHost>& destination) = 0;
};
