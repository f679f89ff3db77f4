// The main window's services without a window: the monitor view's throttled refresh and its
// autoscroll rule, the headless live plot, the notes record, the import callback's texts.

#include "core/support/FiringTestSupport.h"

#include "core/mapping/QRBConcreteAction.h"
#include "core/monitor/QRBLivePlotController.h"
#include "core/monitor/QRBMainWindowServices.h"
#include "core/monitor/QRBMonitorViewController.h"
#include "core/osc/QRBAppMessage.h"
#include "document/QRBNotesInfos.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace firing;

namespace {

class MonitorViewTest : public ::testing::Test {
protected:
    VirtualMainLoop loop;
    QRBMessageMonitorPtr monitor = std::make_shared<QRBMessageMonitor>();
    QRBMessageEndpointPtr input = std::make_shared<QRBMessageEndpoint>("OSC Input", 1);

    void record(int count) {
        for (int k = 0; k < count; ++k)
            monitor->monitor(firing::message("/m", {Float(k)}), input, foundation::Date::now());
    }
};

}  // namespace

TEST_F(MonitorViewTest, BurstGivesOneRefreshAtOnceAndOneAfterItsEnd) {
    auto view = QRBMonitorViewController::create(monitor);
    EXPECT_EQ(monitor->delegate(), view);
    loop.advance(1.0);  // the last refresh (the creation) lies well back

    record(500);
    EXPECT_EQ(view->refreshCount(), 1u);
    loop.advance(0.0625);
    record(500);  // the burst lasts under 0.1 s
    EXPECT_EQ(view->refreshCount(), 1u);
    loop.advance(0.125);  // 0.1875 s after the first: the scheduled refresh is still pending
    EXPECT_EQ(view->refreshCount(), 1u);
    loop.advance(0.03125);  // 0.15625 s after the last event
    EXPECT_EQ(view->refreshCount(), 2u);
    loop.advance(1.0);
    EXPECT_EQ(view->refreshCount(), 2u);
}

TEST_F(MonitorViewTest, ClearAndPause) {
    auto view = QRBMonitorViewController::create(monitor);
    record(3);
    view->clear();
    EXPECT_EQ(monitor->eventsCount(), 0u);
    view->togglePauseMonitor();
    EXPECT_TRUE(monitor->isPaused());
    view->togglePauseMonitor();
    EXPECT_FALSE(monitor->isPaused());
}

TEST_F(MonitorViewTest, AutoscrollFollowsWhileTheBottomIsNearTheEnd) {
    auto view = QRBMonitorViewController::create(monitor);
    record(10);  // 11 rows with the header
    const long rows = static_cast<long>(monitor->eventsCount());
    view->scrollViewContentBoundsDidChange(rows - 8);
    EXPECT_FALSE(view->autoscroll());
    view->scrollViewContentBoundsDidChange(rows - 7);
    EXPECT_TRUE(view->autoscroll());
    view->scrollViewContentBoundsDidChange(0);
    view->scrollViewContentBoundsDidChange(-1);
    EXPECT_TRUE(view->autoscroll());
}

TEST_F(MonitorViewTest, PendingRefreshIsDroppedWithTheView) {
    auto view = QRBMonitorViewController::create(monitor);
    record(1);
    view.reset();
    loop.advance(1.0);
    record(1);  // the monitor's delegate is gone
    SUCCEED();
}

// ---- live plot ---------------------------------------------------------------------------------

TEST(QRBHeadlessLivePlotController, FollowsItsActionAndKeepsTheLatestValues) {
    VirtualMainLoop loop;
    auto host = std::make_shared<TestHost>();
    auto context = QRBContext::create("/a", host);
    auto first = context->createAction<QRBConcreteAction>(std::nullopt);
    auto second = context->createAction<QRBConcreteAction>(std::nullopt);
    second->setOutputMin(-1);
    second->setOutputMax(3);

    auto plot = std::make_shared<QRBHeadlessLivePlotController>();
    plot->setAction(first);
    EXPECT_EQ(first->logger(), plot);
    plot->setAction(second);
    EXPECT_EQ(first->logger(), nullptr);
    EXPECT_EQ(second->logger(), plot);
    EXPECT_DOUBLE_EQ(plot->minOrdinate(), -1);
    EXPECT_DOUBLE_EQ(plot->maxOrdinate(), 3);

    {
        foundation::LogCapture log;
        plot->logDoubleValue(NAN);
        plot->logDoubleValue(INFINITY);
        EXPECT_TRUE(log.contains("Warning: Plotting non-finite value."));
    }
    for (int k = 0; k < 400; ++k) plot->logDoubleValue(k);
    EXPECT_EQ(plot->valueCount(), QRBHeadlessLivePlotController::kCapacity);
    EXPECT_DOUBLE_EQ(plot->valueAtIndex(0), 400 - double(QRBHeadlessLivePlotController::kCapacity));
    EXPECT_DOUBLE_EQ(*plot->lastValue(), 399);

    plot->start();
    EXPECT_TRUE(plot->isVisible());
    plot->stop();  // leaving the mapping closes the plot and detaches it
    EXPECT_FALSE(plot->isVisible());
    EXPECT_EQ(second->logger(), nullptr);
    EXPECT_EQ(plot->action(), nullptr);
}

