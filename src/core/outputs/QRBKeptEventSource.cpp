#include "core/outputs/QRBKeptEventSource.h"

#include "core/mapping/QRBAction.h"
#include "core/mapping/QRBActionHost.h"
#include "foundation/Log.h"

#include <iterator>
#include <map>
#include <memory>
#include <set>

namespace {

// The keys the base class writes itself, from the output's current name.
const std::set<std::string>& baseKeys() {
    static const std::set<std::string> keys = {"QRBEventSourceName", "alternateName"};
    return keys;
}

// Whether this is the first time the class is reported for the document (null: an action outside
// any document). Closed documents are forgotten.
bool firstReport(const std::shared_ptr<QRBActionHost>& document, const std::string& className) {
    static std::set<std::string> withoutDocument;
    static std::map<std::weak_ptr<QRBActionHost>, std::set<std::string>, std::owner_less<>> reported;
    if (!document) return withoutDocument.insert(className).second;
    for (auto it = reported.begin(); it != reported.end();)
        it = it->first.expired() ? reported.erase(it) : std::next(it);
    return reported[document].insert(className).second;
}

}  // namespace

const QRBEventSourceClass& QRBKeptEventSource::staticClass() {
    static const QRBEventSourceMeta<QRBKeptEventSource> meta("QRBKeptEventSource", &QRBEventSource::staticClass());
    return meta;
}

QRBAcceptResult QRBKeptEventSource::acceptAction(QRBAction& action) {
    if (firstReport(action.oscManagerOfContext(), record_.className()))
        foundation::logf(kNotAvailableFormat, record_.className().c_str());
    return QRBAcceptResult::Nothing;
}

bool QRBKeptEventSource::isEqualToEventSource(const QRBEventSource& other) const {
    if (&other == this) return true;
    const auto* kept = dynamic_cast<const QRBKeptEventSource*>(&other);
    return kept && kept->name() == name() && kept->record_.isEqualToRecord(record_);
}

void QRBKeptEventSource::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    QRBEventSource::encodeWithCoder(coder);
    record_.write(coder, baseKeys());
}

void QRBKeptEventSource::initWithCoder(foundation::KeyedUnarchiver& coder) {
    QRBEventSource::initWithCoder(coder);
    record_.read(coder);
}
