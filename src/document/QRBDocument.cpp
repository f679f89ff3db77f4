#include "document/QRBDocument.h"

#include "controllers/QRBSpaceNavigator.h"
#include "core/QRBPreferences.h"
#include "document/QRBDocumentController.h"
#include "document/QRBManager.h"
#include "document/QuorbitalCore.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Log.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace {

constexpr const char* kLockedKey = "locked";

// The documents of the process that hold a manager. Their count is what older versions added to
// the default port; the ports their managers hold are what a new document must avoid.
std::vector<const QRBDocument*>& documentsHoldingManager() {
    static std::vector<const QRBDocument*> documents;
    return documents;
}

std::shared_ptr<QRBWindowControllerFactory>& factorySlot() {
    static std::shared_ptr<QRBWindowControllerFactory> factory = std::make_shared<QRBHeadlessWindowControllerFactory>();
    return factory;
}

// The legacy root keys of the main window's state and the keys of "Main" they move to.
const std::pair<const char*, const char*> kLegacyWindowKeys[] = {
    {QRBDocument::kLegacyColumnsWidthsKey, QRBMainWindowInterface::kColumnsWidthsKey},
    {QRBDocument::kLegacyWindowFrameKey, QRBMainWindowInterface::kWindowFrameKey},
    {QRBDocument::kLegacySortDescriptorsKey, QRBMainWindowInterface::kSortDescriptorsKey},
};

}  // namespace

// ---- Headless windows ----------------------------------------------------------------------------

std::shared_ptr<QRBMainWindowInterface> QRBHeadlessWindowControllerFactory::makeMainWindowController(
    QRBDocument& document) {
    return std::make_shared<QRBHeadlessMainWindow>(document.mainWindowUserInterfaceParameters());
}

std::shared_ptr<QRBNotesController> QRBHeadlessWindowControllerFactory::makeNotesController(QRBDocument&) {
    return std::make_shared<QRBHeadlessNotesController>();
}

void QRBHeadlessWindowControllerFactory::presentError(QRBDocument& document, const foundation::DocumentError& error) {
    foundation::logf("%s: %s (%s error %d)", document.displayName().c_str(), error.reason().c_str(), error.domain(),
                     error.code());
}

// ---- Life --------------------------------------------------------------------------------------

QRBDocument::QRBDocument() {
    lockedObservation_ = addObserver(
        kLockedKey, [this](const foundation::KeyValueChange&) { updateInputLocking(); }, foundation::ObservingInitial);
}

QRBDocument::~QRBDocument() {
    lockedObservation_.invalidate();
    auto& documents = documentsHoldingManager();
    documents.erase(std::remove(documents.begin(), documents.end(), this), documents.end());
}

void QRBDocument::setWindowControllerFactory(std::shared_ptr<QRBWindowControllerFactory> factory) {
    factorySlot() = factory ? std::move(factory) : std::make_shared<QRBHeadlessWindowControllerFactory>();
}

QRBWindowControllerFactory& QRBDocument::windowControllerFactory() { return *factorySlot(); }

void QRBDocument::setOscManager(const QRBManagerPtr& manager) {
    if (manager == oscManager_) return;
    auto& documents = documentsHoldingManager();
    if (oscManager_) documents.erase(std::remove(documents.begin(), documents.end(), this), documents.end());
    oscManager_ = manager;
    if (oscManager_) documents.push_back(this);
}

foundation::Dictionary QRBDocument::mainWindowUserInterfaceParameters() const {
    if (!userInterfaceParameters_) return {};
    auto found = userInterfaceParameters_->find(kMainWindowParametersKey);
    if (found == userInterfaceParameters_->end()) return {};
    const foundation::Dictionary* main = found->second.dictionaryValue();
    return main ? *main : foundation::Dictionary{};
}

// ---- Ports -------------------------------------------------------------------------------------

size_t QRBDocument::numberOfDocumentsHoldingManager() { return documentsHoldingManager().size(); }

long QRBDocument::nextFreePort(long defaultPort) {
    // Counting documents would give a new document the port of one still open once an earlier one
    // has closed; the ports actually held are what matters.
    std::set<long> held;
    for (const QRBDocument* document : documentsHoldingManager()) held.insert(document->oscManager()->serverPort());
    const long range = kHighestPort - kLowestPort + 1;
    const long start = std::clamp(defaultPort, kLowestPort, kHighestPort);
    for (long i = 0; i < range; ++i) {
        const long port = kLowestPort + (start - kLowestPort + i) % range;
        if (!held.count(port)) return port;
    }
    throw foundation::Exception(foundation::kInternalInconsistencyException, "every OSC port is held by a document");
}

