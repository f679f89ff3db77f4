#include "foundation/Document.h"
#include "foundation/RunLoop.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fstream>

using namespace foundation;

namespace {

// A document holding one text, stored as a property list; "fail" makes writing produce nothing.
class TextDocument : public Document {
public:
    std::string text;
    bool failWrites = false;

    Data dataOfType(const std::string&) const override {
        if (failWrites) return {};
        return binaryPropertyListData(Value(text));
    }
    void readFromData(const Data& data, const std::string&) override {
        try {
            Value v = propertyListFromData(data);
            if (!v.stringValue()) throw DocumentError(DocumentError::kFileReadCorruptFile, "not a text document");
            text = *v.stringValue();
        } catch (const PropertyListError& e) {
            throw DocumentError(DocumentError::kFileReadCorruptFile, e.reason());
        }
    }
    void setText(const std::string& t) {
        std::string old = text;
        undoManager()->registerUndo(this, [this, old] { setText(old); });
        text = t;
    }
};

int errorCode(const std::function<void()>& f) {
    try {
        f();
    } catch (const DocumentError& e) {
        return e.code();
    }
    return 0;
}

}  // namespace

TEST(Document, SaveReopenAndErrors) {
    testsupport::TempDir dir;
    TextDocument doc;
    doc.text = "hello";
    EXPECT_FALSE(doc.fileURL());
    doc.saveToURL(dir.file("a.doc"), "Text", Document::SaveOperation::SaveAs);
    EXPECT_EQ(doc.fileURL(), dir.file("a.doc"));
    EXPECT_EQ(doc.displayName(), "a");

    TextDocument reopened;
    reopened.readFromURL(dir.file("a.doc"), "Text");
    EXPECT_EQ(reopened.text, "hello");

    std::ofstream(dir.file("bad.doc")) << "garbage";
    EXPECT_EQ(errorCode([&] { TextDocument().readFromURL(dir.file("bad.doc"), "Text"); }), 259);
    EXPECT_EQ(errorCode([&] { TextDocument().readFromURL(dir.file("missing.doc"), "Text"); }), 259);

    doc.failWrites = true;
    doc.text = "lost?";
    EXPECT_EQ(errorCode([&] { doc.save(); }), 512);
    EXPECT_EQ(errorCode([&] { doc.saveToURL(dir.file("no/such/dir.doc"), "Text", Document::SaveOperation::SaveAs); }),
              512);
    TextDocument again;
    again.readFromURL(dir.file("a.doc"), "Text");
    EXPECT_EQ(again.text, "hello") << "a failed save leaves the old file intact";
    EXPECT_EQ(doc.fileURL(), dir.file("a.doc")) << "a failed save-as keeps the document's file";
}

TEST(Document, EditedStateFollowsTheUndoManager) {
    auto clock = std::make_shared<ManualClock>();
    RunLoop::main().setClock(clock);
    // The main loop outlives the test: later tests need the real clock back, or no deadline of
    // theirs ever comes.
    struct RealClockAgain {
        ~RealClockAgain() { RunLoop::main().setClock(nullptr); }
    } realClockAgain;
    testsupport::TempDir dir;
    TextDocument doc;
    doc.setText("one");
    RunLoop::main().dispatchReady();  // the end of the event closes its undo group
    EXPECT_TRUE(doc.isDocumentEdited());
    doc.undoManager()->undo();
    EXPECT_FALSE(doc.isDocumentEdited());
    doc.undoManager()->redo();
    EXPECT_TRUE(doc.isDocumentEdited());
    doc.saveToURL(dir.file("e.doc"), "Text", Document::SaveOperation::Save);
    EXPECT_FALSE(doc.isDocumentEdited());
    doc.setText("two");
    RunLoop::main().dispatchReady();
    EXPECT_TRUE(doc.isDocumentEdited());
    doc.revertToContentsOfURL(dir.file("e.doc"), "Text");
    EXPECT_EQ(doc.text, "one");
    EXPECT_FALSE(doc.isDocumentEdited());
    EXPECT_FALSE(doc.undoManager()->canUndo());
}

TEST(Document, LockIsObservable) {
    testsupport::TempDir dir;
    TextDocument doc;
    std::vector<bool> seen;
    auto token = doc.addObserver(
        "locked", [&](const KeyValueChange& c) { seen.push_back(*c.newValue.boolValue()); }, ObservingInitial);
    EXPECT_FALSE(doc.isLocked()) << "a document without a file is not locked";
    doc.saveToURL(dir.file("l.doc"), "Text", Document::SaveOperation::SaveAs);
    doc.lockDocument();
    EXPECT_TRUE(doc.isLocked());
    struct stat st {};
    ASSERT_EQ(stat(dir.file("l.doc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    doc.unlockDocument();
    EXPECT_FALSE(doc.isLocked());
    EXPECT_EQ(seen, (std::vector<bool>{false, false, true, false}));
}
