// The bit-range control's model: ranges from presses and drags, clipping, cell states, and one
// undo step per drag.

#include "foundation/UndoManager.h"
#include "midi/templates/QRBBitRangeSelector.h"

#include <gtest/gtest.h>

namespace {

using Cell = QRBBitRangeSelector::CellState;

struct Drag {
    bool preserveLength;
    unsigned maxBits;
    QRBMIDIRange start;
    std::vector<unsigned> columns;  // press, drags..., release
    QRBMIDIRange result;
};

TEST(BitRangeSelector, PressesAndDragsGiveRanges) {
    const Drag drags[] = {
        {false, 0, {0, 8}, {0, 0}, {7, 1}},        // the leftmost cell is the top bit
        {false, 0, {0, 8}, {0, 2, 3, 3}, {4, 4}},  // to the fourth cell from the left
        {false, 0, {0, 8}, {5, 1, 1}, {2, 5}},     // dragging leftwards
        {false, 4, {0, 8}, {7, 4, 2, 2}, {0, 4}},  // six bits cut to four
        {true, 0, {0, 4}, {6, 5, 4, 4}, {2, 4}},   // two columns to the left moves the range up
        {true, 0, {0, 4}, {7, 5, 0, 0}, {4, 4}},   // stops at the top
        {true, 0, {4, 4}, {1, 3, 7, 7}, {0, 4}},   // and at the bottom
    };
    for (const auto& d : drags) {
        SCOPED_TRACE(::testing::Message() << "drag ending at " << d.result.toString());
        QRBBitRangeSelector selector;
        selector.setPreserveLength(d.preserveLength);
        selector.setMaxSelectionBitCount(d.maxBits);
        selector.setRange(d.start);
        int actions = 0;
        selector.setAction([&](QRBBitRangeSelector&) { ++actions; });
        selector.mouseDown(d.columns.front());
        for (size_t i = 1; i + 1 < d.columns.size(); ++i) selector.mouseDragged(d.columns[i]);
        selector.mouseUp(d.columns.back());
        EXPECT_EQ(selector.range(), d.result);
        EXPECT_EQ(actions, static_cast<int>(d.columns.size()) - (d.preserveLength ? 1 : 0));
    }
}

TEST(BitRangeSelector, BitCountClipsTheRangeAndCellsShowIt) {
    QRBBitRangeSelector selector;
    selector.setRange({5, 2});
    selector.setBitCount(4);
    EXPECT_EQ(selector.range(), (QRBMIDIRange{3, 1}));
    selector.setRange({1, 2});
    selector.setErrorBits({2, 3});
    EXPECT_EQ(selector.cells(), (std::vector<Cell>{Cell::Mixed, Cell::Mixed, Cell::On, Cell::Off}));
    EXPECT_THROW(selector.setBitCount(0), foundation::Exception);
}

TEST(BitRangeSelector, ADragIsOneUndoStep) {
    auto undo = std::make_shared<foundation::UndoManager>();
    undo->setGroupsByEvent(true);
    QRBBitRangeSelector selector;
    selector.setUndoManager(undo);
    // The editor's value follows the control, undoably.
    QRBMIDIRange value{0, 8};
    std::function<void(QRBMIDIRange)> set = [&](QRBMIDIRange r) {
        if (r == value) return;
        const QRBMIDIRange old = value;
        undo->registerUndo(&value, [&set, old] { set(old); });
        value = r;
    };
    selector.setAction([&](QRBBitRangeSelector& s) { set(s.range()); });
    // An earlier step that the drag's rollback must leave alone.
    set({0, 6});
    undo->closeEventGroup();

    selector.mouseDown(7u);
    selector.mouseDragged(5u);
    selector.mouseDragged(3u);
    selector.mouseUp(3u);
    EXPECT_EQ(value, (QRBMIDIRange{0, 5}));
    EXPECT_TRUE(undo->groupsByEvent());
    undo->closeEventGroup();
    undo->undo();
    EXPECT_EQ(value, (QRBMIDIRange{0, 6}));  // as before the press, in one step
    undo->undo();
    EXPECT_EQ(value, (QRBMIDIRange{0, 8}));

    // A press beside the cells changes nothing and leaves grouping by event on.
    selector.mouseDown(std::nullopt);
    selector.mouseDown(8u);
    EXPECT_FALSE(selector.isTracking());
    EXPECT_TRUE(undo->groupsByEvent());
    EXPECT_EQ(undo->groupingLevel(), 0);
}

}  // namespace