// ---- Lock --------------------------------------------------------------------------------------

bool QRBDocument::isLocked() const {
    if (fileURL()) return Document::isLocked();
    return oscManager_ && oscManager_->isInputLocked();
}

void QRBDocument::toggleLocked() {
    if (fileURL()) {
        try {
            if (isLocked())
                unlockDocument();
            else
                lockDocument();
        } catch (const foundation::DocumentError& error) {
            windowControllerFactory().presentError(*this, error);
        }
        return;
    }
    if (!oscManager_) return;
    willChangeValueForKey(kLockedKey);
    oscManager_->setInputLocked(!oscManager_->isInputLocked());
    didChangeValueForKey(kLockedKey);
}

void QRBDocument::updateInputLocking() {
    if (oscManager_) oscManager_->setInputLocked(isLocked());
}

// ---- Windows -----------------------------------------------------------------------------------

void QRBDocument::makeWindowControllers() {
    if (!oscManager_) {
        const long port = nextFreePort(QRBPreferences::sharedPreferences().defaultOSCPort());
        setOscManager(QRBManager::create());
        oscManager_->setServerPort(port);
    }
    if (!notesInfos_) notesInfos_ = std::make_shared<QRBNotesInfos>();
    if (!userInterfaceParameters_) userInterfaceParameters_ = foundation::Dictionary{};

    auto controller = windowControllerFactory().makeMainWindowController(*this);
    if (!controller) FND_INTERNAL_ERROR("mainController can't be nil");
    mainController_ = std::move(controller);

    if (notesInfos_->isWindowDisplayed()) showNotes();
    oscManager_->setUndoManager(undoManager());
}

void QRBDocument::showNotes() {
    if (notesController_) return;
    if (!notesInfos_) notesInfos_ = std::make_shared<QRBNotesInfos>();
    auto controller = windowControllerFactory().makeNotesController(*this);
    if (!controller) return;
    controller->setInfos(notesInfos_);
    notesController_ = controller;
    windowControllerFactory().showWindow(*controller);
    notesInfos_->setIsWindowDisplayed(true);
}

// ---- Routing -----------------------------------------------------------------------------------

long QRBDocument::startRouting() {
    if (!oscManager_) return -1;
    const bool started = oscManager_->start();
    if (QRBPreferences::sharedPreferences().spaceNavigatorConnectAtStartup()) connectToSpaceNavigator();
    return started ? 0 : -1;
}

long QRBDocument::stopRouting() {
    if (isConnectedToSpaceNavigator()) QRBSpaceNavigator::sharedInstance()->stop();
    if (oscManager_) oscManager_->stop();
    return 1;
}

void QRBDocument::closeUIAndStopRouting() {
    if (mainController_) mainController_->close();
    mainController_.reset();
    notesController_.reset();
    stopRouting();
    if (oscManager_) oscManager_->close();
    setOscManager(nullptr);
}

bool QRBDocument::isConnectedToSpaceNavigator() const {
    QRBSpaceNavigator* navigator = QRBSpaceNavigator::sharedInstance();
    return navigator && oscManager_ && navigator->isConnectedToURL(oscManager_->loopbackURL());
}

void QRBDocument::connectToSpaceNavigator() {
    QRBSpaceNavigator* navigator = QRBSpaceNavigator::sharedInstance();
    if (!navigator || !oscManager_) return;
    if (isConnectedToSpaceNavigator()) {
        navigator->stop();
    } else {
        navigator->setTargetURL(oscManager_->loopbackURL());
        navigator->start();
    }
}

bool QRBDocument::validateMenuItem(QRBDocumentMenuItem& item) const {
    if (item.action == QRBDocumentMenuItem::kConnectToSpaceNavigatorAction) {
        item.on = isConnectedToSpaceNavigator();
        return QRBSpaceNavigator::driversAvailable();
    }
    if (item.action == QRBDocumentMenuItem::kToggleLockedAction) {
        item.title = isLocked() ? "Unlock" : "Lock";
        return true;
    }
    return true;
}

// ---- Writing -----------------------------------------------------------------------------------

