// Bonjour services and browsers over the in-process backend: publishing, finding, resolving,
// losing, the failures, and callbacks that arrive after their receiver has gone.

#include "foundation/NetService.h"

#include "foundation/RunLoop.h"
#include "platform/FakeBonjourBackend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using foundation::BonjourBackend;
using foundation::Dictionary;
using foundation::NetService;
using foundation::NetServiceBrowser;
using foundation::RunLoop;
using foundation::ServiceIdentity;
using foundation::TXTRecord;

namespace {

// Records what a service or a browser tells its delegate, as lines.
class Recorder : public foundation::NetServiceDelegate, public foundation::NetServiceBrowserDelegate {
public:
    void netServiceDidPublish(NetService& s) override { events.push_back("published " + s.name()); }
    void netServiceDidNotPublish(NetService& s, const Dictionary& e) override {
        events.push_back("not published " + s.name());
        errors.push_back(e);
    }
    void netServiceDidResolveAddress(NetService& s) override {
        events.push_back("resolved " + s.name() + " " + s.hostName() + ":" + std::to_string(s.port()));
    }
    void netServiceDidNotResolve(NetService& s, const Dictionary& e) override {
        events.push_back("not resolved " + s.name());
        errors.push_back(e);
    }
    void netServiceDidStop(NetService& s) override { events.push_back("stopped " + s.name()); }

    void netServiceBrowserWillSearch(NetServiceBrowser&) override { events.push_back("will search"); }
    void netServiceBrowserDidNotSearch(NetServiceBrowser&, const Dictionary& e) override {
        events.push_back("did not search");
        errors.push_back(e);
    }
    void netServiceBrowserDidFindService(NetServiceBrowser&, const std::shared_ptr<NetService>& s, bool) override {
        events.push_back("found " + s->name() + " " + s->type() + " " + s->domain());
        found.push_back(s);
    }
    void netServiceBrowserDidRemoveService(NetServiceBrowser&, const std::shared_ptr<NetService>& s, bool) override {
        events.push_back("lost " + s->name());
        lost.push_back(s);
    }
    void netServiceBrowserDidStopSearch(NetServiceBrowser&) override { events.push_back("stopped search"); }

    std::vector<std::string> events;
    std::vector<Dictionary> errors;
    std::vector<std::shared_ptr<NetService>> found;
    std::vector<std::shared_ptr<NetService>> lost;
};

class NetServiceTest : public ::testing::Test {
protected:
    void SetUp() override { BonjourBackend::setShared(fake); }
    void TearDown() override { BonjourBackend::setShared(nullptr); }

    // Everything the backend has posted so far, and what that posts in turn.
    void settle() {
        for (int i = 0; i < 10; ++i) RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
    }

    std::shared_ptr<platform::FakeBonjourBackend> fake = std::make_shared<platform::FakeBonjourBackend>();
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

TEST_F(NetServiceTest, APublicationIsFoundResolvedAndLostByABrowser) {
    auto browser = NetServiceBrowser::create();
    browser->setDelegate(recorder);
    browser->searchForServicesOfType("_osc._tcp", "");
    auto other = NetServiceBrowser::create();  // another type sees nothing of it
    auto otherRecorder = std::make_shared<Recorder>();
    other->setDelegate(otherRecorder);
    other->searchForServicesOfType("_osc._udp", "");

    auto published = NetService::create("", "_osc._tcp", "studio:8000 (Quorbital)", 8000);
    published->setDelegate(recorder);
    published->publish();
    EXPECT_TRUE(recorder->events.empty());  // nothing from inside the calls
    settle();
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"will search", "published studio:8000 (Quorbital)",
                                                          "found studio:8000 (Quorbital) _osc._tcp local."}));
    EXPECT_TRUE(published->isPublished());
    EXPECT_TRUE(published->setTXTRecordData({{"Quorbital-API-Support", {'Y', 'E', 'S'}}}));

    std::shared_ptr<NetService> found = recorder->found.at(0);
    EXPECT_EQ(found->port(), -1);
    EXPECT_TRUE(found->hostName().empty());
    found->setDelegate(recorder);
    found->resolveWithTimeout(0);
    settle();
    EXPECT_EQ(recorder->events.back(), "resolved studio:8000 (Quorbital) quorbital-test.local.:8000");
    EXPECT_EQ(found->TXTRecordData(), (TXTRecord{{"Quorbital-API-Support", {'Y', 'E', 'S'}}}));
    EXPECT_EQ(found->addresses(), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(browser->services().size(), 1u);

    published->stop();
    EXPECT_EQ(recorder->events.back(), "stopped studio:8000 (Quorbital)");
    settle();
    EXPECT_EQ(recorder->events.back(), "lost studio:8000 (Quorbital)");
    EXPECT_EQ(recorder->lost.at(0), found);  // the very object that was found
    EXPECT_TRUE(browser->services().empty());
    EXPECT_EQ(otherRecorder->events, std::vector<std::string>{"will search"});
}

