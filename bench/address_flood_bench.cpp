// Measures what a document's size costs it, in one run, as ratios against the same measure on a
// small document:
//
//   address_flood_bench [--quick] [--only flood|startup]
//
// flood     What one new address costs a running document: the main thread's time from its
//           datagram's arrival to its context being made, registered and fired, over a batch of
//           new addresses sent over UDP on the loopback. Measured with 1,000 contexts learned and
//           again with 50,000 (the same manager, grown in between through its own input path,
//           without the sockets); the ratio is the cost per new address at 50,000 over the cost
//           at 1,000, and 1 means that learning costs the same however much was learned. Each
//           figure is the best of several batches, so that a pause of the machine does not count.
//           A known address is sent between the batches: it must still be routed.
//           Also what a learned address holds: the heap in use (all arenas, as malloc counts
//           it) before and after growing from 1,000 contexts to the large count, per context
//           learned. Each context is learned from a message of one float, the commonest kind.
// startup   What opening a document costs per context: decoding it as the headless program
//           does, starting its routing (which registers every context on both servers) and
//           routing its first message, for 1,000 and 10,000 contexts; each ratio is the cost per
//           context with 10,000 over the cost per context with 1,000 (1: linear).
//
// The manager runs in this process on the main run loop, with its real servers; nothing else
// runs. The last lines are "value <name> <figure>" and "ratio <name> <value>".

#include "BenchSockets.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBArg.h"
#include "core/osc/QRBMessageEndpoint.h"
#include "core/osc/QRBOSCMessage.h"
#include "document/EngineClasses.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "document/QuorbitalCore.h"
#include "foundation/Exception.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/RunLoop.h"
#include "foundation/Value.h"
#include "platform/PlatformBackends.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

using bench::freePort;
using bench::loopback;

// "<path>" ,f 0.5, made by hand.
std::vector<char> packet(const std::string& path) {
    const auto padded = [](size_t n) { return (n / 4 + 1) * 4; };  // with at least one NUL
    std::vector<char> bytes(padded(path.size()) + 4 + 4, 0);
    std::memcpy(bytes.data(), path.data(), path.size());
    std::memcpy(bytes.data() + padded(path.size()), ",f", 2);
    const float value = 0.5f;
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    bits = htonl(bits);
    std::memcpy(bytes.data() + bytes.size() - 4, &bits, 4);
    return bytes;
}

class UDPSender {
public:
    explicit UDPSender(long port) : to_(loopback(port)) { fd_ = socket(AF_INET, SOCK_DGRAM, 0); }
    ~UDPSender() { close(fd_); }
    void send(const std::vector<char>& bytes) {
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    }

private:
    sockaddr_in to_;
    int fd_ = -1;
};

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "address_flood_bench: %s\n", why.c_str());
    std::exit(1);
}

// The bytes malloc has handed out and not taken back, in every arena and in mapped blocks.
size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

bool runUntil(const std::function<bool()>& predicate, double timeout) {
    return foundation::RunLoop::main().runUntil(predicate, timeout);
}

// ---- flood -----------------------------------------------------------------------------------------

class Flood {
public:
    Flood() : port_(freePort()), manager_(QRBManager::create()) {
        if (port_ == 0) fail("no free port");
        manager_->setServerPort(port_);
        if (!manager_->start()) fail("the manager does not start");
        sender_ = std::make_unique<UDPSender>(port_);
        // The known address, learned over the network first.
        sender_->send(packet("/known"));
        if (!runUntil([&] { return known() && known()->lastReceivedMessage(); }, 10)) fail("/known is not learned");
    }
    ~Flood() { manager_->close(); }

    size_t contexts() const { return manager_->presetManager()->currentPreset()->countOfObjects(); }

    // Grows the document to `count` contexts through the manager's own input path.
    void growTo(size_t count) {
        const auto endpoint = QRBMessageEndpoint::appEndpoint();
        while (contexts() < count) {
            auto message = std::make_shared<QRBOSCMessage>("/grown/" + std::to_string(next_++),
                                                           std::vector<QRBArgPtr>{QRBArg::argWithFloatValue(0.5f)});
            manager_->receive(message, endpoint, foundation::Date::now());
        }
    }

