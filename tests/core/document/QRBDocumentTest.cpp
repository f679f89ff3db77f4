// The document and the document controller: saving and reopening through real files, damaged and
// unreadable files, failed writes, the legacy window keys, the conversion of legacy files, the
// ports of new documents, the lock and the manager's input lock, revert, and the controller's
// rules for opening.

#include "core/support/PresetTestSupport.h"

#include "controllers/QRBWiiRemoteManager.h"
#include "core/QRBPreferences.h"
#include "core/mapping/QRBContext.h"
#include "core/osc/QRBOSCMessage.h"
#include "core/osc/QRBTarget.h"
#include "document/QRBDocument.h"
#include "document/QRBDocumentController.h"
#include "document/QRBManager.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Log.h"
#include "foundation/NetService.h"
#include "foundation/RunLoop.h"
#include "platform/FakeBonjourBackend.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using foundation::Data;
using foundation::DocumentError;
using foundation::Value;

namespace {

Data readBytes(const std::string& path) { return foundation::readFile(path); }

void writeBytes(const std::string& path, const Data& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// The code of the DocumentError `f` throws, or 0.
int errorCode(const std::function<void()>& f) {
    try {
        f();
    } catch (const DocumentError& e) {
        return e.code();
    }
    return 0;
}

// Files may not grow beyond `bytes` while it lives: writes then fail even for a user whom file
// permissions do not stop.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = nullptr;
};

// Records the errors shown to the user; the windows are the headless ones.
class RecordingWindowFactory : public QRBHeadlessWindowControllerFactory {
public:
    void presentError(QRBDocument&, const DocumentError& error) override { errors.push_back(error.code()); }
    void showWindow(QRBNotesController&) override { ++notesWindowsShown; }
    std::vector<int> errors;
    int notesWindowsShown = 0;
};

class DocumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::BonjourBackend::setShared(std::make_shared<platform::FakeBonjourBackend>());
        QRBDocument::setWindowControllerFactory(windows);
    }
    void TearDown() override {
        for (const auto& document : std::vector<QRBDocumentPtr>(controller.documents())) document->close();
        QRBDocument::setWindowControllerFactory(nullptr);
        foundation::BonjourBackend::setShared(nullptr);
    }

    // Opens through the controller; null on failure, with the error's code in `code`.
    QRBDocumentPtr open(const std::string& path, int* code = nullptr, bool* alreadyOpen = nullptr) {
        QRBDocumentPtr result;
        controller.openDocumentWithContentsOfURL(path, false,
                                                 [&](const QRBDocumentPtr& d, bool already, const auto& error) {
                                                     result = d;
                                                     if (code) *code = error ? error->code() : 0;
                                                     if (alreadyOpen) *alreadyOpen = already;
                                                 });
        return result;
    }

    // A document with something of everything the archive holds.
    QRBDocumentPtr filledDocument() {
        QRBDocumentPtr document = controller.openUntitledDocument();
        QRBManagerPtr manager = document->oscManager();
        manager->setDefaultTargetIndex(2);
        manager->oscTargets()[2]->setTargetSpec(std::string("127.0.0.1:9000"));
        // The context is made the way input makes it: routing runs while the address arrives.
        manager->setServerPort(testsupport::freePort());
        EXPECT_TRUE(manager->start());
        manager->receive(QRBOSCMessage::OSCMessageWithPath("/fader", {QRBArg::argWithFloatValue(0.5f)}),
                         manager->oscInputEndpoint(), foundation::Date::now());
        manager->stop();
        EXPECT_NE(manager->contextWithName("/fader"), nullptr);
        document->notesInfos()->setRtfData(Data{'{', '\\', 'r', 't', 'f', '1', '}'});
        document->notesInfos()->setWindowFrame(std::string("10 10 300 200 0 0 1920 1080 "));
        document->setUserInterfaceParameters(foundation::Dictionary{
            {"Main", foundation::Dictionary{{"WindowFrame", "0 0 800 600 0 0 1920 1080 "}}}, {"Other", 5}});
        document->setMainController(std::make_shared<QRBHeadlessMainWindow>(foundation::Dictionary{
            {"WindowFrame", "1 2 800 600 0 0 1920 1080 "}, {"ColumnsWidths", foundation::Array{120, 80}}}));
        return document;
    }

    std::shared_ptr<RecordingWindowFactory> windows = std::make_shared<RecordingWindowFactory>();
    QRBDocumentController controller;
    testsupport::TempDir dir;
};

