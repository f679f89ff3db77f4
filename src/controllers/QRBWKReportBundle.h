#pragma once
// The OSC bundle of one Wii remote report, written straight into bytes as the handlers add their
// messages. A remote reports up to a hundred times a second with a dozen messages each; building
// liblo messages would allocate for every one of them (the message, its arguments, a copy of its
// address), while this buffer keeps its capacity from report to report and allocates nothing once
// it has grown to a report's size.
//
// The bundle carries the immediate time tag; its messages carry 32-bit floats only.
//
// Main thread only.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

class QRBWKReportBundle {
public:
    // Starts an empty bundle, dropping what the last one held.
    void begin();
    // Ends the report: nothing can be added until the next begin.
    void close() { open_ = false; }
    bool isOpen() const { return open_; }

    // Appends a message of floats under `address` (an OSC address, without NUL inside).
    void addMessage(const char* address, std::initializer_list<double> values);

    // The bundle in its wire form, and how many messages it holds.
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    size_t messageCount() const { return messageCount_; }

private:
    void appendInt32(uint32_t value);
    void appendPadded(const char* text, size_t length);

    std::vector<uint8_t> bytes_;
    size_t messageCount_ = 0;
    bool open_ = false;
};
