#include "document/QuorbitalCore.h"

#include "controllers/QRBWiiRemoteManager.h"
#include "controllers/devices/DeviceLayers.h"
#include "core/QRBPreferences.h"
#include "core/osc/QRBOSCMessage.h"
#include "document/QRBManager.h"
#include "foundation/Document.h"
#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "foundation/UserDefaults.h"
#include "midi/QRBMIDIManager.h"
#include "midi/backends/MidiBackend.h"
#include "zz/ZZHeartbeat.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

namespace {

// The pipe through which the signal handler hands a signal to the main run loop: writing one
// byte is all a handler may safely do.
std::atomic<int> signalPipeWrite{-1};
int signalPipeRead = -1;

std::string expandTilde(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
    if (user.empty()) {
        if (const char* home = std::getenv("HOME"); home && *home) return home + rest;
        if (const passwd* entry = ::getpwuid(::getuid())) return entry->pw_dir + rest;
        return path;
    }
    if (const passwd* entry = ::getpwnam(user.c_str())) return entry->pw_dir + rest;
    return path;
}

std::string signalName(int signal) {
    if (const char* abbreviation = ::sigabbrev_np(signal)) return std::string("SIG") + abbreviation;
    return foundation::format("%d", signal);
}

[[noreturn]] void raiseStartupException(const std::string& reason) {
    throw foundation::Exception(kQuorbitalStartupException, reason);
}

}  // namespace

// ---- The windowed application until there is one ---------------------------------------------

int QRBUnbuiltApplication::run(int, const char* const*) {
    foundation::log(kNotBuilt);
    return 1;
}

// ---- Life --------------------------------------------------------------------------------------

QuorbitalCore& QuorbitalCore::sharedInstance() {
    // Never destroyed: the process ends while its run loop still holds what the core started.
    static QuorbitalCore* const core = new QuorbitalCore();
    return *core;
}

QuorbitalCore::QuorbitalCore()
    : application_(std::make_shared<QRBUnbuiltApplication>()), processExit_([](int status) {
          std::fflush(nullptr);
          std::_Exit(status);
      }) {}

QuorbitalCore::~QuorbitalCore() = default;

void QuorbitalCore::setHeartbeatServer(std::unique_ptr<ZZHeartbeatServer> server) {
    heartbeatServer_ = std::move(server);
}

QRBPreferences& QuorbitalCore::preferences() const {
    return preferences_ ? *preferences_ : QRBPreferences::sharedPreferences();
}

int QRBCoreMain(int argc, const char* const* argv) {
    return QuorbitalCore::sharedInstance().startApplication(argc, argv);
}

// ---- Start -------------------------------------------------------------------------------------

int QuorbitalCore::startApplication(int argc, const char* const* argv) {
    // A reader of the log that went away, or a peer that closed its socket, must cost a failed
    // write, never the process: SIGPIPE would end it without a word in the middle of a show.
    ::signal(SIGPIPE, SIG_IGN);
    // Lines summarised under a flood are written as their window ends, also when the flood stops.
    foundation::flushLogSummariesOn(foundation::RunLoop::main());
    // The command line is the argument domain of the user defaults: "-headless <path>" supplies
    // the document's path.
    foundation::UserDefaults::standard().setArguments(argc, argv);
    QRBManager::setTerminateApplicationHandler([this] { terminateApplication(); });
    // The preferences are set up before anything reads them, command line included. The
    // monitor's argument printer takes its float precision from them when the first message is
    // made, in the windowed application and headless alike.
    QRBPreferences& settings = preferences();
    QRBOSCMessage::setPrettyPrinterFloatPrecisionSource([&settings] {
        const uint64_t precision = settings.OSCMessageDecimalFormatPrecision();
        return static_cast<long>(std::min<uint64_t>(precision, std::numeric_limits<long>::max()));
    });

    checkHeadlessness(argc, argv);
    initializeCommonFacilities();
    if (!headless_) return application_->run(argc, argv);
    return runHeadless();
}

void QuorbitalCore::checkHeadlessness(int argc, const char* const* argv) {
    headless_ = false;
    if (argc < 2) return;
    for (int i = 0; i < argc; ++i) {
        if (argv[i] && std::strcmp(argv[i], kHeadlessArgument) == 0) headless_ = true;
    }
}