// An archive written with the document's root keys, each given or left out.
Data documentArchive(const std::vector<std::pair<std::string, Value>>& rootKeys) {
    foundation::KeyedArchiver archiver;
    for (const auto& [key, value] : rootKeys) archiver.encodeObject(value, key);
    return archiver.finish();
}

}  // namespace

// ---- saving and reopening ----------------------------------------------------------------------

TEST_F(DocumentTest, ReopenedDocumentEqualsTheSavedOne) {
    QRBDocumentPtr document = filledDocument();
    const long port = document->oscManager()->serverPort();
    const std::string first = dir.file("Show.qrb3");
    document->saveToURL(first, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
    EXPECT_EQ(document->fileURL(), first);
    document->close();

    int code = -1;
    QRBDocumentPtr reopened = open(first, &code);
    ASSERT_NE(reopened, nullptr) << "error " << code;
    QRBManagerPtr manager = reopened->oscManager();
    EXPECT_EQ(manager->serverPort(), port) << "an opened document keeps its stored port";
    EXPECT_EQ(manager->defaultTargetIndex(), 2);
    EXPECT_EQ(manager->oscTargets()[2]->targetSpec(), "osc.udp://127.0.0.1:9000");
    EXPECT_NE(manager->contextWithName("/fader"), nullptr);
    EXPECT_EQ(manager->undoManager(), reopened->undoManager());
    // Decoding sets every value through the model; none of it may become a step to undo.
    EXPECT_FALSE(reopened->undoManager()->canUndo()) << reopened->undoManager()->undoActionName();
    EXPECT_FALSE(reopened->isDocumentEdited());
    EXPECT_EQ(reopened->notesInfos()->rtfData(), (Data{'{', '\\', 'r', 't', 'f', '1', '}'}));
    EXPECT_EQ(reopened->notesInfos()->windowFrame(), "10 10 300 200 0 0 1920 1080 ");
    // The window's own state replaced "Main"; the rest of the parameters stayed.
    EXPECT_EQ(reopened->mainWindowUserInterfaceParameters(),
              (foundation::Dictionary{{"WindowFrame", "1 2 800 600 0 0 1920 1080 "},
                                      {"ColumnsWidths", foundation::Array{120, 80}}}));
    EXPECT_EQ(reopened->userInterfaceParameters()->at("Other"), Value(5));
    EXPECT_EQ(reopened->mainController()->userInterfaceParameters(), reopened->mainWindowUserInterfaceParameters());

    // Everything that was read is written again unchanged.
    const std::string second = dir.file("Show copy.qrb3");
    reopened->saveToURL(second, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    const auto comparison = testsupport::comparePropertyListFiles(first, second);
    EXPECT_EQ(comparison.exitCode, 0) << comparison.output;
}

TEST_F(DocumentTest, DamagedOrUnreadableFilesGiveError259AndNoDocument) {
    QRBDocumentPtr source = filledDocument();
    const Data valid = source->dataOfType(kQRBDocumentType);
    source->close();
    ASSERT_GT(valid.size(), 200u);

    struct Case {
        std::string what;
        Data bytes;
    };
    std::vector<Case> cases = {
        {"empty file", {}},
        {"text", Data{'h', 'e', 'l', 'l', 'o'}},
        {"a property list that is not an archive", foundation::binaryPropertyListData(Value(foundation::Array{1, 2}))},
        {"no manager", documentArchive({{"QRBNotes", Value(std::make_shared<QRBNotesInfos>())}})},
        {"a manager that is not one", documentArchive({{"QRBLib", Value("LibloHandler")}})},
        {"a manager of the wrong class", documentArchive({{"QRBLib", Value(std::make_shared<QRBNotesInfos>())}})},
        {"parameters that are not a dictionary",
         documentArchive({{"QRBLib", Value(QRBManager::create())}, {"userInterfaceParameters", Value(3)}})},
        {"notes that are not notes",
         documentArchive({{"QRBLib", Value(QRBManager::create())}, {"QRBNotes", Value(foundation::Array{})}})},
    };
    for (size_t length : {size_t(8), size_t(40), valid.size() / 2, valid.size() - 1})
        cases.push_back(
            {"truncated to " + std::to_string(length) + " bytes", Data(valid.begin(), valid.begin() + long(length))});
    Data flipped = valid;
    for (size_t i = 8; i < flipped.size(); i += 7) flipped[i] ^= 0x5a;
    cases.push_back({"bytes overwritten", flipped});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("damaged.qrb3");
        writeBytes(path, c.bytes);
        int code = 0;
        EXPECT_EQ(open(path, &code), nullptr);
        EXPECT_EQ(code, 259);
        EXPECT_TRUE(controller.documents().empty());
        EXPECT_EQ(QRBDocument::numberOfDocumentsHoldingManager(), 0u) << "a document that failed holds no port";
    }

    int code = 0;
    EXPECT_EQ(open(dir.file("missing.qrb3"), &code), nullptr);
    EXPECT_EQ(code, 259);
}

TEST_F(DocumentTest, DecodingFailuresAreLogged) {
    foundation::LogCapture log;
    QRBDocument document;
    EXPECT_EQ(errorCode([&] { document.readFromData(Data{'x'}, kQRBDocumentType); }), 259);
    EXPECT_TRUE(log.contains("Exception occurred while reading a file: ")) << ::testing::PrintToString(log.lines());
    EXPECT_EQ(document.oscManager(), nullptr);
}

TEST_F(DocumentTest, AFailedWriteGives512AndLeavesTheOldFileIntact) {
    QRBDocumentPtr document = filledDocument();
    const std::string path = dir.file("Show.qrb3");
    document->saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
    const Data saved = readBytes(path);

    document->oscManager()->setDefaultTargetIndex(7);
    {
        FileSizeLimit limit(64);
        EXPECT_EQ(errorCode([&] { document->save(); }), 512);
    }
    EXPECT_EQ(readBytes(path), saved);
    EXPECT_EQ(errorCode([&] {
                  document->saveToURL(dir.file("no such folder/Show.qrb3"), kQRBDocumentType,
                                      QRBDocument::SaveOperation::SaveAs);
              }),
              512);
    EXPECT_EQ(document->fileURL(), path);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, 1u) << "no partial file is left behind";
}

