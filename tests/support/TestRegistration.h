#pragma once
// Stand-in classes that only a test program has register when the program loads, beside its
// tests; they are in the program's own object files, so they are linked in whether the libraries
// are static or shared. The libraries' own classes never register this way: the program's main
// calls their registration functions (support/main/).

#include "foundation/KeyedArchiver.h"

// An archived class of a test:  TEST_REGISTER_ARCHIVED_CLASS(TestNode)
#define TEST_REGISTER_ARCHIVED_CLASS(T)                                                                 \
    namespace {                                                                                         \
    [[maybe_unused]] const bool test_registered_##T = (::foundation::registerArchivedClass<T>(), true); \
    }

// An output class of a test (needs core/outputs/QRBEventSource.h): defines its class object and
// registers it.
#define TEST_REGISTER_EVENT_SOURCE(T)                                                        \
    QRB_DEFINE_EVENT_SOURCE_CLASS(T)                                                         \
    namespace {                                                                              \
    [[maybe_unused]] const bool test_registered_##T = (registerEventSourceClass<T>(), true); \
    }