TEST_F(NetServiceTest, ASecondPublicationOfANameIsRenamed) {
    auto first = NetService::create("", "_osc._udp", "Mixer", 9000);
    auto second = NetService::create("", "_osc._udp", "Mixer", 9001);
    first->setDelegate(recorder);
    second->setDelegate(recorder);
    first->publish();
    second->publish();
    settle();
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"published Mixer", "published Mixer (2)"}));
    EXPECT_EQ(second->name(), "Mixer (2)");
}

TEST_F(NetServiceTest, ServicesOfOtherMachinesComeAndGoAsScripted) {
    auto browser = NetServiceBrowser::create();
    browser->setDelegate(recorder);
    fake->addRemoteService({"Synth", "_osc._udp", "local."}, {"synth.local.", {"10.0.0.5"}, 57120, {}});
    browser->searchForServicesOfType("_osc._udp", "local.");
    settle();
    ASSERT_EQ(recorder->found.size(), 1u);
    auto synth = recorder->found[0];
    fake->removeRemoteService({"Synth", "_osc._udp", "local."});
    settle();
    EXPECT_EQ(recorder->events.back(), "lost Synth");

    synth->setDelegate(recorder);
    synth->resolveWithTimeout(0);
    settle();
    EXPECT_EQ(recorder->events.back(), "not resolved Synth");
    EXPECT_EQ(recorder->errors.back().at(foundation::kNetServicesErrorCode).integerValue(),
              foundation::NetServicesNotFoundError);

    browser->stop();
    EXPECT_EQ(recorder->events.back(), "stopped search");
    fake->addRemoteService({"Late", "_osc._udp", "local."}, {"late.local.", {}, 1, {}});
    settle();
    EXPECT_EQ(recorder->events.back(), "stopped search");
    EXPECT_EQ(fake->browserCount(), 0u);
}

TEST_F(NetServiceTest, FailuresReachTheDelegatesWithAnErrorDictionary) {
    fake->setFailsBrowsing(true);
    fake->setFailsPublishing(true);
    auto browser = NetServiceBrowser::create();
    browser->setDelegate(recorder);
    browser->searchForServicesOfType("_osc._udp", "");
    auto service = NetService::create("", "_osc._udp", "Nope", 1234);
    service->setDelegate(recorder);
    service->publish();
    settle();
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"will search", "did not search", "not published Nope"}));
    for (const Dictionary& error : recorder->errors) {
        EXPECT_TRUE(error.count(foundation::kNetServicesErrorCode));
        EXPECT_TRUE(error.count(foundation::kNetServicesErrorDomain));
    }
    EXPECT_FALSE(browser->isSearching());
    EXPECT_FALSE(service->isPublished());

    fake->setFailsPublishing(false);
    fake->setRefusesTXTRecords(true);
    service->publish();
    settle();
    EXPECT_FALSE(service->setTXTRecordData({{"k", {'v'}}}));
    EXPECT_TRUE(service->TXTRecordData().empty());
}

TEST_F(NetServiceTest, AResolutionWithATimeoutEndsWhenNothingAnswers) {
    fake->addRemoteService({"Slow", "_osc._udp", "local."}, {"slow.local.", {}, 1, {}});
    fake->setLeavesResolutionsPending(true);
    auto service = NetService::create("local.", "_osc._udp", "Slow");
    service->setDelegate(recorder);
    service->resolveWithTimeout(0.05);
    ASSERT_TRUE(RunLoop::main().runUntil([&] { return !recorder->events.empty(); }, 5.0));
    EXPECT_EQ(recorder->events, std::vector<std::string>{"not resolved Slow"});
    EXPECT_EQ(recorder->errors.back().at(foundation::kNetServicesErrorCode).integerValue(),
              foundation::NetServicesTimeoutError);
}

TEST_F(NetServiceTest, NothingArrivesForAReceiverThatHasGone) {
    {
        auto service = NetService::create("", "_osc._udp", "Gone", 1);
        service->setDelegate(recorder);
        service->publish();
        auto browser = NetServiceBrowser::create();
        browser->setDelegate(recorder);
        browser->searchForServicesOfType("_osc._udp", "");
    }
    settle();
    EXPECT_TRUE(recorder->events.empty());
    EXPECT_TRUE(fake->publishedServices().empty());
}

}  // namespace