TEST(QRBHeadlessLivePlotController, CopyAndArchiveKeepTheFrameOnly) {
    auto plot = std::make_shared<QRBHeadlessLivePlotController>();
    plot->setSavedStringFrame(std::string("10 20 300 100 0 0 1440 900 "));
    auto action = std::make_shared<QRBConcreteAction>();
    plot->setAction(action);
    auto copy = std::static_pointer_cast<QRBHeadlessLivePlotController>(plot->copy());
    EXPECT_EQ(copy->savedStringFrame(), plot->savedStringFrame());
    EXPECT_EQ(copy->action(), nullptr);

    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(plot));
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBHeadlessLivePlotController>(data);
    EXPECT_EQ(decoded->savedStringFrame(), plot->savedStringFrame());
    EXPECT_EQ(decoded->action(), nullptr);
}

// ---- notes, main window, import ----------------------------------------------------------------

TEST(QRBNotesInfos, ArchiveRoundTripAndMissingKeys) {
    auto notes = std::make_shared<QRBNotesInfos>();
    notes->setRtfData(foundation::Data{'{', '\\', 'r', 't', 'f', '}'});
    notes->setWindowFrame(std::string("0 0 400 300 0 0 1440 900 "));
    notes->setIsWindowDisplayed(true);
    auto data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(notes));
    auto decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBNotesInfos>(data);
    EXPECT_EQ(decoded->rtfData(), notes->rtfData());
    EXPECT_EQ(decoded->windowFrame(), notes->windowFrame());
    EXPECT_TRUE(decoded->isWindowDisplayed());

    data = foundation::KeyedArchiver::archivedDataWithRootObject(foundation::Value(std::make_shared<QRBNotesInfos>()));
    decoded = foundation::KeyedUnarchiver::unarchiveRoot<QRBNotesInfos>(data);
    EXPECT_FALSE(decoded->rtfData());
    EXPECT_FALSE(decoded->windowFrame());
    EXPECT_FALSE(decoded->isWindowDisplayed());
}

TEST(QRBMainWindowServices, HeadlessWindowHandsBackWhatTheDocumentLoaded) {
    foundation::Dictionary loaded{{QRBMainWindowInterface::kWindowFrameKey, foundation::Value("0 0 800 600")},
                                  {QRBMainWindowInterface::kKeepWindowsOnTopKey, foundation::Value(true)}};
    QRBHeadlessMainWindow window(loaded);
    EXPECT_EQ(window.userInterfaceParameters(), loaded);

    QRBHeadlessNotesController notesController;
    auto notes = std::make_shared<QRBNotesInfos>();
    notesController.setInfos(notes);
    EXPECT_EQ(notesController.infos(), notes);
}

TEST(QRBMainWindowServices, ImportNamesItsUndoStepAndCountsTheMappings) {
    auto host = std::make_shared<TestHost>();
    std::vector<std::string> undoNames;
    QRBHeadlessMappingsController controller(host, [&](const std::string& name) { undoNames.push_back(name); });
    EXPECT_EQ(controller.oscManager(), host);

    foundation::LogCapture log;
    controller.mappingImporterDidFinish(nullptr, {});
    EXPECT_TRUE(undoNames.empty());
    EXPECT_TRUE(log.lines().empty());

    controller.mappingImporterDidFinish(nullptr, {nullptr});
    controller.mappingImporterDidFinish(nullptr, {nullptr, nullptr, nullptr});
    EXPECT_EQ(undoNames, (std::vector<std::string>{"Import Mapping", "Import 3 Mappings"}));
    EXPECT_TRUE(log.contains("1 mapping was imported."));
    EXPECT_TRUE(log.contains("3 mappings were imported."));
}
