// Program-change outputs: the Flame device write of the fixed program (through a recording link),
// names counted from 0 on the device and from 1 in MIDI, neighbours and proposed lists.

#include "midi/MidiOutputFixture.h"

#include "flame/QRBFlameLink.h"
#include "midi/outputs/QRBKymaPCEventSource.h"

#include <gtest/gtest.h>

namespace {

struct Write {
    uint32_t offset, high, low;
    int priority;
    bool operator==(const Write&) const = default;
};

class RecordingLink : public QRBFlameLink {
public:
    bool writeToCurrentDevice(uint32_t offset, uint32_t high, uint32_t low, int priority) override {
        writes.push_back({offset, high, low, priority});
        return accept;
    }
    std::vector<Write> writes;
    bool accept = true;
};

class QRBKymaPCEventSourceTest : public MidiOutputFixture {
protected:
    void TearDown() override {
        QRBFlameLink::setShared(nullptr);
        MidiOutputFixture::TearDown();
    }
    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
};

TEST_F(QRBKymaPCEventSourceTest, TheProgramIsWrittenToTheChannelsRegisterOnRelease) {
    QRBFlameLink::setShared(link);
    auto program = std::make_shared<QRBKymaPCEventSource>();
    program->setPrgNumber(5);
    auto context = mapping("/program", program, 3);
    context->fire(floatArg(1).get());
    EXPECT_TRUE(link->writes.empty());
    context->fire(floatArg(0).get());
    EXPECT_EQ(link->writes, (std::vector<Write>{{3 * 256 - 125, 5, 0, 1}}));
    EXPECT_EQ(context->nextActivity(), 2u);  // done

    link->accept = false;  // no device, or the write was refused
    context->setArgValue(*floatArg(0));
    EXPECT_EQ(program->acceptAction(*context), QRBAcceptResult::Failed);
    EXPECT_TRUE(takeSent().empty());  // nothing goes out as MIDI
}

TEST_F(QRBKymaPCEventSourceTest, WithoutADeviceLayerNothingIsWritten) {
    auto program = std::make_shared<QRBKymaPCEventSource>();
    auto context = mapping("/program", program);
    context->setArgValue(*floatArg(0));
    EXPECT_EQ(program->acceptAction(*context), QRBAcceptResult::Failed);
}

TEST(QRBKymaPCEventSource, DeviceProgramsCountFromZeroMIDIProgramsFromOne) {
    const QRBKymaPCEventSource kyma;
    const QRBMidiPCEventSource midi;
    EXPECT_EQ(kyma.newEventSourceWithPrgNumber(0)->name(), "0");
    EXPECT_EQ(midi.newEventSourceWithPrgNumber(0)->name(), "1");
    EXPECT_NE(std::dynamic_pointer_cast<QRBMidiPCEventSource>(midi.newEventSourceWithPrgNumber(3)), nullptr);

    auto next = std::dynamic_pointer_cast<QRBMidiPCEventSource>(
        midi.newEventSourceWithPrgNumber(127)->nextProposedEventSource());
    auto previous = std::dynamic_pointer_cast<QRBKymaPCEventSource>(
        kyma.newEventSourceWithPrgNumber(0)->previousProposedEventSource());
    ASSERT_TRUE(next && previous);
    EXPECT_EQ(next->prgNumber(), 0u);
    EXPECT_EQ(next->name(), "1");
    EXPECT_EQ(previous->prgNumber(), 127u);
    EXPECT_EQ(previous->name(), "127");
}

TEST(QRBKymaPCEventSource, ProposedLists) {
    const foundation::Value midi = QRBMidiPCEventSource::staticClass().proposedEventSourcesCollectionForAction(nullptr);
    const auto* sections = midi.arrayValue();
    ASSERT_TRUE(sections && sections->size() == 3);
    const auto* byValue = (*sections)[0].arrayValue();
    ASSERT_TRUE(byValue && byValue->size() == 1);
    auto changeByValue = (*byValue)[0].object<QRBEventSource>();
    EXPECT_EQ(changeByValue->name(), "Change by Value");
    EXPECT_EQ(&changeByValue->eventSourceClass().type(), &QRBMidiPCEventSource::staticClass());
    const auto* programs = (*sections)[2].arrayValue();
    ASSERT_TRUE(programs && programs->size() == 128);
    EXPECT_EQ((*programs)[0].object<QRBEventSource>()->name(), "1");
    EXPECT_EQ((*programs)[127].object<QRBEventSource>()->name(), "128");

    const foundation::Value kyma = QRBKymaPCEventSource::staticClass().proposedEventSourcesCollectionForAction(nullptr);
    auto special = QRBEventSource::findEventSourceWithName("Random", kyma);
    ASSERT_NE(special, nullptr);
    EXPECT_EQ(std::dynamic_pointer_cast<QRBKymaPCEventSource>(special)->prgNumber(), 128u);
    auto first = std::dynamic_pointer_cast<QRBKymaPCEventSource>(QRBEventSource::findEventSourceWithName("1", kyma));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->prgNumber(), 1u);
    EXPECT_EQ(QRBEventSource::findEventSourceWithName("126", kyma), nullptr);  // the device's own
}

}  // namespace
