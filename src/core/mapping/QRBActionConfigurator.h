#pragma once
// Automatic configuration of new actions and contexts (their names and outputs, by address
// family). The mapping features install the real configurator; until then, and in programs
// without them, new actions stay as they are made.

#include <memory>

class QRBAction;

class QRBActionConfigurator {
public:
    virtual ~QRBActionConfigurator() = default;

    // Names and configures a new action or a new top-level context. The default does nothing.
    virtual void configureAction(QRBAction& action) {}

    // The process-wide configurator (a do-nothing one unless another was installed).
    static QRBActionConfigurator& shared();
    static std::shared_ptr<QRBActionConfigurator> sharedPointer();
    // Installs a configurator; null restores the do-nothing default.
    static void setShared(std::shared_ptr<QRBActionConfigurator> configurator);
};
