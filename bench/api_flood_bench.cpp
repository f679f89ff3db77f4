// What the control API lets one client make a running document do, in one run:
//
//   api_flood_bench [--quick] [--only context|flood] [--kinds huge,wide,template,mapping,collection]
//
// context   Making a message with many arguments, as a create request does (one argument action
//           per type letter): the time for 1,000 arguments and for 10,000, and the cost per
//           argument at 10,000 over the cost at 1,000 (1: linear; the old insertion searched the
//           list twice per argument, which made it grow with the count).
// flood     A client floods the document's UDP port with control-API requests for some seconds:
//           create requests with 60,000-letter type strings (refused beyond the argument
//           ceiling), new messages with 1,024 arguments each, templates of one display name with
//           ever new bytes (each a new unique name), new mappings and new template collections,
//           2,000 requests a second, the kinds in turn (--kinds keeps some). Meanwhile the main thread probes a known address
//           every 50 ms from a socket of its own: every probe must be routed within 100 ms. The
//           process's resident memory is read as the flood goes: once the document's bounds are
//           reached it must stay flat. The baseline is the same probe, measured before the flood
//           in the same run.
//
// The manager runs in this process on the main run loop, with its real servers. The last lines
// are "value <name> <figure>" and "ratio <name> <value>".

#include "BenchSockets.h"
#include "document/EngineClasses.h"
#include "document/QRBManager.h"
#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "core/osc/QRBArg.h"
#include "features/QRBInterpretationManager.h"
#include "foundation/Exception.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "platform/PlatformBackends.h"

#include <lo/lo.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "api_flood_bench: %s\n", why.c_str());
    std::exit(1);
}

// Resident memory in MB.
double residentMB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// One OSC message as bytes, made by liblo.
std::vector<char> serialise(const std::string& path, lo_message message) {
    size_t size = 0;
    void* bytes = lo_message_serialise(message, path.c_str(), nullptr, &size);
    std::vector<char> packet(static_cast<char*>(bytes), static_cast<char*>(bytes) + size);
    std::free(bytes);
    lo_message_free(message);
    return packet;
}

class UDPSender {
public:
    explicit UDPSender(long port) : to_(bench::loopback(port)) { fd_ = socket(AF_INET, SOCK_DGRAM, 0); }
    ~UDPSender() { close(fd_); }
    UDPSender(const UDPSender&) = delete;
    UDPSender& operator=(const UDPSender&) = delete;
    void send(const std::vector<char>& bytes) {
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    }

private:
    sockaddr_in to_;
    int fd_ = -1;
};

// ---- context --------------------------------------------------------------------------------------

// Seconds to give a new message `count` float arguments, as a create request does.
double makeWideMessage(QRBManager& manager, size_t count, const std::string& path) {
    const auto start = Clock::now();
    if (!manager.tuioManager()->APIMessageCreateWithSignature(path, std::string(count, 'f')))
        fail("the message " + path + " was not made");
    const double elapsed = seconds(Clock::now() - start);
    if (manager.contextWithName(path)->actions().size() != count) fail("the message " + path + " is incomplete");
    return elapsed;
}

// ---- flood ----------------------------------------------------------------------------------------

// The kinds of request of the flood, in the order floodRequest takes them.
constexpr const char* kKinds[] = {"huge", "wide", "template", "mapping", "collection"};

