#pragma once
// A document's script outputs: the list the output menus and the scripts page offer. The routing
// manager owns it and archives it under "scriptManager".

#include "controllers/QRBScriptEventSource.h"
#include "foundation/KeyedArchiver.h"
#include "foundation/Object.h"
#include "foundation/Observation.h"
#include "foundation/UndoManager.h"
#include "foundation/UndoableList.h"

#include <memory>
#include <vector>

class QRBScriptManager;
using QRBScriptManagerPtr = std::shared_ptr<QRBScriptManager>;
using QRBScriptEventSourcePtr = std::shared_ptr<QRBScriptEventSource>;

class QRBScriptManager : public foundation::Object, public foundation::Observable {
    FND_ARCHIVED_CLASS("QRBScriptManager", foundation::Object)

public:
    // Observable key: the list.
    static constexpr const char* kAppleScriptsKey = "appleScripts";

    QRBScriptManager() = default;

    // ---- the list (each change registers its inverse and is announced to observers of
    // "appleScripts")
    const std::vector<QRBScriptEventSourcePtr>& appleScripts() const { return appleScripts_.elements(); }
    size_t countOfAppleScripts() const { return appleScripts_.size(); }
    QRBScriptEventSourcePtr objectInAppleScriptsAtIndex(size_t index) const;
    // Gives the output the manager's undo manager, then inserts.
    void insertObject(const QRBScriptEventSourcePtr& script, size_t index);
    void removeObjectFromAppleScriptsAtIndex(size_t index);
    // Appends the scripts of an older document's parameters (an array; anything else in it is
    // skipped). Null does nothing.
    void fixAppleScripts(const foundation::Value& scripts);

    const std::shared_ptr<foundation::UndoManager>& undoManager() const { return undoManager_; }
    // Stored and handed to every output in the list.
    void setUndoManager(const std::shared_ptr<foundation::UndoManager>& undoManager);

    // "appleScripts".
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    void initWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    std::shared_ptr<QRBScriptManager> self() { return std::static_pointer_cast<QRBScriptManager>(shared_from_this()); }

    foundation::UndoableList<QRBScriptManager, QRBScriptEventSource> appleScripts_{
        kAppleScriptsKey,
        {.insert = &QRBScriptManager::insertObject, .remove = &QRBScriptManager::removeObjectFromAppleScriptsAtIndex}};
    std::shared_ptr<foundation::UndoManager> undoManager_;
};
