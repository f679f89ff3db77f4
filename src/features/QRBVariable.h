#pragma once
// The output that writes the action's value into one of the document's 128 variables, which
// routes read in their addresses and arguments. The variable keeps its identity: the value is
// copied into it.
//
// Main thread only.

#include "core/outputs/QRBEventSource.h"

#include <cstdint>

class QRBVariable : public QRBEventSource {
    QRB_EVENT_SOURCE_CLASS("QRBVariable", QRBEventSource)

public:
    static constexpr uint64_t kProposedCount = 128;
    // What old documents' names held before the index was stored.
    static constexpr const char* kLegacyNamePrefix = "Variable ";

    QRBVariable();

    // 128 outputs, indexes 0 to 127 in order.
    static foundation::Value classProposedEventSourcesCollection(const QRBAction* action);

    uint64_t index() const { return index_; }
    // Renames the output to the index.
    void setIndex(uint64_t index);

    // Failed when the document has no variable of that index.
    QRBAcceptResult acceptAction(QRBAction& action) override;
    bool isEqualToEventSource(const QRBEventSource& other) const override;

    // "index" after the base keys; documents without it give the number after "Variable " in the
    // name (0 when there is none).
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    uint64_t index_ = 0;
};
