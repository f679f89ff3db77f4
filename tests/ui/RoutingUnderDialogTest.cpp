// A document routes OSC to its target while a modal dialog runs its own loop: the example
// document, on ports of the test's own, inside QDialog::exec.
#include "UiTestSupport.h"

#include "core/osc/QRBTarget.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "e2e/LoopbackOSC.h"
#include "support/TestSupport.h"
#include "ui/kit/RunLoopBridge.h"

#include <QDialog>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>
#include <string>

TEST(RoutingUnderDialog, ARoutedMessageReachesItsTargetWhileAModalDialogRuns) {
    ui::RunLoopBridge bridge(foundation::RunLoop::main());
    Receiver receiver;
    ASSERT_NE(receiver.port(), 0);
    const long port = testsupport::freePort();
    ASSERT_NE(port, 0);
    QRBDocument document;
    document.readFromURL(std::string(QUORBITAL_EXAMPLES) + "/fader.qrb3", kQRBDocumentType);
    document.makeWindowControllers();
    document.oscManager()->setServerPort(port);
    document.oscManager()->oscTargets()[0]->setTargetSpec("127.0.0.1:" + std::to_string(receiver.port()));
    ASSERT_TRUE(document.oscManager()->start());

    QDialog dialog;
    std::optional<std::string> received;
    bool sentWhileModal = false;
    int polls = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!dialog.isVisible()) return;
        if (!received) received = receiver.receive(0);
        if (received || ++polls > 500) {  // bounded: 500 polls of 10 ms
            dialog.reject();
            return;
        }
        // Sent again until routed: the server may still be settling.
        sentWhileModal = sentWhileModal || ui::RunLoopBridge::isTracking();
        sendOSC(port, "/fader", 0.5f);
    });
    poll.start(10);
    dialog.exec();

    EXPECT_TRUE(sentWhileModal);
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, "/mixer/volume ,f 50.000000");
    document.close();
}