    // Seconds per new address over `batch` new addresses sent at once and learned.
    double costPerNewAddress(size_t batch) {
        const size_t before = contexts();
        std::vector<std::vector<char>> packets;
        for (size_t i = 0; i < batch; ++i) packets.push_back(packet("/new/" + std::to_string(next_++)));
        // Nothing is waiting: the timer starts with the first datagram.
        foundation::RunLoop::main().runMode(foundation::RunLoopMode::Default, 0);
        const auto start = Clock::now();
        for (const auto& p : packets) sender_->send(p);
        if (!runUntil([&] { return contexts() == before + batch; }, 30))
            fail("a batch of new addresses was not learned (" + std::to_string(contexts() - before) + " of " +
                 std::to_string(batch) + ")");
        const double elapsed = seconds(Clock::now() - start);
        probeKnown();
        return elapsed / static_cast<double>(batch);
    }

    // The best of `rounds` batches.
    double bestCostPerNewAddress(size_t batch, int rounds) {
        double best = 1e9;
        for (int i = 0; i < rounds; ++i) best = std::min(best, costPerNewAddress(batch));
        return best;
    }

private:
    QRBContextPtr known() const { return manager_->contextWithName("/known"); }

    void probeKnown() {
        const auto last = known()->lastReceivedMessage();
        sender_->send(packet("/known"));
        if (!runUntil([&] { return known()->lastReceivedMessage() != last; }, 10)) fail("/known is no longer routed");
    }

    long port_;
    QRBManagerPtr manager_;
    std::unique_ptr<UDPSender> sender_;
    size_t next_ = 0;
};

// ---- startup ---------------------------------------------------------------------------------------

struct StartupFigures {
    double decode = 0;  // seconds
    double start = 0;
    double firstMessage = 0;
};

std::string writeDocument(const std::filesystem::path& folder, size_t contexts, long port) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(port);
    auto preset = manager->presetManager()->currentPreset();
    for (size_t i = 0; i + 1 < contexts; ++i)
        preset->addObject(QRBContext::create("/context/" + std::to_string(i), manager));
    preset->addObject(QRBContext::create(std::string("/known"), manager));
    const std::string path = (folder / ("startup-" + std::to_string(contexts) + ".qrb3")).string();
    document.saveToURL(path, kQRBDocumentType, QRBDocument::SaveOperation::SaveTo);
    document.close();
    return path;
}

// Opens the document as the headless program does, starts it and routes a first message to its
// last context.
StartupFigures measureStartup(const std::string& path, long port) {
    StartupFigures f;
    auto t0 = Clock::now();
    QRBManagerPtr manager;
    {
        const foundation::Data data = foundation::readFile(path);
        auto unarchiver = QuorbitalCore::newUnarchiverForCompatibleDecodingOfQuorbitalDocumentUsingData(data);
        manager = unarchiver->decodeObjectOfClass<QRBManager>("QRBLib");
    }
    if (!manager) fail("the document does not decode");
    auto t1 = Clock::now();
    if (!manager->start()) fail("the decoded manager does not start");
    auto t2 = Clock::now();
    UDPSender sender(port);
    auto known = manager->contextWithName("/known");
    if (!known) fail("the document has no /known");
    sender.send(packet("/known"));
    if (!runUntil([&] { return known->lastReceivedMessage() != nullptr; }, 30)) fail("the first message is not routed");
    auto t3 = Clock::now();
    manager->close();
    f.decode = seconds(t1 - t0);
    f.start = seconds(t2 - t1);
    f.firstMessage = seconds(t3 - t2);
    return f;
}

