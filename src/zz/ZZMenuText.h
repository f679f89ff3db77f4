#pragma once
// Two-column menu titles without a font at hand: a title padded with tabs to a tab stop, so that
// the text after it (a General MIDI controller name, a note number) lines up in a column.

#include <string>

// Menu tab stops are this many points apart.
inline constexpr double kZZMenuTabStopWidth = 28;
// The width a character of the small menu font is taken to have. The engine has no font, so
// titles are measured with this estimate; it only decides how many tabs a title gets.
inline constexpr double kZZMenuCharacterWidth = 7;

// The string followed by one tab; then, for a count above 0, more tabs until the text reaches
// tab stop `tabCount` (measured with the estimate above, a tab advancing to the next stop).
std::string ZZMenuStringFittingTabCount(const std::string& string, long tabCount);