// ---- older documents ---------------------------------------------------------------------------

TEST_F(DocumentTest, LegacyWindowKeysMoveIntoMain) {
    struct Case {
        std::string what;
        std::vector<std::pair<std::string, Value>> legacyKeys;
        foundation::Dictionary main;
    };
    const std::vector<Case> cases = {
        {"frame only",
         {{"mainWindowFrameString", "5 5 640 480 0 0 1920 1080 "}},
         {{"WindowFrame", "5 5 640 480 0 0 1920 1080 "}}},
        {"all three",
         {{"mainTableColumnsWidths", foundation::Dictionary{{"name", 100}}},
          {"mainWindowFrameString", "1 1 2 2 "},
          {"mainWindowSortDescriptors", foundation::Array{}}},
         {{"ColumnsWidths", foundation::Dictionary{{"name", 100}}},
          {"WindowFrame", "1 1 2 2 "},
          {"SortDescriptors", foundation::Array{}}}},
        {"none", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto keys = c.legacyKeys;
        keys.emplace_back("QRBLib", Value(QRBManager::create()));
        const std::string path = dir.file("old.qrb3");
        writeBytes(path, documentArchive(keys));
        QRBDocumentPtr document = open(path);
        ASSERT_NE(document, nullptr);
        EXPECT_EQ(document->mainWindowUserInterfaceParameters(), c.main);
        EXPECT_EQ(document->mainController()->userInterfaceParameters(), c.main);
        document->close();
    }

    // Where the parameters exist, the legacy keys are not read.
    writeBytes(dir.file("both.qrb3"),
               documentArchive({{"QRBLib", Value(QRBManager::create())},
                                {"userInterfaceParameters",
                                 foundation::Dictionary{{"Main", foundation::Dictionary{{"WindowFrame", "new"}}}}},
                                {"mainWindowFrameString", "old"}}));
    QRBDocumentPtr document = open(dir.file("both.qrb3"));
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(document->mainWindowUserInterfaceParameters(), (foundation::Dictionary{{"WindowFrame", "new"}}));
}

TEST_F(DocumentTest, LegacyFilesAreConvertedBesideThemWithoutOverwritingAnything) {
    // A legacy file: the manager under its former class name, its Wii remote manager at the root.
    auto wii = std::make_shared<QRBWiiRemoteManager>();
    auto record = presets::RawRecord::make("LibloHandler")->set("defaultTargetIndex", Value(4));
    const std::string legacy = dir.file("Show.qrbd");
    writeBytes(legacy, documentArchive({{"QRBLib", Value(record)}, {"QRBWiiManager", Value(wii)}}));
    const Data legacyBytes = readBytes(legacy);

    const std::vector<std::string> expected = {dir.file("Show [v3 import].qrb3"), dir.file("Show [v3 import] 2.qrb3"),
                                               dir.file("Show [v3 import] 3.qrb3")};
    std::vector<Data> imports;
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        QRBDocumentController own;
        int code = -1;
        QRBDocumentPtr document;
        own.openDocumentWithContentsOfURL(legacy, false, [&](const QRBDocumentPtr& d, bool, const auto& error) {
            document = d;
            code = error ? error->code() : 0;
        });
        ASSERT_NE(document, nullptr) << code;
        EXPECT_EQ(document->fileURL(), expected[i]);
        EXPECT_EQ(document->fileType(), kQRBDocumentType);
        EXPECT_FALSE(document->isDocumentEdited());
        EXPECT_EQ(document->oscManager()->defaultTargetIndex(), 4);
        document->close();
        imports.push_back(readBytes(expected[i]));
        EXPECT_EQ(readBytes(legacy), legacyBytes) << "the legacy file is not touched";
        for (size_t j = 0; j < i; ++j) EXPECT_EQ(readBytes(expected[j]), imports[j]) << "an earlier import is kept";
    }
    EXPECT_TRUE(windows->errors.empty());

    // The converted file reads as a document of the current format.
    QRBDocumentPtr converted = open(expected[0]);
    ASSERT_NE(converted, nullptr);
    EXPECT_TRUE(converted->oscManager()->archiveHeldWiiManager());
}

