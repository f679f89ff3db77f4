#include "controllers/QRBScriptManager.h"

#include "foundation/ArchiveLists.h"
#include "foundation/Exception.h"

namespace {
constexpr const char* kAppleScriptsArchiveKey = "appleScripts";
}

QRBScriptEventSourcePtr QRBScriptManager::objectInAppleScriptsAtIndex(size_t index) const {
    return appleScripts_.at(index);
}

void QRBScriptManager::insertObject(const QRBScriptEventSourcePtr& script, size_t index) {
    FND_PARAMETER_ASSERT(script != nullptr);
    FND_PARAMETER_ASSERT(index <= appleScripts_.size());
    script->setUndoManager(undoManager_);
    appleScripts_.insert(*this, script, index);
}

void QRBScriptManager::removeObjectFromAppleScriptsAtIndex(size_t index) { appleScripts_.remove(*this, index); }

void QRBScriptManager::setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager) {
    undoManager_ = undoManager;
    for (const auto& script : appleScripts_) script->setUndoManager(undoManager_);
}

void QRBScriptManager::fixAppleScripts(const foundation::Value& scripts) {
    const foundation::Array* array = scripts.arrayValue();
    if (!array) return;
    for (const auto& entry : *array) {
        if (auto script = entry.object<QRBScriptEventSource>()) appleScripts_.append(script);
    }
}

void QRBScriptManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
    coder.encodeObject(foundation::objectListValue(appleScripts_.elements()), kAppleScriptsArchiveKey);
}

void QRBScriptManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
    if (auto scripts = foundation::decodeObjectList<QRBScriptEventSource>(coder, kAppleScriptsArchiveKey))
        appleScripts_.assign(std::move(*scripts));
}
