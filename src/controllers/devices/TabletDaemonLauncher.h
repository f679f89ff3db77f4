#pragma once
// Launching the tablet daemon: a document's tablet manager runs "quorbl-penmond" as a child
// process aimed at its loopback input, and terminates it when routing stops.
//
// The default launcher runs the program installed beside quorbital (foundation::Task); tests use
// the fake in src/platform/tablet/, which starts no process.

#include <memory>
#include <string>
#include <vector>

namespace devices {

class TabletDaemon {
public:
    virtual ~TabletDaemon() = default;
    virtual bool isRunning() const = 0;
    virtual void terminate() = 0;
};

class TabletDaemonLauncher {
public:
    virtual ~TabletDaemonLauncher() = default;
    // Starts the helper program `name` with `arguments`; throws foundation::Exception when it
    // cannot be started.
    virtual std::shared_ptr<TabletDaemon> launch(const std::string& name,
                                                 const std::vector<std::string>& arguments) = 0;
};

// The launcher of child processes.
std::shared_ptr<TabletDaemonLauncher> taskTabletDaemonLauncher();

}  // namespace devices