TEST_F(DocumentTest, AFailedConversionIsShownAndTheDocumentStaysOpen) {
    const std::string legacy = dir.file("Show.qrbd");
    writeBytes(legacy, documentArchive({{"QRBLib", Value(QRBManager::create())}}));
    QRBDocumentPtr document;
    {
        FileSizeLimit limit(64);
        document = open(legacy);
    }
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(windows->errors, std::vector<int>{512});
    EXPECT_EQ(document->fileURL(), legacy);
    EXPECT_FALSE(fs::exists(dir.file("Show [v3 import].qrb3"))) << "the claimed name is given back";
}

// ---- ports -------------------------------------------------------------------------------------

TEST_F(DocumentTest, NewDocumentsTakeTheFirstPortNoOpenDocumentHolds) {
    const long base = std::clamp<long>(QRBPreferences::sharedPreferences().defaultOSCPort(), 1024, 65535 - 8);
    // A saved document holding base + 2, to be opened in the sequences.
    const std::string stored = dir.file("stored.qrb3");
    {
        auto manager = QRBManager::create();
        manager->setServerPort(base + 2);
        writeBytes(stored, documentArchive({{"QRBLib", Value(manager)}}));
    }

    struct Step {
        char op;  // 'n' new, 'o' open the stored document, 'c' close the document made at `index`
        size_t index;
        long port;  // the port the new or opened document holds
    };
    struct Case {
        std::string what;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"the first new documents count up", {{'n', 0, base}, {'n', 0, base + 1}, {'n', 0, base + 2}}},
        {"a port given back is taken again",
         {{'n', 0, base}, {'n', 0, base + 1}, {'c', 0, 0}, {'n', 0, base}, {'n', 0, base + 2}}},
        {"a later close frees its port", {{'n', 0, base}, {'n', 0, base + 1}, {'c', 1, 0}, {'n', 0, base + 1}}},
        {"an opened document keeps its port and is passed over",
         {{'o', 0, base + 2}, {'n', 0, base}, {'n', 0, base + 1}, {'n', 0, base + 3}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QRBDocumentController own;
        std::vector<QRBDocumentPtr> made;
        for (const auto& step : c.steps) {
            if (step.op == 'c') {
                made[step.index]->close();
                continue;
            }
            QRBDocumentPtr document;
            if (step.op == 'n') {
                document = own.openUntitledDocument();
                // Edited, so that opening a file does not close it in place.
                document->updateChangeCount(foundation::Document::ChangeType::Done);
            } else {
                own.openDocumentWithContentsOfURL(stored, false,
                                                  [&](const QRBDocumentPtr& d, bool, const auto&) { document = d; });
            }
            ASSERT_NE(document, nullptr);
            EXPECT_EQ(document->oscManager()->serverPort(), step.port);
            made.push_back(document);
        }
        for (const auto& document : made) document->close();
        EXPECT_EQ(QRBDocument::numberOfDocumentsHoldingManager(), 0u);
    }
}

TEST_F(DocumentTest, PortsStayWithinTheUsableRange) {
    QRBDocumentController own;
    auto holding = [&](long port) {
        QRBDocumentPtr document = own.openUntitledDocument();
        document->oscManager()->setServerPort(port);
        return document;
    };
    EXPECT_EQ(QRBDocument::nextFreePort(80), 1024);
    EXPECT_EQ(QRBDocument::nextFreePort(70000), 65535);
    auto top = holding(65535);
    EXPECT_EQ(QRBDocument::nextFreePort(65535), 1024) << "the search wraps around";
    auto bottom = holding(1024);
    EXPECT_EQ(QRBDocument::nextFreePort(65535), 1025);
    top->close();
    bottom->close();
}

// ---- lock --------------------------------------------------------------------------------------

TEST_F(DocumentTest, TheLockOfAnUnsavedDocumentIsTheManagersInputLock) {
    QRBDocumentPtr document = controller.openUntitledDocument();
    int announcements = 0;
    auto token = document->addObserver("locked", [&](const foundation::KeyValueChange&) { ++announcements; });
    QRBDocumentMenuItem item{QRBDocumentMenuItem::kToggleLockedAction, "", false};

    document->toggleLocked();
    EXPECT_TRUE(document->oscManager()->isInputLocked());
    EXPECT_TRUE(document->isLocked());
    EXPECT_TRUE(document->validateMenuItem(item));
    EXPECT_EQ(item.title, "Unlock");
    document->toggleLocked();
    EXPECT_FALSE(document->oscManager()->isInputLocked());
    EXPECT_FALSE(document->isLocked());
    EXPECT_TRUE(document->validateMenuItem(item));
    EXPECT_EQ(item.title, "Lock");
    EXPECT_EQ(announcements, 2);
}

TEST_F(DocumentTest, TheLockOfASavedDocumentLocksTheFileAndTheInputFollows) {
    QRBDocumentPtr document = controller.openUntitledDocument();
    const std::string path = dir.file("Locked.qrb3");
    document->saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);

    document->toggleLocked();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_TRUE(document->isLocked());
    EXPECT_TRUE(document->oscManager()->isInputLocked());

    // A locked file opens with its input locked.
    document->close();
    QRBDocumentPtr reopened = open(path);
    ASSERT_NE(reopened, nullptr);
    EXPECT_TRUE(reopened->isLocked());
    EXPECT_TRUE(reopened->oscManager()->isInputLocked());

    reopened->toggleLocked();
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
    EXPECT_FALSE(reopened->oscManager()->isInputLocked());
}

