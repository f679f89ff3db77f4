#pragma once
// The model of the bit-range control of the template editor: one row of cells, one per bit, the
// most significant on the left (column c shows bit bitCount - 1 - c). The user presses and drags
// over the cells to choose a range of bits; the control reports each change through its action,
// and the editor reads range(). Bits listed as error bits show as conflicting.
//
// A whole drag is one undoable change: the changes the action makes while the pointer moves are
// rolled back at the release, and the final range is reported once more, so only that report
// registers anything.
//
// Main thread only.

#include "foundation/Exception.h"
#include "midi/templates/QRBMIDISubstitution.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace foundation {
class UndoManager;
}

class QRBBitRangeSelector {
public:
    // How a cell is drawn.
    enum CellState : int { Mixed = -1, Off = 0, On = 1 };

    static constexpr const char* kBitCountAssertion = "Bit count cannot be lower than or equal to zero";

    QRBBitRangeSelector();

    unsigned bitCount() const { return bitCount_; }
    // Clips the range to the new count: location at most n - 1, length at most n - location.
    void setBitCount(unsigned n);
    QRBMIDIRange range() const { return range_; }
    // Cut to maxSelectionBitCount when that is set; no action is sent.
    void setRange(QRBMIDIRange range);
    const QRBMIDIBitSet& errorBits() const { return errorBits_; }
    void setErrorBits(const QRBMIDIBitSet& bits);
    bool preserveLength() const { return preserveLength_; }
    void setPreserveLength(bool preserve) { preserveLength_ = preserve; }
    unsigned maxSelectionBitCount() const { return maxSelectionBitCount_; }
    void setMaxSelectionBitCount(unsigned count) { maxSelectionBitCount_ = count; }

    // The state of each column, left to right.
    const std::vector<CellState>& cells() const { return cells_; }
    void updateCells();

    // The range a drag from the anchor column to `column` gives.
    QRBMIDIRange rangeByMovingFromColumn(unsigned anchor, unsigned column) const;

    // What the control reports to, and the undo manager of the window it is in.
    void setAction(std::function<void(QRBBitRangeSelector&)> action) { action_ = std::move(action); }
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) { undoManager_ = undoManager; }

    // Pointer tracking: the column under the pointer, or none off the cells.
    void mouseDown(std::optional<unsigned> column);
    void mouseDragged(std::optional<unsigned> column);
    void mouseUp(std::optional<unsigned> column);
    bool isTracking() const { return tracking_; }

private:
    void sendAction();
    void beginUndoCoalescing();
    void endUndoCoalescing();
    void trackTo(std::optional<unsigned> column);

    unsigned bitCount_ = 8;
    QRBMIDIRange range_{0, 8};
    QRBMIDIBitSet errorBits_;
    bool preserveLength_ = false;
    unsigned maxSelectionBitCount_ = 0;
    std::vector<CellState> cells_;
    std::function<void(QRBBitRangeSelector&)> action_;
    std::weak_ptr<foundation::UndoManager> undoManager_;
    bool tracking_ = false;
    bool coalescing_ = false;
    unsigned anchor_ = 0;
};
