#include "midi/templates/QRBBitRangeSelector.h"

#include "foundation/UndoManager.h"

#include <algorithm>
#include <cstdlib>

QRBBitRangeSelector::QRBBitRangeSelector() { updateCells(); }

void QRBBitRangeSelector::setBitCount(unsigned n) {
    if (n == 0) FND_INTERNAL_ERROR(kBitCountAssertion);
    if (n == bitCount_) return;
    bitCount_ = n;
    QRBMIDIRange clipped = range_;
    clipped.location = std::min<int64_t>(clipped.location, n - 1);
    clipped.length = std::min<int64_t>(clipped.length, n - clipped.location);
    range_ = clipped;
    updateCells();
}

void QRBBitRangeSelector::setRange(QRBMIDIRange range) {
    if (maxSelectionBitCount_ != 0) range.length = std::min<int64_t>(range.length, maxSelectionBitCount_);
    if (range == range_) return;
    range_ = range;
    updateCells();
}

void QRBBitRangeSelector::setErrorBits(const QRBMIDIBitSet& bits) {
    if (bits == errorBits_) return;
    errorBits_ = bits;
    updateCells();
}

void QRBBitRangeSelector::updateCells() {
    cells_.assign(bitCount_, Off);
    for (unsigned c = 0; c < bitCount_; ++c) {
        const int64_t bit = bitCount_ - 1 - c;
        if (errorBits_.count(bit))
            cells_[c] = Mixed;
        else if (range_.contains(bit))
            cells_[c] = On;
    }
}

QRBMIDIRange QRBBitRangeSelector::rangeByMovingFromColumn(unsigned anchor, unsigned column) const {
    if (!preserveLength_) {
        const int64_t a = anchor, c = column;
        return {static_cast<int64_t>(bitCount_) - 1 - std::max(a, c), std::abs(a - c) + 1};
    }
    const int64_t moved = range_.location + static_cast<int64_t>(anchor) - static_cast<int64_t>(column);
    const int64_t top = std::max<int64_t>(0, static_cast<int64_t>(bitCount_) - range_.length);
    return {std::clamp<int64_t>(moved, 0, top), range_.length};
}

void QRBBitRangeSelector::sendAction() {
    if (action_) action_(*this);
}

void QRBBitRangeSelector::beginUndoCoalescing() {
    auto undo = undoManager_.lock();
    if (!undo) return;
    undo->setGroupsByEvent(false);
    undo->beginUndoGrouping();
    // The group always holds this step, so that closing it keeps it and the rollback at the
    // release undoes this group, never the step before it.
    undo->registerUndo(this, [] {});
    coalescing_ = true;
}

void QRBBitRangeSelector::endUndoCoalescing() {
    if (!coalescing_) return;
    coalescing_ = false;
    auto undo = undoManager_.lock();
    if (!undo) return;
    undo->endUndoGrouping();
    undo->disableUndoRegistration();
    try {
        undo->undo();
    } catch (...) {
        undo->enableUndoRegistration();
        undo->setGroupsByEvent(true);
        throw;
    }
    undo->enableUndoRegistration();
    undo->setGroupsByEvent(true);
}

void QRBBitRangeSelector::mouseDown(std::optional<unsigned> column) {
    // A press beside the cells changes nothing, and the undo manager goes on grouping by event.
    if (!column || *column >= bitCount_) return;
    beginUndoCoalescing();
    tracking_ = true;
    anchor_ = *column;
    if (!preserveLength_) {
        setRange({static_cast<int64_t>(bitCount_) - 1 - anchor_, 1});
        sendAction();
    }
}

void QRBBitRangeSelector::trackTo(std::optional<unsigned> column) {
    if (!column || *column >= bitCount_) return;
    const QRBMIDIRange moved = rangeByMovingFromColumn(anchor_, *column);
    if (preserveLength_ && moved != range_) anchor_ = *column;
    setRange(moved);
}

void QRBBitRangeSelector::mouseDragged(std::optional<unsigned> column) {
    if (!tracking_) return;
    trackTo(column);
    sendAction();
}

void QRBBitRangeSelector::mouseUp(std::optional<unsigned> column) {
    if (!tracking_) return;
    tracking_ = false;
    trackTo(column);
    const QRBMIDIRange final = range_;
    endUndoCoalescing();
    setRange(final);
    sendAction();
}