// ---- windows, revert, close --------------------------------------------------------------------

TEST_F(DocumentTest, NotesShownWhenSavedAreShownAgain) {
    QRBDocumentPtr document = controller.openUntitledDocument();
    EXPECT_EQ(document->notesController(), nullptr);
    document->showNotes();
    document->showNotes();
    ASSERT_NE(document->notesController(), nullptr);
    EXPECT_EQ(document->notesController()->infos(), document->notesInfos());
    EXPECT_EQ(windows->notesWindowsShown, 1);
    EXPECT_TRUE(document->notesInfos()->isWindowDisplayed());
    const std::string path = dir.file("Notes.qrb3");
    document->saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
    document->close();

    QRBDocumentPtr reopened = open(path);
    ASSERT_NE(reopened, nullptr);
    ASSERT_NE(reopened->notesController(), nullptr);
    EXPECT_EQ(reopened->notesController()->infos(), reopened->notesInfos());
    EXPECT_EQ(windows->notesWindowsShown, 2);
}

TEST_F(DocumentTest, RevertReloadsTheManagerAndRebuildsTheWindows) {
    QRBDocumentPtr document = filledDocument();
    const std::string path = dir.file("Revert.qrb3");
    document->saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveAs);
    QRBManagerPtr before = document->oscManager();
    auto window = document->mainController();
    ASSERT_TRUE(before->start());
    before->setDefaultTargetIndex(9);
    foundation::RunLoop::main().dispatchReady();  // the end of the event closes its undo group
    EXPECT_TRUE(document->isDocumentEdited());

    document->revertToContentsOfURL(path, kQRBDocumentType);
    EXPECT_FALSE(before->isRunning());
    EXPECT_TRUE(std::static_pointer_cast<QRBHeadlessMainWindow>(window)->isClosed());
    ASSERT_NE(document->oscManager(), nullptr);
    EXPECT_NE(document->oscManager(), before);
    EXPECT_EQ(document->oscManager()->defaultTargetIndex(), 2);
    EXPECT_NE(document->mainController(), window);
    EXPECT_FALSE(document->isDocumentEdited());
    EXPECT_EQ(QRBDocument::numberOfDocumentsHoldingManager(), 1u);
}

