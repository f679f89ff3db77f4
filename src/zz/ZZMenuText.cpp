#include "zz/ZZMenuText.h"

#include <cmath>

namespace {

// The estimated width of a menu title: characters (UTF-8 lead bytes) at the estimated width, a
// tab to the next tab stop.
double measuredWidth(const std::string& text) {
    double width = 0;
    for (unsigned char c : text) {
        if (c == '\t')
            width = (std::floor(width / kZZMenuTabStopWidth) + 1) * kZZMenuTabStopWidth;
        else if ((c & 0xC0) != 0x80)
            width += kZZMenuCharacterWidth;
    }
    return width;
}

}  // namespace

std::string ZZMenuStringFittingTabCount(const std::string& string, long tabCount) {
    std::string result = string + '\t';
    const double goal = static_cast<double>(tabCount) * kZZMenuTabStopWidth;
    // Bounded by the goal: every tab advances to the next stop.
    while (goal > 0) {
        const double width = measuredWidth(result);
        result += '\t';
        if (width >= goal) break;
    }
    return result;
}
