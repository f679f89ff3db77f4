#pragma once
// The two handlers of a document's OSC method tables and their helpers: RoutingCallback for an
// address that has a context, UndefMethodCallback (the catch-all) for everything else. Both run
// on the main thread, from QRBServer's dispatch.

#include "core/mapping/QRBContext.h"
#include "core/osc/QRBServer.h"
#include "foundation/Date.h"

#include <lo/lo.h>

#include <string>

class QRBManager;

// The message, with its time tag as date, is recorded in the manager's monitor as coming from its
// "OSC Input" and received by the context. Asserts a context. Answers 0 (taken).
int RoutingCallback(const QRBServerMessage& message, const QRBContextPtr& context, QRBManager& manager);

// Commands ("/quorbital/..." but not "/quorbital/mapping...") go to the manager as application
// commands; other paths without pattern characters go to the manager's receive; both answer 0.
// A pattern that no entry took answers -1 and is dropped.
int UndefMethodCallback(const QRBServerMessage& message, QRBManager& manager);

// Begins with "/quorbital/" and not with "/quorbital/mapping".
bool QRBIsCommandPath(const char* path);

// The command with the sender's host and port ("" and "0" without a sender) and the text of a
// single string argument. Answers 0.
int QRBHandleCommandMessage(const QRBServerMessage& message, QRBManager& manager);

// The immediate time tag gives the current date; any other one the date it names.
foundation::Date QRBDateFromMessageTimetag(lo_message message);

// None of " #*,?[]{}".
bool QRBPathHasNoPatternCharacters(const std::string& path);