// A request of `kind`; `n` makes every one new.
std::vector<char> floodRequest(size_t kind, size_t n) {
    const std::string id = std::to_string(n);
    switch (kind) {
    case 0: {
        lo_message m = lo_message_new();
        lo_message_add_string(m, ("/huge/" + id).c_str());
        lo_message_add_string(m, std::string(60000, 'f').c_str());
        return serialise(QRBInterpretationManager::kCreatePath, m);
    }
    case 1: {
        lo_message m = lo_message_new();
        lo_message_add_string(m, ("/wide/" + id).c_str());
        lo_message_add_string(m, std::string(QRBContext::kMaxArgumentActionsPerMessage, 'f').c_str());
        return serialise(QRBInterpretationManager::kCreatePath, m);
    }
    case 2: {
        // One display name, ever new bytes: each is a new template that needs a unique name.
        const uint8_t bytes[3] = {0xB0, uint8_t(n & 0x7F), uint8_t((n >> 7) & 0x7F)};
        lo_blob blob = lo_blob_new(3, bytes);
        lo_message m = lo_message_new();
        lo_message_add_string(m, "/templated");
        lo_message_add_int32(m, 0);
        lo_message_add_int32(m, 0);
        lo_message_add_int32(m, 127);
        lo_message_add_string(m, "[Flood] Kick");
        lo_message_add_blob(m, blob);
        lo_message_add_string(m, "changed");
        auto packet = serialise(QRBInterpretationManager::kMapToMIDIPath, m);
        lo_blob_free(blob);
        return packet;
    }
    case 3: {
        lo_message m = lo_message_new();
        lo_message_add_string(m, ("Mapping of " + id).c_str());
        return serialise(QRBInterpretationManager::kRestorePath, m);
    }
    default: {
        const uint8_t bytes[3] = {0xB1, 0x07, 0x00};
        lo_blob blob = lo_blob_new(3, bytes);
        lo_message m = lo_message_new();
        lo_message_add_string(m, "/collected");
        lo_message_add_int32(m, 0);
        lo_message_add_int32(m, 0);
        lo_message_add_int32(m, 127);
        lo_message_add_string(m, ("[Collection " + id + "] Volume").c_str());
        lo_message_add_blob(m, blob);
        lo_message_add_string(m, "changed");
        auto packet = serialise(QRBInterpretationManager::kMapToMIDIPath, m);
        lo_blob_free(blob);
        return packet;
    }
    }
}

struct ProbeFigures {
    size_t probes = 0;
    size_t late = 0;   // routed after 100 ms, or never
    double worst = 0;  // seconds
};

class Flood {
public:
    Flood() : port_(bench::freePort()), manager_(QRBManager::create()) {
        if (port_ == 0) fail("no free port");
        manager_->setServerPort(port_);
        if (!manager_->start()) fail("the manager does not start");
        probe_ = std::make_unique<UDPSender>(port_);
        lo_message m = lo_message_new();
        lo_message_add_float(m, 0.5f);
        probePacket_ = serialise("/known", m);
        probe_->send(probePacket_);
        if (!foundation::RunLoop::main().runUntil([&] { return known() && known()->lastReceivedMessage(); }, 10))
            fail("/known is not learned");
    }
    ~Flood() { manager_->close(); }

    // Probes every 50 ms for `duration` seconds, calling `sample` after each probe.
    ProbeFigures probe(double duration, const std::function<void(double elapsed)>& sample) {
        ProbeFigures f;
        const auto start = Clock::now();
        while (seconds(Clock::now() - start) < duration) {
            // Each probe carries a value of its own. The flood switches mappings, and /known is
            // learned anew in each: the probe is routed when /known of any mapping received it.
            const float value = float(++probes_);
            lo_message m = lo_message_new();
            lo_message_add_float(m, value);
            const auto packet = serialise("/known", m);
            const auto sent = Clock::now();
            probe_->send(packet);
            const bool routed = foundation::RunLoop::main().runUntil([&] { return received(value); }, 2.0);
            const double latency = routed ? seconds(Clock::now() - sent) : 2.0;
            ++f.probes;
            if (!routed || latency > 0.1) ++f.late;
            f.worst = std::max(f.worst, latency);
            sample(seconds(Clock::now() - start));
            // The rest of the 50 ms goes on routing what arrives.
            foundation::RunLoop::main().runUntil([] { return false; },
                                                 std::max(0.0, 0.05 - seconds(Clock::now() - sent)));
        }
        return f;
    }

    long port() const { return port_; }
    const QRBManagerPtr& manager() const { return manager_; }

private:
    QRBContextPtr known() const { return manager_->contextWithName("/known"); }
    bool received(float value) const {
        for (const auto& preset : manager_->presetManager()->presets()) {
            const auto context = preset->contextWithName("/known");
            const auto message = context ? context->lastReceivedMessage() : nullptr;
            if (message && message->arguments().size() == 1 && message->arguments()[0]->floatValue() == value)
                return true;
        }
        return false;
    }

