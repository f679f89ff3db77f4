#pragma once

// What an output answers when an action hands it a value. The numbers are the ones stored and
// reported elsewhere (the activity indicator decodes them), so they stay fixed.
enum class QRBAcceptResult : long {
    Done = 1,     // the output acted
    Nothing = 0,  // there was nothing to do
    Failed = -1,  // the output could not act (no target, a send that failed)
};
