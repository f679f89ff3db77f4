#pragma once
// What the main window's filter bar narrows the list of received addresses to: all of them, only
// those with an output assigned somewhere (mode 1) or only those without one (mode 2), further
// narrowed to addresses that contain a typed text, regardless of case and diacritics ("menage"
// finds "/Ménage/1").
//
// A filter is a value: changing the filter means making a new one. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QRBContext;
class QRBContextFilter;
using QRBContextFilterPtr = std::shared_ptr<QRBContextFilter>;

class QRBContextFilter {
public:
    enum Mode : unsigned long { kAll = 0, kAssigned = 1, kUnassigned = 2 };
    // The condition a context must meet to be listed.
    using Predicate = std::function<bool(const QRBContext& context)>;

    static QRBContextFilterPtr contextFilterWithMode(unsigned long mode, const std::optional<std::string>& address);
    // Another mode than 1 or 2 places no condition on the outputs; a missing or empty text places
    // none on the address.
    QRBContextFilter(unsigned long mode, const std::optional<std::string>& address);

    unsigned long mode() const { return mode_; }
    const std::optional<std::string>& address() const { return address_; }
    const Predicate& predicate() const { return predicate_; }
    void setPredicate(Predicate predicate) { predicate_ = std::move(predicate); }

    // Whether the context is listed under this filter.
    bool test(const QRBContext& context) const;

private:
    unsigned long mode_;
    std::optional<std::string> address_;
    Predicate predicate_;
};
