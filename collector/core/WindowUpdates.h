#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What the datagram handler may change in the window. It runs on the listener thread and never
// touches a widget itself, so it only sees this interface; tests hand it a recorder instead.

// The labels whose captions the handler sets, named after the window's controls.
enum class Caption {
    lblThreadCount,
    lblTemplate,
    Label3,
    lblVersion,
    lblCount,
    lblsys_uptime,
    lblUnixSecs,
    lblunix_nsecs,
    lblflow_sequence,
    lblengine_type,
    lblengine_id,
    lblsampling_interval,
    lblStatus,
    lblsrcaddr,
};

inline constexpr std::size_t kCaptionCount = static_cast<std::size_t>(Caption::lblsrcaddr) + 1;

// The control name of a caption target, e.g. "lblThreadCount".
constexpr const char* CaptionControlName(Caption Control) {
    switch (Control) {
        case Caption::lblThreadCount:
            return "lblThreadCount";
        case Caption::lblTemplate:
            return "lblTemplate";
        case Caption::Label3:
            return "Label3";
        case Caption::lblVersion:
            return "lblVersion";
        case Caption::lblCount:
            return "lblCount";
        case Caption::lblsys_uptime:
            return "lblsys_uptime";
        case Caption::lblUnixSecs:
            return "lblUnixSecs";
        case Caption::lblunix_nsecs:
            return "lblunix_nsecs";
        case Caption::lblflow_sequence:
            return "lblflow_sequence";
        case Caption::lblengine_type:
            return "lblengine_type";
        case Caption::lblengine_id:
            return "lblengine_id";
        case Caption::lblsampling_interval:
            return "lblsampling_interval";
        case Caption::lblStatus:
            return "lblStatus";
        case Caption::lblsrcaddr:
            return "lblsrcaddr";
    }
    return "";
}

class WindowUpdates {
  public:
    virtual ~WindowUpdates() = default;

    // Replaces the label's caption whole. Any thread; 8-bit text, copied before the call returns.
    virtual void SetCaption(Caption Control, std::string_view Text) = 0;
    // Adds one line at the end of the memo. Any thread; the line carries no line end and is
    // copied before the call returns.
    virtual void AddMemoLine(std::string_view Line) = 0;
    // Sounds the default beep once, on the main thread. Any thread.
    virtual void Beep() = 0;
    // Updates the calling thread issues between these two calls may be held back and passed on
    // together at EndBatch, in their order; the handler brackets each datagram with them.
    virtual void BeginBatch() {}
    virtual void EndBatch() {}
};
