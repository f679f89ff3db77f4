// Measures saving and reading a document against its size, in one run: a document of N contexts
// and one of 10 N, each saved and read back a few times, the best time of each kept. Work that
// grows with the document's size alone costs the same per context at both sizes; the ratio of
// the two per-context costs shows whether anything grows faster (a ratio near 10 is quadratic).
//
//   save_bench [N]    (default 2000, so 2,000 and 20,000 contexts)

#include "core/mapping/QRBContext.h"
#include "core/mapping/QRBPreset.h"
#include "core/mapping/QRBPresetManager.h"
#include "document/EngineClasses.h"
#include "document/QRBDocument.h"
#include "document/QRBManager.h"
#include "foundation/Exception.h"
#include "platform/PlatformBackends.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double saveSeconds = 1e30;
    double readSeconds = 1e30;
    size_t bytes = 0;
};

Figures measure(long contexts, int rounds) {
    QRBDocument document;
    document.makeWindowControllers();
    const QRBManagerPtr& manager = document.oscManager();
    manager->setServerPort(8000);
    auto preset = manager->presetManager()->currentPreset();
    for (long i = 0; i < contexts; ++i) {
        auto context = QRBContext::create("/bench/" + std::to_string(i), manager);
        context->setInputMax(1.0);
        context->setOutputMax(127.0);
        preset->addObject(context);
    }

    Figures f;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        const foundation::Data data = document.dataOfType(kQRBDocumentType);
        const auto saved = Clock::now();
        QRBDocument reader;
        reader.readFromData(data, kQRBDocumentType);
        const auto read = Clock::now();
        reader.close();
        f.bytes = data.size();
        f.saveSeconds = std::min(f.saveSeconds, std::chrono::duration<double>(saved - start).count());
        f.readSeconds = std::min(f.readSeconds, std::chrono::duration<double>(read - saved).count());
    }
    document.close();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    // Documents made here browse and publish as the program's do.
    registerEngineClasses();
    platform::registerPlatformBackends();
    const long small = argc > 1 ? std::max(1L, std::atol(argv[1])) : 2000;
    const long large = small * 10;
    try {
        const Figures a = measure(small, 3);
        const Figures b = measure(large, 3);
        std::printf("%8s %10s %10s %14s %10s %14s\n", "contexts", "bytes", "save s", "save us/ctx", "read s",
                    "read us/ctx");
        for (const auto& [n, f] : {std::pair{small, a}, std::pair{large, b}}) {
            std::printf("%8ld %10zu %10.3f %14.2f %10.3f %14.2f\n", n, f.bytes, f.saveSeconds, f.saveSeconds / n * 1e6,
                        f.readSeconds, f.readSeconds / n * 1e6);
        }
        std::printf("per-context cost, %ld against %ld contexts: save %.2f, read %.2f (1 is linear, 10 quadratic)\n",
                    large, small, (b.saveSeconds / large) / (a.saveSeconds / small),
                    (b.readSeconds / large) / (a.readSeconds / small));
    } catch (const foundation::Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.name().c_str(), e.reason().c_str());
        return 1;
    }
    return 0;
}