TEST_F(DocumentTest, CloseStopsRoutingAndDropsTheManager) {
    QRBDocumentPtr document = controller.openUntitledDocument();
    document->oscManager()->setServerPort(testsupport::freePort());
    EXPECT_EQ(document->startRouting(), 0);
    QRBManagerPtr manager = document->oscManager();
    EXPECT_TRUE(manager->isRunning());
    EXPECT_EQ(document->stopRouting(), 1);
    EXPECT_FALSE(manager->isRunning());
    EXPECT_EQ(document->startRouting(), 0);

    document->close();
    EXPECT_FALSE(manager->isRunning());
    EXPECT_EQ(document->oscManager(), nullptr);
    EXPECT_TRUE(document->isClosed());
    EXPECT_TRUE(controller.documents().empty());
    EXPECT_EQ(QRBDocument::numberOfDocumentsHoldingManager(), 0u);
}

// ---- the controller ----------------------------------------------------------------------------

TEST_F(DocumentTest, AnUntouchedUntitledDocumentGivesWayToAnOpenedFile) {
    const std::string path = dir.file("File.qrb3");
    writeBytes(path, documentArchive({{"QRBLib", Value(QRBManager::create())}}));

    QRBDocumentPtr untouched = controller.openUntitledDocument();
    QRBDocumentPtr opened = open(path);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(untouched->isClosed());
    EXPECT_EQ(controller.routingDocuments(), std::vector<QRBDocumentPtr>{opened});

    bool alreadyOpen = false;
    EXPECT_EQ(open(path, nullptr, &alreadyOpen), opened);
    EXPECT_TRUE(alreadyOpen);
    opened->close();

    QRBDocumentPtr edited = controller.openUntitledDocument();
    edited->oscManager()->setDefaultTargetIndex(1);
    foundation::RunLoop::main().dispatchReady();
    ASSERT_TRUE(edited->isDocumentEdited());
    QRBDocumentPtr second = open(path);
    EXPECT_FALSE(edited->isClosed());
    EXPECT_EQ(controller.routingDocuments(), (std::vector<QRBDocumentPtr>{edited, second}));

    int code = 0;
    EXPECT_EQ(open(dir.file("notes.txt"), &code), nullptr);
    EXPECT_EQ(code, 259);
}
