#include "platform/FakeBonjourBackend.h"

#include "foundation/Format.h"
#include "foundation/RunLoop.h"

#include <algorithm>

namespace platform {

using foundation::Dictionary;
using foundation::ResolvedService;
using foundation::RunLoop;
using foundation::ServiceIdentity;
using foundation::TXTRecord;

namespace {

std::string normalisedDomain(const std::string& domain) {
    if (domain.empty()) return "local.";
    return domain.back() == '.' ? domain : domain + ".";
}

bool sameService(const ServiceIdentity& a, const ServiceIdentity& b) {
    return a.name == b.name && a.type == b.type && normalisedDomain(a.domain) == normalisedDomain(b.domain);
}

// Runs `fn` from the main run loop unless the operation owning `alive` has ended by then.
void later(const std::shared_ptr<bool>& alive, std::function<void()> fn) {
    RunLoop::main().post([alive, fn = std::move(fn)] {
        if (*alive) fn();
    });
}

}  // namespace

struct FakeBonjourBackend::PublicationOp final : Publication {
    std::weak_ptr<FakeBonjourBackend> backend;
    ServiceIdentity identity;
    int port = 0;
    TXTRecord txt;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    bool established = false;

    ~PublicationOp() override {
        *alive = false;
        auto b = backend.lock();
        if (!b || !established) return;
        auto it = std::find_if(b->services_.begin(), b->services_.end(),
                               [&](const Service& s) { return s.published && sameService(s.identity, identity); });
        if (it == b->services_.end()) return;
        Service gone = *it;
        b->services_.erase(it);
        b->announce(gone, false);
    }

    bool setTXTRecord(const TXTRecord& record) override {
        auto b = backend.lock();
        if (!b || b->refusesTXTRecords_) return false;
        txt = record;
        for (Service& s : b->services_)
            if (s.published && sameService(s.identity, identity)) s.resolved.txtRecord = record;
        return true;
    }
};

struct FakeBonjourBackend::BrowseOp final : Operation {
    std::weak_ptr<FakeBonjourBackend> backend;
    std::string type;
    std::string domain;
    BrowseCallbacks callbacks;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    ~BrowseOp() override {
        *alive = false;
        if (auto b = backend.lock()) b->browsers_.erase(this);
    }
};

struct FakeBonjourBackend::ResolveOp final : Operation {
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    ~ResolveOp() override { *alive = false; }
};

std::vector<FakeBonjourBackend::Service> FakeBonjourBackend::publishedServices() const {
    std::vector<Service> result;
    for (const Service& s : services_)
        if (s.published) result.push_back(s);
    return result;
}

const FakeBonjourBackend::Service* FakeBonjourBackend::findService(const ServiceIdentity& identity) const {
    for (const Service& s : services_)
        if (sameService(s.identity, identity)) return &s;
    return nullptr;
}

bool FakeBonjourBackend::matches(const BrowseOp& browser, const ServiceIdentity& identity) {
    return browser.type == identity.type && normalisedDomain(browser.domain) == normalisedDomain(identity.domain);
}

void FakeBonjourBackend::announce(const Service& service, bool found) {
    for (BrowseOp* browser : browsers_) {
        if (!matches(*browser, service.identity)) continue;
        auto callback = found ? browser->callbacks.found : browser->callbacks.lost;
        ServiceIdentity identity = service.identity;
        later(browser->alive, [callback, identity] {
            if (callback) callback(identity);
        });
    }
}

void FakeBonjourBackend::addRemoteService(const ServiceIdentity& identity, const ResolvedService& resolved) {
    Service service{identity, resolved, false};
    service.identity.domain = normalisedDomain(identity.domain);
    removeRemoteService(service.identity);
    services_.push_back(service);
    announce(service, true);
}

void FakeBonjourBackend::removeRemoteService(const ServiceIdentity& identity) {
    auto it = std::find_if(services_.begin(), services_.end(),
                           [&](const Service& s) { return !s.published && sameService(s.identity, identity); });
    if (it == services_.end()) return;
    Service gone = *it;
    services_.erase(it);
    announce(gone, false);
}

std::unique_ptr<foundation::BonjourBackend::Publication> FakeBonjourBackend::publish(const ServiceIdentity& service,
                                                                                     int port,
                                                                                     const TXTRecord& txtRecord,
                                                                                     PublishCallbacks callbacks) {
    auto op = std::make_unique<PublicationOp>();
    op->backend = weak_from_this();
    op->identity = service;
    op->identity.domain = normalisedDomain(service.domain);
    op->port = port;
    op->txt = txtRecord;
    if (failsPublishing_) {
        later(op->alive, [failed = callbacks.failed] {
            if (failed)
                failed(foundation::netServicesErrorDictionary(foundation::NetServicesUnknownError, "Publishing fails"));
        });
        return op;
    }
    PublicationOp* raw = op.get();
    later(op->alive, [raw, published = callbacks.published] {
        auto b = raw->backend.lock();
        if (!b) return;
        // Another service of that name and type makes this one take the next free "name (n)".
        std::string base = raw->identity.name;
        for (int n = 2; b->findService(raw->identity); ++n)
            raw->identity.name = foundation::format("%s (%d)", base.c_str(), n);
        Service s{raw->identity, ResolvedService{b->localHostName_, {"127.0.0.1"}, raw->port, raw->txt}, true};
        b->services_.push_back(s);
        raw->established = true;
        b->announce(s, true);
        if (published) published(raw->identity.name);
    });
    return op;
}

std::unique_ptr<foundation::BonjourBackend::Operation> FakeBonjourBackend::browse(const std::string& type,
                                                                                  const std::string& domain,
                                                                                  BrowseCallbacks callbacks) {
    auto op = std::make_unique<BrowseOp>();
    op->backend = weak_from_this();
    op->type = type;
    op->domain = domain;
    op->callbacks = std::move(callbacks);
    if (failsBrowsing_) {
        later(op->alive, [failed = op->callbacks.failed] {
            if (failed)
                failed(foundation::netServicesErrorDictionary(foundation::NetServicesUnknownError, "Browsing fails"));
        });
        return op;
    }
    browsers_.insert(op.get());
    for (const Service& s : services_) {
        if (!matches(*op, s.identity)) continue;
        later(op->alive, [found = op->callbacks.found, identity = s.identity] {
            if (found) found(identity);
        });
    }
    return op;
}

std::unique_ptr<foundation::BonjourBackend::Operation> FakeBonjourBackend::resolve(const ServiceIdentity& service,
                                                                                   ResolveCallbacks callbacks) {
    auto op = std::make_unique<ResolveOp>();
    if (leavesResolutionsPending_) return op;
    const Service* found = failsResolving_ ? nullptr : findService(service);
    if (!found) {
        later(op->alive, [failed = callbacks.failed] {
            if (failed)
                failed(foundation::netServicesErrorDictionary(foundation::NetServicesNotFoundError, "Not found"));
        });
        return op;
    }
    later(op->alive, [resolved = callbacks.resolved, r = found->resolved] {
        if (resolved) resolved(r);
    });
    return op;
}

}  // namespace platform