foundation::Data QRBDocument::dataOfType(const std::string&) const {
    foundation::Dictionary parameters = userInterfaceParameters_.value_or(foundation::Dictionary{});
    if (mainController_)
        parameters[kMainWindowParametersKey] = foundation::Value(mainController_->userInterfaceParameters());
    foundation::Data data;
    try {
        foundation::KeyedArchiver archiver;
        archiver.encodeObject(foundation::Value(oscManager_), kManagerKey);
        archiver.encodeObject(foundation::Value(notesInfos_), kNotesKey);
        archiver.encodeObject(foundation::Value(std::move(parameters)), kUserInterfaceParametersKey);
        data = archiver.finish();
    } catch (const foundation::Exception& e) {
        throw foundation::DocumentError(foundation::DocumentError::kFileWriteUnknown, e.reason());
    }
    if (data.empty())
        throw foundation::DocumentError(foundation::DocumentError::kFileWriteUnknown, "the document produced no data");
    return data;
}

// ---- Reading -----------------------------------------------------------------------------------

void QRBDocument::readFromData(const foundation::Data& data, const std::string&) {
    if (oscManager_) FND_INTERNAL_ERROR("oscManager must be nil");

    QRBManagerPtr manager;
    std::optional<foundation::Dictionary> parameters;
    QRBNotesInfosPtr notes;
    try {
        auto unarchiver = QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(data);
        manager = QuorbitalCore::decodeOSCManager(*unarchiver);

        foundation::Value stored = unarchiver->decodeObject(kUserInterfaceParametersKey);
        if (const foundation::Dictionary* dictionary = stored.dictionaryValue())
            parameters = *dictionary;
        else if (!stored.isNull())
            throw foundation::ArchiveError("userInterfaceParameters is not a dictionary");
        notes = unarchiver->decodeObjectOfClass<QRBNotesInfos>(kNotesKey);

        if (!parameters) {
            // Older documents kept the main window's state at the root.
            foundation::Dictionary main;
            for (const auto& [legacyKey, key] : kLegacyWindowKeys) {
                if (unarchiver->containsValueForKey(legacyKey)) main[key] = unarchiver->decodeObject(legacyKey);
            }
            parameters = foundation::Dictionary{{kMainWindowParametersKey, foundation::Value(std::move(main))}};
        }
    } catch (const foundation::Exception& e) {
        foundation::logf(kReadExceptionFormat, e.reason().c_str());
        throw foundation::DocumentError(foundation::DocumentError::kFileReadCorruptFile, e.reason());
    }
    if (!manager)
        throw foundation::DocumentError(foundation::DocumentError::kFileReadCorruptFile,
                                        "the file holds no routing manager");

    setOscManager(manager);
    userInterfaceParameters_ = std::move(parameters);
    notesInfos_ = std::move(notes);
}

std::string QRBDocument::legacyImportPath(const std::string& legacyPath) {
    fs::path path(legacyPath);
    const std::string base = (path.parent_path() / path.stem()).string() + kLegacyImportSuffix;
    const std::string extension = std::string(".") + kQRBDocumentExtension;
    std::string candidate = base + extension;
    std::error_code error;
    for (long n = 2; fs::exists(fs::symlink_status(candidate, error)); ++n)
        candidate = foundation::format("%s %ld%s", base.c_str(), n, extension.c_str());
    return candidate;
}

void QRBDocument::readFromURL(const std::string& path, const std::string& type) {
    Document::readFromURL(path, type);
    // The file of a document just read may be locked: its input follows.
    updateInputLocking();
    if (type != kQRBLegacyDocumentType) return;

    // The converted document is saved beside the legacy file, which stays as it was. Its name is
    // claimed first, so that no existing file, nor one made meanwhile, is ever overwritten.
    std::string importPath;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        importPath = legacyImportPath(path);
        fd = ::open(importPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        windowControllerFactory().presentError(
            *this, foundation::DocumentError(foundation::DocumentError::kFileWriteUnknown,
                                             foundation::format("%s: %s", importPath.c_str(), std::strerror(errno))));
        return;
    }
    ::close(fd);
    try {
        saveToURL(importPath, kQRBDocumentType, SaveOperation::AutosaveAs);
    } catch (const foundation::DocumentError& error) {
        std::error_code ignored;
        fs::remove(importPath, ignored);
        windowControllerFactory().presentError(*this, error);
    }
}

void QRBDocument::revertToContentsOfURL(const std::string& path, const std::string& type) {
    closeUIAndStopRouting();
    Document::revertToContentsOfURL(path, type);
    makeWindowControllers();
}

void QRBDocument::close() {
    if (mainController_) mainController_->close();
    mainController_.reset();
    notesController_.reset();
    Document::close();
    stopRouting();
    if (oscManager_) oscManager_->close();
    setOscManager(nullptr);
    // Last: the controller may hold the last reference to this document.
    if (documentController_) documentController_->removeDocument(*this);
}
