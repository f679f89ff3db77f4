#pragma once
// A tablet daemon launcher for tests that starts no process: it records each launch, can refuse
// one, and lets the test end a daemon as if it had quit by itself. Main thread only.

#include "controllers/devices/TabletDaemonLauncher.h"

#include <memory>
#include <string>
#include <vector>

namespace platform {

class FakeTabletDaemon final : public devices::TabletDaemon {
public:
    FakeTabletDaemon(std::string name, std::vector<std::string> arguments)
        : name(std::move(name)), arguments(std::move(arguments)) {}

    // The daemon ends by itself.
    void exit() { running_ = false; }
    bool wasTerminated() const { return terminated_; }

    bool isRunning() const override { return running_; }
    void terminate() override {
        terminated_ = running_;
        running_ = false;
    }

    const std::string name;
    const std::vector<std::string> arguments;

private:
    bool running_ = true;
    bool terminated_ = false;
};

class FakeTabletDaemonLauncher final : public devices::TabletDaemonLauncher {
public:
    // While set, launching throws as a missing program would.
    void setRefusesLaunch(bool refuses) { refusesLaunch_ = refuses; }
    // Every daemon launched, oldest first.
    const std::vector<std::shared_ptr<FakeTabletDaemon>>& launched() const { return launched_; }

    std::shared_ptr<devices::TabletDaemon> launch(const std::string& name,
                                                  const std::vector<std::string>& arguments) override;

private:
    bool refusesLaunch_ = false;
    std::vector<std::shared_ptr<FakeTabletDaemon>> launched_;
};

}  // namespace platform