void QuorbitalCore::initializeCommonFacilities() {
    heartbeatServer_ = ZZHeartbeatServer::newHeartbeatServerWithName(kHeartbeatName);
    if (flameDiscovery_) flameDiscovery_->stop();
    flameDiscovery_ = std::make_unique<QRBFlameDiscovery>(devices::DeviceLayers::current().fireWire);
    flameDiscovery_->setCallbacks([this](flame_device* device) { QRBFlameDeviceAppeared(*this, device); },
                                  [this](flame_device* device) { QRBFlameDeviceDisappeared(*this, device); });
    flameDiscovery_->start();
}

int QuorbitalCore::runHeadless() {
    foundation::log(kRunningHeadless);

    std::optional<std::string> path = foundation::UserDefaults::standard().stringForKey(kHeadlessDefaultsKey);
    if (!path || path->empty()) raiseStartupException(foundation::format(kNoFilePathFormat, "(null)"));
    const std::string expanded = expandTilde(*path);

    // Looking for a MIDI system (connecting to a JACK server, reading the ALSA configuration)
    // takes as long as reading a large document; the document's MIDI manager needs the answer
    // while it decodes. Both go on at once: the decoding waits for the answer only if it is not
    // there yet. Joined before anything is started, and on every way out.
    std::thread midiProbe([] {
        try {
            midi::MidiBackend::shared();
        } catch (const std::exception& e) {
            foundation::logf("MIDI could not be looked for: %s", e.what());
        }
    });
    struct Join {
        std::thread& thread;
        ~Join() {
            if (thread.joinable()) thread.join();
        }
    } joinMidiProbe{midiProbe};

    // The file's bytes and the unarchiver live only while the document decodes: routing runs
    // until the process ends, and a large document's bytes would stay in memory all along.
    QRBManagerPtr manager;
    {
        foundation::Data data;
        try {
            data = foundation::readFile(expanded);
        } catch (const foundation::Exception& e) {
            raiseStartupException(foundation::format(kReadErrorFormat, e.reason().c_str()));
        }

        // Only the current format runs headless: its fix-ups need the interface. Decoding always
        // gives a manager a Wii remote manager, so what tells the formats apart is whether the
        // archive itself held one.
        // A damaged file is the user's to mend, not a fault of the program: its failure becomes
        // a start-up error naming the file and what is wrong with it.
        try {
            auto unarchiver = newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(data);
            manager = unarchiver->decodeObjectOfClass<QRBManager>("QRBLib");
        } catch (const foundation::Exception& e) {
            raiseStartupException(foundation::format(kDamagedFormat, expanded.c_str(), e.reason().c_str()));
        } catch (const std::exception& e) {
            raiseStartupException(foundation::format(kDamagedFormat, expanded.c_str(), e.what()));
        }
    }
    midiProbe.join();
    if (!manager || !manager->archiveHeldWiiManager()) raiseStartupException(kOlderFormat);
    if (!QRBManager::isValidServerPort(manager->serverPort()))
        raiseStartupException(
            foundation::format(QRBManager::kInvalidPortFormat, static_cast<long long>(manager->serverPort())));
    // A locked file locks the document's input, as it does when the document is opened in the
    // window: the run learns no new addresses. (The lock the archive records is not read back
    // there either.)
    manager->setInputLocked(foundation::Document::isFileLocked(expanded));

    // Until the document is read and decoded, SIGINT keeps its default action and ends the
    // process at once: the handler only hands the signal to the run loop, which is not running
    // yet, so a slow read could not be interrupted.
    installSignalHandler();
    foundation::log(kStartingRouting);
    headlessManager_ = manager;
    if (!manager->start()) {
        // Nothing would ever be routed: say why and end with a failing status instead of
        // running on as if all were well.
        foundation::log(manager->lastOSCError().value_or("Error occurred when starting routing"));
        stopApplication();
        return 1;
    }

    foundation::RunLoop::main().run();
    return 0;
}

// ---- Signals -----------------------------------------------------------------------------------