    long port_;
    QRBManagerPtr manager_;
    std::unique_ptr<UDPSender> probe_;
    std::vector<char> probePacket_;
    size_t probes_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    registerEngineClasses();
    platform::registerPlatformBackends();
    bool quick = false;
    std::string only;
    std::vector<size_t> kinds = {0, 1, 2, 3, 4};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--kinds") == 0 && i + 1 < argc) {
            const std::string list = std::string(",") + argv[++i] + ",";
            kinds.clear();
            for (size_t k = 0; k < std::size(kKinds); ++k)
                if (list.find(std::string(",") + kKinds[k] + ",") != std::string::npos) kinds.push_back(k);
            if (kinds.empty()) fail("no known kind in " + list);
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
                   (std::strcmp(argv[i + 1], "context") == 0 || std::strcmp(argv[i + 1], "flood") == 0)) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: api_flood_bench [--quick] [--only context|flood] [--kinds a,b,...]\n");
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
        if (only.empty() || only == "context") {
            auto manager = QRBManager::create();
            // Contexts are registered as they are made: the servers run.
            manager->setServerPort(bench::freePort());
            if (!manager->start()) fail("the manager does not start");
            double few = 1e9, many = 1e9;
            const int rounds = quick ? 2 : 5;
            for (int round = 0; round < rounds; ++round) {
                few = std::min(few, makeWideMessage(*manager, 1000, "/few/" + std::to_string(round)));
                many = std::min(many, makeWideMessage(*manager, 10000, "/many/" + std::to_string(round)));
            }
            manager->close();
            std::printf("context: 1,000 arguments in %.2f ms, 10,000 in %.2f ms\n", few * 1e3, many * 1e3);
            value("context_ms_1000_arguments", few * 1e3);
            value("context_ms_10000_arguments", many * 1e3);
            ratio("context_cost_per_argument_10000_over_1000", (many / 10000) / (few / 1000));
        }

        if (only.empty() || only == "flood") {
            // The refusals are counted, not printed: the log's own bound is part of what is shown.
            std::atomic<size_t> logLines{0};
            foundation::setLogSink([&](std::string_view) { ++logLines; });
            foundation::flushLogSummariesOn(foundation::RunLoop::main());

            Flood flood;
            const ProbeFigures idle = flood.probe(1.0, [](double) {});
            const double duration = quick ? 6.0 : 20.0;
            const double rate = 2000;  // requests a second
            std::atomic<bool> sending{true};
            std::atomic<size_t> sent{0};
            std::thread client([&] {
                UDPSender sender(flood.port());
                const auto start = Clock::now();
                size_t n = 0;
                while (sending.load()) {
                    sender.send(floodRequest(kinds[n % kinds.size()], n));
                    ++n;
                    sent.store(n);
                    const auto due = start + std::chrono::duration<double>(double(n) / rate);
                    std::this_thread::sleep_until(std::chrono::time_point_cast<Clock::duration>(due));
                }
            });
            const double before = residentMB();
            double atThird = 0, peak = 0;
            const ProbeFigures flooded = flood.probe(duration, [&](double elapsed) {
                const double rss = residentMB();
                peak = std::max(peak, rss);
                if (atThird == 0 && elapsed >= duration / 3) atThird = rss;
            });
            sending.store(false);
            client.join();
            const double after = residentMB();
            foundation::setLogSink({});
            const auto& manager = flood.manager();
            size_t contexts = 0;
            for (const auto& preset : manager->presetManager()->presets()) contexts += preset->countOfObjects();
            std::printf(
                "flood: %zu requests in %.0f s; %zu mappings, %zu messages; memory %.1f MB before, %.1f MB at "
                "a third, %.1f MB at the end (peak %.1f); %zu log lines\n",
                sent.load(), duration, manager->presetManager()->countOfPresets(), contexts, before, atThird, after,
                peak, logLines.load());
            std::printf(
                "flood: probes %zu idle (worst %.1f ms), %zu under the flood (worst %.1f ms, %zu over 100 ms)\n",
                idle.probes, idle.worst * 1e3, flooded.probes, flooded.worst * 1e3, flooded.late);
            value("flood_requests", double(sent.load()));
            value("flood_probe_worst_ms_idle", idle.worst * 1e3);
            value("flood_probe_worst_ms", flooded.worst * 1e3);
            value("flood_probes_over_100ms", double(flooded.late));
            value("flood_rss_mb_at_a_third", atThird);
            value("flood_rss_mb_at_the_end", after);
            value("flood_log_lines_per_second", double(logLines.load()) / duration);
            ratio("flood_probe_worst_over_100ms", flooded.worst / 0.1);
            ratio("flood_rss_end_over_a_third", after / atThird);
        }
    } catch (const foundation::Exception& e) {
        fail(e.name() + ": " + e.reason());
    } catch (const std::exception& e) {
        fail(e.what());
    }
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    return 0;
}
