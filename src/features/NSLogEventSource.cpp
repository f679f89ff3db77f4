#include "features/NSLogEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBContext.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"

#include <algorithm>
#include <cmath>

QRB_DEFINE_EVENT_SOURCE_CLASS(NSLogEventSource)
QRB_DEFINE_EVENT_SOURCE_CLASS(NSLogLimitEventSource)

namespace {
constexpr const char* kArgumentSeparator = " | ";
}

foundation::Value NSLogEventSource::classProposedEventSourcesCollection(const QRBAction*) {
    auto simple = std::make_shared<NSLogEventSource>();
    simple->setName(std::string(kSimpleLogName));
    auto limited = std::make_shared<NSLogLimitEventSource>();
    limited->setName(std::string(kRateLimitedLogName));
    return foundation::Value(foundation::Array{foundation::Value(simple), foundation::Value(limited)});
}

QRBAcceptResult NSLogEventSource::acceptAction(QRBAction& action) {
    std::string text = action.fullDisplayName() + ": ";
    logAction(action, text);
    // String arguments come from the sender: a newline or an escape sequence in one must not
    // forge a line of its own or drive the terminal showing the log.
    foundation::log(foundation::logEscaped(text));
    return QRBAcceptResult::Done;
}

void NSLogEventSource::logAction(const QRBAction& action, std::string& toString) const {
    if (!action.isMultiArgument()) {
        logActionValue(action, toString);
        return;
    }
    const auto* context = dynamic_cast<const QRBContext*>(&action);
    // The arguments of the last message; a message with more arguments than the context holds
    // actions (input locked while it grew) logs what there is.
    const size_t count =
        std::min(context ? context->actualArgumentCount() : action.actions().size(), action.actions().size());
    for (size_t i = 0; i < count; ++i) logToString(*action.actions()[i], toString, i + 1 == count);
}

void NSLogEventSource::logActionValue(const QRBAction& action, std::string& toString) {
    toString += action.argValue()->prettyPrintToString().value_or("(null)");
}

void NSLogEventSource::logToString(const QRBAction& action, std::string& toString, bool isLast) const {
    if (dynamic_cast<const QRBContext*>(&action)) {
        toString += " (" + action.displayName() + ":";
        logAction(action, toString);
        toString += ")";
        return;
    }
    logActionValue(action, toString);
    if (!isLast) toString += kArgumentSeparator;
}

QRBAcceptResult NSLogLimitEventSource::acceptAction(QRBAction& action) {
    const double now = foundation::RunLoop::main().now();
    const auto last = action.userInfoValueForKey(kLogDateKey).realValue();
    if (last && std::fabs(now - *last) < kMinimumInterval) return QRBAcceptResult::Nothing;
    action.setUserInfoValue(foundation::Value(now), kLogDateKey);
    return NSLogEventSource::acceptAction(action);
}
