// The core's run loop under the Qt event loop: routing work goes on while a menu or a dialog is
// open; default-mode-only timers and performs wait until the popup or modal widget is gone.
#include "UiTestSupport.h"

#include "core/osc/QRBServer.h"
#include "foundation/RunLoop.h"
#include "support/TestSupport.h"
#include "ui/kit/RunLoopBridge.h"

#include <QDialog>
#include <QMenu>
#include <QTimer>

#include <gtest/gtest.h>
#include <lo/lo.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

using foundation::RunLoop;
using foundation::RunLoopMode;

class RunLoopBridge : public ::testing::Test {
public:
    void SetUp() override {
        bridge = std::make_unique<ui::RunLoopBridge>(RunLoop::main());
        port = testsupport::freePort();
        ASSERT_NE(port, 0);
        server = QRBServer::create(LO_UDP);
        server->setPort(port);
        ASSERT_TRUE(server->start());
        server->registerRootCallback([this](const QRBServerMessage& m) {
            received.push_back(m.path);
            return 0;
        });
    }
    void TearDown() override {
        server->stop();
        bridge.reset();
    }

    void sendOSC(const char* path) {
        lo_address target = lo_address_new("127.0.0.1", std::to_string(port).c_str());
        lo_send(target, path, "i", 1);
        lo_address_free(target);
    }

    // A common timer, a perform posted from another thread and an OSC message all arrive while
    // whatever the test opened is open.
    void expectRoutingGoesOn() {
        bool timerFired = false;
        auto timer = RunLoop::main().scheduleTimer(0.02, false, RunLoopMode::Common,
                                                   [&](foundation::Timer&) { timerFired = true; });
        std::atomic<bool> posted = false;
        std::thread([&] { RunLoop::main().post([&] { posted = true; }); }).join();
        sendOSC("/while/open");
        EXPECT_TRUE(uitest::spinUntil([&] { return timerFired && posted && !received.empty(); }, 5.0))
            << "timer " << timerFired << ", post " << posted << ", OSC " << received.size();
        EXPECT_TRUE(ui::RunLoopBridge::isTracking());
        timer->invalidate();
    }

    // A default-mode perform and timer wait while the popup or modal widget is open, and fire
    // at once when `close` ended it.
    void expectDefaultModeWorkWaitsFor(const std::function<void()>& close) {
        int performs = 0;
        bool timerFired = false;
        RunLoop::main().performAfter(0.01, this, [&] { ++performs; });
        auto timer = RunLoop::main().scheduleTimer(0.01, false, RunLoopMode::Default,
                                                   [&](foundation::Timer&) { timerFired = true; });
        // Common work keeps the bridge pumping meanwhile, in the tracking mode.
        bool ticked = false;
        auto ticker = RunLoop::main().scheduleTimer(0.02, true, RunLoopMode::Common,
                                                    [&](foundation::Timer&) { ticked = true; });
        uitest::spinFor(0.2);
        EXPECT_TRUE(ticked);
        EXPECT_EQ(performs, 0);
        EXPECT_FALSE(timerFired);
        ticker->invalidate();
        close();
        EXPECT_TRUE(uitest::spinUntil([&] { return performs == 1 && timerFired; }, 2.0));
        EXPECT_FALSE(ui::RunLoopBridge::isTracking());
        timer->invalidate();
        RunLoop::main().cancelPerforms(this);
    }

    std::unique_ptr<ui::RunLoopBridge> bridge;
    long port = 0;
    std::shared_ptr<QRBServer> server;
    std::vector<std::string> received;
};

TEST_F(RunLoopBridge, DefaultModeWorkRunsWhenNothingTracks) {
    EXPECT_FALSE(ui::RunLoopBridge::isTracking());
    int performs = 0;
    RunLoop::main().performAfter(0.01, this, [&] { ++performs; });
    sendOSC("/plain");
    EXPECT_TRUE(uitest::spinUntil([&] { return performs == 1 && received.size() == 1; }, 5.0));
}

TEST_F(RunLoopBridge, AnOpenMenuKeepsRoutingAndHoldsBackDefaultModeWork) {
    QMenu menu;
    menu.addAction("Item");
    menu.popup(QPoint(50, 50));
    ASSERT_TRUE(uitest::spinUntil([&] { return ui::RunLoopBridge::isTracking(); }, 5.0));
    expectRoutingGoesOn();
    expectDefaultModeWorkWaitsFor([&] { menu.close(); });
}

TEST_F(RunLoopBridge, AModalDialogKeepsRoutingAndHoldsBackDefaultModeWork) {
    QDialog dialog;
    dialog.setModal(true);
    dialog.show();
    ASSERT_TRUE(uitest::spinUntil([&] { return ui::RunLoopBridge::isTracking(); }, 5.0));
    expectRoutingGoesOn();
    expectDefaultModeWorkWaitsFor([&] { dialog.reject(); });
}

// The real nested loops, once each: QMenu::exec and QDialog::exec run their own event loops, in
// which the bridge's notifier still fires.
TEST_F(RunLoopBridge, MessagesArriveInsideTheNestedLoopsOfMenusAndDialogs) {
    // Once the widget shows, sends a message and waits (at most 500 polls of 10 ms) for it and a
    // common timer to arrive, then closes the widget, which ends its nested loop.
    struct Probe {
        Probe(RunLoopBridge& test, QWidget& widget, std::function<void()> close)
            : test(test), widget(widget), close(std::move(close)), before(test.received.size()) {}
        RunLoopBridge& test;
        QWidget& widget;
        std::function<void()> close;
        size_t before;
        bool timerFired = false;
        bool sent = false;
        int polls = 0;
        QTimer poll;
        std::shared_ptr<foundation::Timer> timer;

        void start() {
            timer = RunLoop::main().scheduleTimer(0.01, false, RunLoopMode::Common,
                                                  [this](foundation::Timer&) { timerFired = true; });
            QObject::connect(&poll, &QTimer::timeout, [this] {
                if (!widget.isVisible()) return;
                if (!sent) {
                    sent = true;
                    test.sendOSC("/nested");
                }
                if (done() || ++polls > 500) close();
            });
            poll.start(10);
        }
        bool done() const { return timerFired && test.received.size() > before; }
        ~Probe() { timer->invalidate(); }
    };

    {
        QMenu menu;
        menu.addAction("Item");
        Probe probe(*this, menu, [&] { menu.close(); });
        probe.start();
        menu.exec(QPoint(50, 50));
        EXPECT_TRUE(probe.done()) << "inside QMenu::exec";
    }
    {
        QDialog dialog;
        Probe probe(*this, dialog, [&] { dialog.reject(); });
        probe.start();
        dialog.exec();
        EXPECT_TRUE(probe.done()) << "inside QDialog::exec";
    }
}

}  // namespace