void QRBHeadlessSignalHandler(int signal) {
    const int saved = errno;
    // MIDI input queued behind a flood would otherwise be routed, all of it, before the main loop
    // reaches the quit.
    QRBMIDIManager::stopInputForQuit();
    const int fd = signalPipeWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

void QuorbitalCore::installSignalHandler() {
    if (signalPipeRead < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            foundation::logf("Error: no pipe for signals (errno=%d); SIGINT will end the process at once.", errno);
            return;
        }
        signalPipeRead = fds[0];
        signalPipeWrite.store(fds[1]);
    }
    signalWatch_ = foundation::RunLoop::main().watchFd(signalPipeRead, foundation::FdEvent::Readable, [this](uint32_t) {
        unsigned char bytes[16];
        ssize_t count;
        while ((count = ::read(signalPipeRead, bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < count; ++i) signalReceived(bytes[i]);
        }
    });

    struct sigaction action {};
    action.sa_handler = QRBHeadlessSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A service manager stops with SIGTERM and a closed terminal sends SIGHUP: both end the run
    // as SIGINT does, so that the heartbeat socket is removed.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

void QuorbitalCore::signalReceived(int signal) {
    // A second signal while the run is ending changes nothing.
    if (terminating_) return;
    foundation::logf(kQuittingFormat, signalName(signal).c_str());
    // A signal quits as "/quorbital/quit" does: the manager closes now, releasing its held notes
    // and sending all-notes-off, while the MIDI client still runs; the termination delay below
    // lets the next cycles carry those bytes out before the process (and with it the client)
    // ends.
    if (headlessManager_) headlessManager_->close();
    terminateApplication();
}

// ---- End ---------------------------------------------------------------------------------------

void QuorbitalCore::stopApplication() {
    heartbeatServer_.reset();
    if (flameDiscovery_) flameDiscovery_->stop();
}

void QuorbitalCore::terminateApplication() {
    if (terminating_) return;
    terminating_ = true;
    stopApplication();
    if (!headless_) {
        application_->terminate();
        return;
    }
    auto& loop = foundation::RunLoop::main();
    loop.runUntil(loop.now() + kTerminationDelay);
    // Routing ends before the process does: the servers stop and close their sockets first.
    if (headlessManager_) headlessManager_->stop();
    foundation::flushLogSummaries(true);
    processExit_(0);
}

// ---- Flame discovery ---------------------------------------------------------------------------

void QRBFlameDeviceAppeared(QuorbitalCore& core, flame_device*) { core.preferences().setUseVorerira(true); }

void QRBFlameDeviceDisappeared(QuorbitalCore&, flame_device*) {}

// ---- Decoding ----------------------------------------------------------------------------------

const std::vector<std::pair<std::string, std::string>>& QuorbitalCore::classSubstitutions() {
    static const std::vector<std::pair<std::string, std::string>> table = {
        {"QRBKeystrokeEventSource", "QRBKeyEventSource"},
        {"QRBAction", "QRBConcreteAction"},
        {"QRBDupConcreteAction", "QRBDupAction"},
        {"QRBSplitAction", "QRBDupAction"},
        {"QRBGlobalVelocityEventSource", "QRBChannelVelocityEventSource"},
        {"QRBSortDescriptor", "NSSortDescriptor"},
        {"QRBWiiSettings", "QRBWiiRemote"},
        {"QRBHostInfo", "QRBTarget"},
        {"QRBDefaultHostInfo", "QRBTarget"},
        {"LibloHandler", "QRBManager"},
        {"QRBOSCEventSource", "QRBRouteEventSource"},
        {"QRBRawMidiEventSource", "QRBMidiPacketEventSource"},
        {"QRBNotesController", "QRBNotesInfos"},
        {"TUIOManager", "QRBInterpretationManager"},
        {"QRBMidiParamEventSource", "QRBDummyEventSource"},
        {"QRBMIDIValueSubstitution", "QRBMIDIByteSubstitution"},
    };
    return table;
}

std::unique_ptr<foundation::KeyedUnarchiver>
QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(const foundation::Data& data) {
    // The registry's substitutions hold for every archive the process reads; registering them
    // again is harmless.
    auto& registry = foundation::ClassRegistry::shared();
    for (const auto& [archivedName, currentName] : classSubstitutions())
        registry.setSubstitution(archivedName, currentName);
    return std::make_unique<foundation::KeyedUnarchiver>(data);
}

QRBManagerPtr QuorbitalCore::decodeOSCManager(foundation::KeyedUnarchiver& unarchiver) {
    QRBManagerPtr manager = unarchiver.decodeObjectOfClass<QRBManager>("QRBLib");
    if (!manager) return nullptr;
    manager->fixWiiRemoteManager(unarchiver.decodeObjectOfClass<QRBWiiRemoteManager>(kLegacyWiiManagerKey));
    foundation::Value parameters = unarchiver.decodeObject(kLegacyParametersKey);
    if (const foundation::Dictionary* dictionary = parameters.dictionaryValue())
        manager->fixParameters(*dictionary);
    else if (!parameters.isNull())
        throw foundation::ArchiveError("QRBParameters is not a dictionary");
    return manager;
}
