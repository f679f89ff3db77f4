#pragma once
// Shared pieces of the control API's and TUIO interpretation's tests: a document's manager
// routing on a free loopback port with an undo manager, a UDP client, and a barrier that waits
// until everything sent before it has been dispatched (the server dispatches in arrival order).

#include "core/support/ManagerTestSupport.h"

#include "core/mapping/QRBContext.h"
#include "features/QRBInterpretationManager.h"
#include "foundation/Clock.h"
#include "foundation/Log.h"
#include "foundation/UndoManager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace interpretationtest {

using firing::Arg;

class InterpretationFixture : public managertest::ManagerFixture {
protected:
    void SetUp() override {
        ManagerFixture::SetUp();
        // Refusals are logged as lines of a kind, counted instead of written when they repeat
        // within a second: each send moves the log's clock past that window.
        foundation::setLogClock(logClock);
        undo = std::make_shared<foundation::UndoManager>();
        manager->setUndoManager(undo);
        manager->messageMonitor()->setDirection(0);
        ASSERT_TRUE(manager->start());
        sender = std::make_unique<managertest::Sender>(LO_UDP, port);
    }
    void TearDown() override {
        sender.reset();
        foundation::setLogClock(nullptr);
        ManagerFixture::TearDown();
    }

    void send(const std::vector<uint8_t>& bytes) {
        logClock->advance(2.0);
        sender->send(bytes);
    }
    void send(const std::string& path, const std::vector<Arg>& args) { send(managertest::packet(path, args)); }

    // A good request after everything sent so far; true once it has been handled.
    bool barrier() {
        const std::string path = "/barrier/" + std::to_string(++barriers_);
        send(QRBInterpretationManager::kCreatePath, {firing::String(path), firing::String("f")});
        return runUntil([&] { return manager->contextWithName(path) != nullptr; });
    }

    // The arguments of the last message the context at `path` received, as numbers; empty when
    // there is no such context.
    std::vector<double> lastValues(const std::string& path) const {
        std::vector<double> values;
        QRBContextPtr context = manager->contextWithName(path);
        if (!context || !context->lastReceivedMessage()) return values;
        for (const auto& arg : context->lastReceivedMessage()->arguments()) values.push_back(arg->doubleValue());
        return values;
    }

    std::shared_ptr<foundation::ManualClock> logClock = std::make_shared<foundation::ManualClock>();
    std::shared_ptr<foundation::UndoManager> undo;
    std::unique_ptr<managertest::Sender> sender;
    foundation::LogCapture log;

private:
    int barriers_ = 0;
};

}  // namespace interpretationtest
