#pragma once
// The application's document: it owns the routing manager (the root of its archive), the notes
// record and the window's interface parameters, and writes and reads them as one keyed archive
// with the root keys "QRBLib", "QRBNotes" and "userInterfaceParameters". It gives each new
// document an OSC port of its own, converts documents of the legacy type into new files beside
// them, maps its lock onto the manager's input lock and starts and stops routing for the main
// window.
//
// The windows belong to the user interface; the document makes them through the process's
// window-controller factory, whose headless implementation keeps what the document loaded so that
// saving loses nothing.
//
// Main thread only.

#include "core/monitor/QRBMainWindowServices.h"
#include "document/QRBNotesInfos.h"
#include "foundation/Document.h"
#include "foundation/Value.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QRBDocument;
class QRBDocumentController;
class QRBManager;
using QRBManagerPtr = std::shared_ptr<QRBManager>;
using QRBDocumentPtr = std::shared_ptr<QRBDocument>;

// Document types and their files.
inline constexpr const char* kQRBDocumentType = "Quorbital Document";
inline constexpr const char* kQRBDocumentExtension = "qrb3";
inline constexpr const char* kQRBLegacyDocumentType = "Quorbital Legacy Document";
inline constexpr const char* kQRBLegacyDocumentExtension = "qrbd";

// What the document asks of the user interface: its windows, and showing an error to the user.
class QRBWindowControllerFactory {
public:
    virtual ~QRBWindowControllerFactory() = default;
    virtual std::shared_ptr<QRBMainWindowInterface> makeMainWindowController(QRBDocument& document) = 0;
    virtual std::shared_ptr<QRBNotesController> makeNotesController(QRBDocument& document) = 0;
    // Shows the window of a controller the document made.
    virtual void showWindow(QRBNotesController& controller) {}
    virtual void presentError(QRBDocument& document, const foundation::DocumentError& error) = 0;
};

// Without an interface: the main window keeps the parameters the document loaded, the notes
// window keeps its record, and errors go to the log.
class QRBHeadlessWindowControllerFactory : public QRBWindowControllerFactory {
public:
    std::shared_ptr<QRBMainWindowInterface> makeMainWindowController(QRBDocument& document) override;
    std::shared_ptr<QRBNotesController> makeNotesController(QRBDocument& document) override;
    void presentError(QRBDocument& document, const foundation::DocumentError& error) override;
};

// A menu item as the document validates it: the action it sends, its title and its check mark.
struct QRBDocumentMenuItem {
    static constexpr const char* kConnectToSpaceNavigatorAction = "connectToSpaceNavigator:";
    static constexpr const char* kToggleLockedAction = "toggleLocked:";

    std::string action;
    std::string title;
    bool on = false;
};

class QRBDocument : public foundation::Document {
public:
    // Root keys of the archive.
    static constexpr const char* kManagerKey = "QRBLib";
    static constexpr const char* kNotesKey = "QRBNotes";
    static constexpr const char* kUserInterfaceParametersKey = "userInterfaceParameters";
    static constexpr const char* kMainWindowParametersKey = "Main";
    // Root keys of older archives and the keys of "Main" they move to.
    static constexpr const char* kLegacyColumnsWidthsKey = "mainTableColumnsWidths";
    static constexpr const char* kLegacyWindowFrameKey = "mainWindowFrameString";
    static constexpr const char* kLegacySortDescriptorsKey = "mainWindowSortDescriptors";
    // What a converted legacy file is named after: "<name> [v3 import].qrb3".
    static constexpr const char* kLegacyImportSuffix = " [v3 import]";
    static constexpr const char* kReadExceptionFormat = "Exception occurred while reading a file: %s";
    // The ports documents are given, whatever the preferences say.
    static constexpr long kLowestPort = 1024;
    static constexpr long kHighestPort = 65535;

    QRBDocument();
    ~QRBDocument() override;

    // The factory of every document's windows; the headless one until the interface sets its own.
    static void setWindowControllerFactory(std::shared_ptr<QRBWindowControllerFactory> factory);
    static QRBWindowControllerFactory& windowControllerFactory();

    static bool autosavesInPlace() { return true; }

    // ---- the document's parts
    const QRBManagerPtr& oscManager() const { return oscManager_; }
    // Keeps the process's list of documents holding a manager exact.
    void setOscManager(const QRBManagerPtr& manager);
    std::shared_ptr<QRBMainWindowInterface> mainController() const { return mainController_; }
    void setMainController(std::shared_ptr<QRBMainWindowInterface> controller) {
        mainController_ = std::move(controller);
    }
    const QRBNotesInfosPtr& notesInfos() const { return notesInfos_; }
    void setNotesInfos(QRBNotesInfosPtr infos) { notesInfos_ = std::move(infos); }
    std::shared_ptr<QRBNotesController> notesController() const { return notesController_; }
    void setNotesController(std::shared_ptr<QRBNotesController> controller) {
        notesController_ = std::move(controller);
    }
    const std::optional<foundation::Dictionary>& userInterfaceParameters() const { return userInterfaceParameters_; }
    void setUserInterfaceParameters(std::optional<foundation::Dictionary> parameters) {
        userInterfaceParameters_ = std::move(parameters);
    }
    // The "Main" entry of the interface parameters (empty when there is none).
    foundation::Dictionary mainWindowUserInterfaceParameters() const;

    // How many documents of the process hold a manager, and the ports their managers hold.
    static size_t numberOfDocumentsHoldingManager();
    // The port a new document gets: the first port from `defaultPort` on (within 1024 to 65535,
    // wrapping around) that no document holding a manager has. Throws when every one is taken.
    static long nextFreePort(long defaultPort);

    // ---- lock: a saved document locks its file and the manager's input follows through the
    // observation of "locked"; a document never saved locks only the manager's input.
    bool isLocked() const override;
    void toggleLocked();
    void updateInputLocking();

    // ---- windows
    void makeWindowControllers() override;
    void showNotes();

    // ---- routing
    // 0 started, -1 not started.
    long startRouting();
    // 1.
    long stopRouting();
    void closeUIAndStopRouting();
    bool isConnectedToSpaceNavigator() const;
    void connectToSpaceNavigator();
    bool validateMenuItem(QRBDocumentMenuItem& item) const;

    // ---- reading and writing
    foundation::Data dataOfType(const std::string& type) const override;
    void readFromData(const foundation::Data& data, const std::string& type) override;
    void readFromURL(const std::string& path, const std::string& type) override;
    void revertToContentsOfURL(const std::string& path, const std::string& type) override;
    void close() override;

    // Where a legacy file is converted to: beside it, named after it with " [v3 import]" and the
    // current extension, or with " 2", " 3" … after that when such a file exists already.
    static std::string legacyImportPath(const std::string& legacyPath);

    // The controller that lists the document, while it does.
    QRBDocumentController* documentController() const { return documentController_; }

private:
    friend class QRBDocumentController;

    QRBManagerPtr oscManager_;
    std::shared_ptr<QRBMainWindowInterface> mainController_;
    QRBNotesInfosPtr notesInfos_;
    std::shared_ptr<QRBNotesController> notesController_;
    std::optional<foundation::Dictionary> userInterfaceParameters_;
    QRBDocumentController* documentController_ = nullptr;
    foundation::ObservationToken lockedObservation_;
};
