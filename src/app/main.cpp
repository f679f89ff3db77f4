// The quorbital program: the document-based application, or with "-headless <document>" the
// routing of one document without any interface.

#include "core/document/EngineClasses.h"
#include "core/document/QuorbitalCore.h"
#include "foundation/Exception.h"
#include "platform/PlatformBackends.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    // An exception that start-up does not handle ends the program with its report.
    try {
        registerEngineClasses();
        platform::registerPlatformBackends();
        return QRBCoreMain(argc, argv);
    } catch (const foundation::Exception& e) {
        std::fprintf(stderr, "Terminating because of an uncaught exception %s: %s\n", e.name().c_str(),
                     e.reason().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Terminating because of an uncaught exception: %s\n", e.what());
    }
    return 1;
}
