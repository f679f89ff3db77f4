#pragma once
// Outputs that write the firing action's address and values to the log, one line per fire; the
// rate-limited one writes at most one line every half second per action. They take whole
// messages: a context with several arguments logs every value, child contexts in parentheses.
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"

#include <string>

class NSLogEventSource : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("NSLogEventSource", QRBEventSource)

public:
    static constexpr const char* kSimpleLogName = "Simple Log";
    static constexpr const char* kRateLimitedLogName = "Rate Limited Log";

    // A plain and a rate-limited log.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    // "<full display name>: <values>".
    QRBAcceptResult acceptAction(QRBAction& action) override;
    // Appends the action's values: each argument of a context that holds several, else its own.
    void logAction(const QRBAction& action, std::string& toString) const;

    // How actions write themselves into a log line: the value; between the arguments of a
    // context " | "; a child context as " (<name>:<values>)".
    static void logActionValue(const QRBAction& action, std::string& toString);
    void logToString(const QRBAction& action, std::string& toString, bool isLast) const;
};

class NSLogLimitEventSource : public NSLogEventSource {
    QRB_EVENT_SOURCE_CLASS("NSLogLimitEventSource", NSLogEventSource)

public:
    // Seconds between two lines of one action.
    static constexpr double kMinimumInterval = 0.5;
    // Per action, the main run loop's time of its last line (not archived).
    static constexpr const char* kLogDateKey = "_LogDate";

    static const QRBEventSourceClass* classType() { return &NSLogEventSource::staticClass(); }

    // Nothing, and no line, within the interval of the action's last line.
    QRBAcceptResult acceptAction(QRBAction& action) override;
};
