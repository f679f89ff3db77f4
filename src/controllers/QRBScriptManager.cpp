#include "controllers/QRBScriptManager.h"

#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"

namespace {
constexpr const char* kAppleScriptsKey = "appleScripts";
}

QRBScriptEventSourcePtr QRBScriptManager::objectInAppleScriptsAtIndex(size_t index) const {
    FND_PARAMETER_ASSERT(index < appleScripts_.size());
    return appleScripts_[index];
}

void QRBScriptManager::insertObject(const QRBScriptEventSourcePtr& script, size_t index) {
    FND_PARAMETER_ASSERT(script != nullptr);
    FND_PARAMETER_ASSERT(index <= appleScripts_.size());
    if (undoManager_) {
        undoManager_->registerUndo(this, [weak = std::weak_ptr(self()), index] {
            if (auto me = weak.lock()) me->removeObjectFromAppleScriptsAtIndex(index);
        });
    }
    appleScripts_.insert(appleScripts_.begin() + static_cast<long>(index), script);
}

void QRBScriptManager::removeObjectFromAppleScriptsAtIndex(size_t index) {
    FND_PARAMETER_ASSERT(index < appleScripts_.size());
    QRBScriptEventSourcePtr script = appleScripts_[index];
    if (undoManager_) {
        undoManager_->registerUndo(this, [weak = std::weak_ptr(self()), script, index] {
            if (auto me = weak.lock()) me->insertObject(script, index);
        });
    }
    appleScripts_.erase(appleScripts_.begin() + static_cast<long>(index));
}

void QRBScriptManager::fixAppleScripts(const foundation::Value& scripts) {
    const foundation::Array* array = scripts.arrayValue();
    if (!array) return;
    for (const auto& entry : *array) {
        if (auto script = entry.object<QRBScriptEventSource>()) appleScripts_.push_back(script);
    }
}

void QRBScriptManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(foundation::objectListValue(appleScripts_), kAppleScriptsKey);
}

void QRBScriptManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    if (auto scripts = foundation::decodeObjectList<QRBScriptEventSource>(coder, kAppleScriptsKey))
        appleScripts_ = std::move(*scripts);
}
