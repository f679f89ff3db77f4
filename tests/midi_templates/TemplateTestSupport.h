#pragma once
// Small pieces the template tests share: bytes from hex text, an action standing alone with a
// value and a channel, and a template built from bytes and substitutions.

#include "core/mapping/QRBConcreteAction.h"
#include "core/osc/QRBArg.h"
#include "foundation/KeyedArchiver.h"
#include "midi/templates/QRBMIDICollection.h"
#include "midi/templates/QRBMIDISubstitution.h"
#include "midi/templates/QRBMIDITemplate.h"

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace templatetest {

// "B0 07 00" → bytes.
inline foundation::Data hex(const std::string& text) {
    foundation::Data bytes;
    std::istringstream in(text);
    std::string word;
    while (in >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

inline std::string hexText(const foundation::Data& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", b);
        if (!text.empty()) text += ' ';
        text += buf;
    }
    return text;
}

// An action outside any document: input and output ranges 0..1, so the value given is the scaled
// value.
inline std::shared_ptr<QRBConcreteAction> action(const QRBArgPtr& value, int64_t channel = 1) {
    auto a = std::make_shared<QRBConcreteAction>();
    a->setType(&QRBMIDITemplate::staticClass());  // an output type with 16 channels
    a->setChannel(channel);
    a->setInputArgValue(*value);
    return a;
}
inline std::shared_ptr<QRBConcreteAction> action(double value, int64_t channel = 1) {
    return action(QRBArg::argWithFloatValue(static_cast<float>(value)), channel);
}

inline QRBMIDITemplatePtr makeTemplate(const std::string& bytes, std::vector<QRBMIDISubstitutionPtr> substitutions,
                                       int64_t dataMin = 0, int64_t dataMax = 127) {
    auto t = std::make_shared<QRBMIDITemplate>();
    t->setTemplateBytes(hex(bytes));
    t->setDataMax(dataMax);
    t->setDataMin(dataMin);
    for (auto& s : substitutions) t->insertSubstitutions({s}, {t->substitutions().size()});
    return t;
}

inline std::shared_ptr<QRBMIDIByteSubstitution> channelAt(int64_t index, int64_t offset = 0) {
    return QRBMIDIByteSubstitution::make(QRBMIDIByteSubstitution::Channel, 0, 15, {0, 4}, offset, index);
}
inline std::shared_ptr<QRBMIDIByteSubstitution> numberAt(int64_t index, QRBMIDIRange slice = {0, 7},
                                                         int64_t dataMax = 127, int64_t offset = 0) {
    return QRBMIDIByteSubstitution::make(QRBMIDIByteSubstitution::Number, 0, dataMax, slice, offset, index);
}

// An archive round trip of any archived object.
template <class T> std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
    foundation::Data data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(object));
    return foundation::KeyedUnarchiver::unarchiveRoot<T>(data);
}

// Writes whatever keys a test gives under another class's name: what a damaged document or a
// hostile exchange file holds.
class RawObject : public foundation::Object {
public:
    RawObject(std::vector<std::string> classes, foundation::Dictionary keys)
        : classes_(std::move(classes)), keys_(std::move(keys)) {}
    std::string archivedClassName() const override { return classes_.front(); }
    std::vector<std::string> archivedClassHierarchy() const override { return classes_; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
        for (const auto& [key, value] : keys_) coder.encodeObject(value, key);
    }

private:
    std::vector<std::string> classes_;
    foundation::Dictionary keys_;
};

// Decodes the keys as an object of the class named first (its ancestors after it).
template <class T> std::shared_ptr<T> decodeRaw(std::vector<std::string> classes, foundation::Dictionary keys) {
    auto raw = std::make_shared<RawObject>(std::move(classes), std::move(keys));
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(raw));
    return foundation::KeyedUnarchiver::unarchiveRoot<T>(data);
}
template <class T> std::shared_ptr<T> decodeRaw(const char* className, foundation::Dictionary keys) {
    return decodeRaw<T>(std::vector<std::string>{className, "QRBMIDISubstitution", "NSObject"}, std::move(keys));
}

}  // namespace templatetest
