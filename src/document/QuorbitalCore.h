#pragma once
// The application's core object, one per process. The program's entry hands control to it: it
// chooses between the windowed application and headless mode, sets up what every run needs (the
// heartbeat server the tablet daemon watches, the discovery of the Flame device), runs a document
// without any interface in headless mode, and ends the process in an orderly way on
// "/quorbital/quit", on SIGINT (and SIGTERM and SIGHUP) and on quitting.
//
// It also owns the decoding of document archives of every version: an unarchiver that reads the
// class names of older versions as the current classes, and the decoding of the manager with its
// legacy fix-ups.
//
// Main thread only, except QRBHeadlessSignalHandler, which only writes to a pipe that the main
// run loop watches: the quitting itself happens on the loop, outside the signal handler.

#include "flame/QRBFlameDiscovery.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/RunLoop.h"
#include "foundation/Value.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QRBManager;
class QRBPreferences;
class ZZHeartbeatServer;
using QRBManagerPtr = std::shared_ptr<QRBManager>;

inline constexpr const char* kQuorbitalStartupException = "QuorbitalStartupException";

// The windowed application: its main function and its quitting. The user interface provides it;
// until then the application below says that there is none.
class QRBApplicationInterface {
public:
    virtual ~QRBApplicationInterface() = default;
    // Runs the application until it quits; answers the exit status.
    virtual int run(int argc, const char* const* argv) = 0;
    virtual void terminate() = 0;
};

class QRBUnbuiltApplication : public QRBApplicationInterface {
public:
    static constexpr const char* kNotBuilt =
        "The user interface of Quorbital is not built yet. Run a document without one: quorbital -headless <document>";
    // Logs kNotBuilt and answers 1.
    int run(int argc, const char* const* argv) override;
    void terminate() override {}
};

class QuorbitalCore {
public:
    static constexpr const char* kHeadlessArgument = "-headless";
    // The user default that holds the document path of a headless run.
    static constexpr const char* kHeadlessDefaultsKey = "headless";
    static constexpr const char* kHeartbeatName = "quorbl_heartbeat";
    // Log lines and exception reasons of the headless start.
    static constexpr const char* kRunningHeadless = "Quorbital is running headless.";
    static constexpr const char* kStartingRouting = "Starting routing...";
    static constexpr const char* kNoFilePathFormat = "No file path found after -headless (error: %s).";
    static constexpr const char* kReadErrorFormat = "Error occurred while reading the file (error: %s)";
    // A document that is there but does not decode: damaged, cut short, or not a document at all.
    static constexpr const char* kDamagedFormat = "The file %s could not be read as a Quorbital document (error: %s)";
    static constexpr const char* kOlderFormat =
        "The given file is in an older format.  Please open this document in the GUI applicaiton and save it again.";
    static constexpr const char* kQuittingFormat = "Quitting because signal %s was received.";
    // How long a headless run goes on after it was asked to end, so that pending output leaves.
    static constexpr double kTerminationDelay = 1.0;
    // Root keys that older versions archived beside the manager.
    static constexpr const char* kLegacyWiiManagerKey = "QRBWiiManager";
    static constexpr const char* kLegacyParametersKey = "QRBParameters";

    // The process's core, made on first use and never destroyed.
    static QuorbitalCore& sharedInstance();

    QuorbitalCore();
    ~QuorbitalCore();
    QuorbitalCore(const QuorbitalCore&) = delete;
    QuorbitalCore& operator=(const QuorbitalCore&) = delete;

    // Runs the application; answers the exit status. Headless start-up failures throw a
    // foundation::Exception named kQuorbitalStartupException.
    int startApplication(int argc, const char* const* argv);
    // Headless when there are at least two arguments and one of them (the program's name
    // included) is "-headless".
    void checkHeadlessness(int argc, const char* const* argv);
    // The heartbeat server and the Flame discovery.
    void initializeCommonFacilities();
    // The heartbeat server goes (the daemon sees the beat stop) and the Flame discovery stops.
    void stopApplication();
    // stopApplication; then the windowed application quits, or a headless run goes on for
    // kTerminationDelay seconds and the process exits with status 0.
    void terminateApplication();
    // A signal handed over by QRBHeadlessSignalHandler: logged, then the application ends.
    void signalReceived(int signal);

    bool isHeadless() const { return headless_; }
    void setHeadless(bool headless) { headless_ = headless; }
    ZZHeartbeatServer* heartbeatServer() const { return heartbeatServer_.get(); }
    void setHeartbeatServer(std::unique_ptr<ZZHeartbeatServer> server);

    // The discovery of Flame units, on the FireWire bus of the process's device layers; made by
    // initializeCommonFacilities.
    QRBFlameDiscovery* flameDiscovery() const { return flameDiscovery_.get(); }
    // What the process runs with; the default is the real one.
    void setApplication(std::shared_ptr<QRBApplicationInterface> application) { application_ = std::move(application); }
    // The preferences the Flame callbacks switch; the shared ones unless set.
    void setPreferences(QRBPreferences* preferences) { preferences_ = preferences; }
    QRBPreferences& preferences() const;
    // Ends the process with a status; by default without running static destructors, once the
    // standard streams are flushed.
    void setProcessExit(std::function<void(int status)> exit) { processExit_ = std::move(exit); }
    // The manager of a headless run.
    const QRBManagerPtr& headlessManager() const { return headlessManager_; }

    // ---- decoding documents of every version
    // Archived class names of older versions and the classes they are read as.
    static const std::vector<std::pair<std::string, std::string>>& classSubstitutions();
    // An unarchiver for a document's data with the substitutions in force. Throws
    // foundation::ArchiveError when the data is not a keyed archive.
    static std::unique_ptr<foundation::KeyedUnarchiver> newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(
        const foundation::Data& data);
    // The manager under "QRBLib" (null when there is none), with the Wii remote manager and the
    // parameters that older versions archived at the root given to it.
    static QRBManagerPtr decodeOSCManager(foundation::KeyedUnarchiver& unarchiver);

private:
    int runHeadless();
    void installSignalHandler();

    bool headless_ = false;
    std::unique_ptr<ZZHeartbeatServer> heartbeatServer_;
    std::unique_ptr<QRBFlameDiscovery> flameDiscovery_;
    std::shared_ptr<QRBApplicationInterface> application_;
    QRBPreferences* preferences_ = nullptr;
    std::function<void(int)> processExit_;
    QRBManagerPtr headlessManager_;
    foundation::FdWatch signalWatch_;
    bool terminating_ = false;
};

// The program's entry: the shared core's startApplication.
int QRBCoreMain(int argc, const char* const* argv);

// The SIGINT, SIGTERM and SIGHUP handler of headless mode: hands the signal to the main run loop.
void QRBHeadlessSignalHandler(int signal);
// The Flame discovery's callbacks. A device found switches the Kyma-related features on; a device
// gone changes nothing.
void QRBFlameDeviceAppeared(QuorbitalCore& core, flame_device* device);
void QRBFlameDeviceDisappeared(QuorbitalCore& core, flame_device* device);