// The best of `rounds` openings, phase by phase.
StartupFigures bestStartup(const std::string& path, long port, int rounds) {
    StartupFigures best{1e9, 1e9, 1e9};
    for (int i = 0; i < rounds; ++i) {
        StartupFigures f = measureStartup(path, port);
        best.decode = std::min(best.decode, f.decode);
        best.start = std::min(best.start, f.start);
        best.firstMessage = std::min(best.firstMessage, f.firstMessage);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    // Documents made here browse and publish as the program's do.
    registerEngineClasses();
    platform::registerPlatformBackends();
    bool quick = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
                   (std::strcmp(argv[i + 1], "flood") == 0 || std::strcmp(argv[i + 1], "startup") == 0)) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: address_flood_bench [--quick] [--only flood|startup]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> lines;
    auto value = [&](const std::string& name, double figure) {
        char line[160];
        std::snprintf(line, sizeof line, "value %s %.3g", name.c_str(), figure);
        lines.push_back(line);
    };
    auto ratio = [&](const std::string& name, double figure) {
        char line[160];
        std::snprintf(line, sizeof line, "ratio %s %.2f", name.c_str(), figure);
        lines.push_back(line);
    };

    try {
        // ---- flood
        const size_t small = 1000;
        const size_t large = quick ? 20000 : 50000;
        const size_t batch = 200;  // within what a default UDP receive buffer holds
        const int rounds = quick ? 3 : 5;
        if (only.empty() || only == "flood") {
            Flood flood;
            flood.growTo(small);
            const double atSmall = flood.bestCostPerNewAddress(batch, rounds);
            std::printf("flood: %.1f us per new address with %zu contexts\n", atSmall * 1e6, small);
            const auto grow = Clock::now();
            const size_t heapBefore = heapInUse();
            const size_t contextsBefore = flood.contexts();
            flood.growTo(large);
            const double bytesPerContext = (double(heapInUse()) - double(heapBefore)) /
                                           double(flood.contexts() - contextsBefore);
            std::printf("flood: grown to %zu contexts in %.1f s, %.0f bytes of heap per learned context\n", large,
                        seconds(Clock::now() - grow), bytesPerContext);
            const double atLarge = flood.bestCostPerNewAddress(batch, rounds);
            std::printf("flood: %.1f us per new address with %zu contexts\n", atLarge * 1e6, large);
            value("flood_us_per_new_address_" + std::to_string(small), atSmall * 1e6);
            value("flood_us_per_new_address_" + std::to_string(large), atLarge * 1e6);
            value("flood_heap_bytes_per_learned_context", bytesPerContext);
            ratio("flood_new_address_" + std::to_string(large) + "_over_" + std::to_string(small), atLarge / atSmall);
        }

        // ---- startup
        if (!only.empty() && only != "startup") {
            for (const auto& line : lines) std::printf("%s\n", line.c_str());
            return 0;
        }
        char folderTemplate[] = "/tmp/address_flood_bench.XXXXXX";
        const std::filesystem::path folder = mkdtemp(folderTemplate);
        const size_t few = 1000;
        const size_t many = 10000;
        const long port = freePort();
        if (port == 0) fail("no free port");
        const std::string fewPath = writeDocument(folder, few, port);
        const std::string manyPath = writeDocument(folder, many, port);
        const StartupFigures a = bestStartup(fewPath, port, 3);
        const StartupFigures b = bestStartup(manyPath, port, 3);
        std::filesystem::remove_all(folder);
        for (const auto& [n, f] : {std::pair{few, a}, std::pair{many, b}}) {
            std::printf("startup: %zu contexts: decode %.3f s, start %.3f s, first message %.3f s\n", n, f.decode,
                        f.start, f.firstMessage);
            value("startup_decode_s_" + std::to_string(n), f.decode);
            value("startup_start_s_" + std::to_string(n), f.start);
            value("startup_first_message_s_" + std::to_string(n), f.firstMessage);
        }
        const double scale = double(few) / double(many);  // per context
        ratio("startup_decode_per_context_" + std::to_string(many) + "_over_" + std::to_string(few),
              b.decode / a.decode * scale);
        ratio("startup_start_per_context_" + std::to_string(many) + "_over_" + std::to_string(few),
              b.start / a.start * scale);
        ratio("startup_total_per_context_" + std::to_string(many) + "_over_" + std::to_string(few),
              (b.decode + b.start + b.firstMessage) / (a.decode + a.start + a.firstMessage) * scale);
    } catch (const foundation::Exception& e) {
        fail(e.name() + ": " + e.reason());
    } catch (const std::exception& e) {
        fail(e.what());
    }
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    return 0;
}
