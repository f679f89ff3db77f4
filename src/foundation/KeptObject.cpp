#include "foundation/KeptObject.h"

#include <algorithm>

namespace foundation {

KeptRecord::KeptRecord(std::string className, std::vector<std::string> classes)
    : className_(std::move(className)), classes_(std::move(classes)) {
    if (classes_.empty() || classes_.front() != className_) classes_.insert(classes_.begin(), className_);
}

Value KeptRecord::valueForKey(const std::string& key) const {
    for (const auto& entry : entries_) {
        if (entry.key != key) continue;
        if (entry.form == Entry::Form::BackReference) {
            auto object = entry.weak.lock();
            return object ? Value(object) : Value();
        }
        return entry.value;
    }
    return {};
}

void KeptRecord::read(KeyedUnarchiver& coder) {
    entries_.clear();
    for (auto& archived : coder.decodeEveryKey()) {
        Entry entry;
        entry.key = std::move(archived.key);
        if (!archived.isReference) {
            entry.form = Entry::Form::Inline;
            entry.value = std::move(archived.value);
        } else if (archived.refersBack && archived.value.objectValue()) {
            entry.form = Entry::Form::BackReference;
            entry.weak = archived.value.objectValue();
        } else {
            entry.form = Entry::Form::Reference;
            entry.value = std::move(archived.value);
        }
        entries_.push_back(std::move(entry));
    }
}

void KeptRecord::write(KeyedArchiver& coder, const std::set<std::string>& except) const {
    for (const auto& entry : entries_) {
        if (except.count(entry.key)) continue;
        switch (entry.form) {
        case Entry::Form::BackReference: coder.encodeConditionalObject(entry.weak.lock(), entry.key); break;
        case Entry::Form::Reference: coder.encodeObject(entry.value, entry.key); break;
        case Entry::Form::Inline:
            if (auto b = entry.value.getIf<bool>())
                coder.encodeBool(*b, entry.key);
            else if (auto i = entry.value.getIf<int64_t>())
                coder.encodeInt64(*i, entry.key);
            else if (auto d = entry.value.getIf<double>())
                coder.encodeDouble(*d, entry.key);
            else if (auto data = entry.value.getIf<Data>())
                coder.encodeBytes(data->data(), data->size(), entry.key);
            else
                coder.encodeObject(entry.value, entry.key);  // an inline string or date: kept as a reference
            break;
        }
    }
}

bool KeptRecord::isEqualToRecord(const KeptRecord& other) const {
    if (className_ != other.className_ || entries_.size() != other.entries_.size()) return false;
    for (const auto& entry : entries_) {
        auto found = std::find_if(other.entries_.begin(), other.entries_.end(),
                                  [&](const Entry& e) { return e.key == entry.key; });
        if (found == other.entries_.end() || found->form != entry.form) return false;
        if (valueForKey(entry.key) != other.valueForKey(entry.key)) return false;
    }
    return true;
}

// ---- stand-ins in the class registry ----

void ClassRegistry::registerStandIn(const std::string& ancestorName, StandInFactory factory) {
    standIns_[ancestorName] = std::move(factory);
}

ObjectPtr ClassRegistry::makeStandIn(const std::string& className, const std::vector<std::string>& classes) const {
    for (const auto& ancestor : classes) {
        if (ancestor == className) continue;
        auto standIn = standIns_.find(ancestor);
        if (standIn != standIns_.end()) return standIn->second(className, classes);
        if (const Factory* factory = factoryFor(ancestor)) return (*factory)();
    }
    return std::make_shared<KeptObject>(className, classes);
}

}  // namespace foundation
