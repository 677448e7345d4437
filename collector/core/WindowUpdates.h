#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "FlowLines.h"
#include "support/DateTime.h"

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

// Every label the handler writes to, once: its control name, the caption it starts with and its
// place in the window. The window builds its labels and its caption map from this table.
struct CaptionControl {
    Caption Id;
    const char* Name;
    const char* InitialText;
    int Left;
    int Top;
};

inline constexpr std::array<CaptionControl, kCaptionCount> kCaptionControls = {{
    {Caption::lblThreadCount, "lblThreadCount", "lblThreadCount", 4, 264},
    {Caption::lblTemplate, "lblTemplate", "Waiting for v9 template", 4, 4},
    {Caption::Label3, "Label3", "Label3", 4, 224},
    {Caption::lblVersion, "lblVersion", "lblVersion", 4, 44},
    {Caption::lblCount, "lblCount", "lblCount", 4, 64},
    {Caption::lblsys_uptime, "lblsys_uptime", "lblsys_uptime", 4, 84},
    {Caption::lblUnixSecs, "lblUnixSecs", "lblUnixSecs", 4, 104},
    {Caption::lblunix_nsecs, "lblunix_nsecs", "lblunix_nsecs", 4, 124},
    {Caption::lblflow_sequence, "lblflow_sequence", "lblflow_sequence", 4, 144},
    {Caption::lblengine_type, "lblengine_type", "lblengine_type", 4, 164},
    {Caption::lblengine_id, "lblengine_id", "lblengine_id", 4, 184},
    {Caption::lblsampling_interval, "lblsampling_interval", "lblsampling_interval", 4, 204},
    {Caption::lblStatus, "lblStatus", "lblStatus", 4, 244},
    {Caption::lblsrcaddr, "lblsrcaddr", "lblsrcaddr", 256, 24},
}};

constexpr const CaptionControl& CaptionControlOf(Caption Control) {
    return kCaptionControls[static_cast<std::size_t>(Control)];
}

// The control name of a caption target, e.g. "lblThreadCount".
constexpr const char* CaptionControlName(Caption Control) { return CaptionControlOf(Control).Name; }

// The table is indexed by the enumeration; a row out of place would show a caption in the wrong label.
constexpr bool CaptionTableInOrder() {
    for (std::size_t i = 0; i < kCaptionCount; ++i) {
        if (static_cast<std::size_t>(kCaptionControls[i].Id) != i) return false;
    }
    return true;
}
static_assert(CaptionTableInOrder());

// One memo line on its way to the window: a text, or a flow that is made text only when read.
struct MemoLine {
    bool IsFlow = false;
    flowlines::DisplayFlow Flow;
    std::string Text;  // the line, when it is not a flow

    void Assign(std::string_view Line) {
        IsFlow = false;
        Text.assign(Line);
    }
    void Assign(const flowlines::DisplayFlow& Shown) {
        IsFlow = true;
        Flow = Shown;
    }
    // Keeps this entry's text buffer whatever Other holds.
    void CopyFrom(const MemoLine& Other) {
        if (Other.IsFlow) {
            Assign(Other.Flow);
        } else {
            Assign(Other.Text);
        }
    }
    // The line's text: Text itself, or the flow's line built into Scratch.
    const std::string& TextIn(std::string& Scratch) const {
        if (!IsFlow) return Text;
        flowlines::BuildDisplayLine(Scratch, Flow, brix32::ThousandsSeparator());
        return Scratch;
    }
};

class WindowUpdates {
  public:
    virtual ~WindowUpdates() = default;

    // Replaces the label's caption whole. Any thread; 8-bit text, copied before the call returns.
    virtual void SetCaption(Caption Control, std::string_view Text) = 0;
    // Adds one line at the end of the memo. Any thread; the line carries no line end and is
    // copied before the call returns.
    virtual void AddMemoLine(std::string_view Line) = 0;
    // Adds the flow's line at the end of the memo, the same line as AddMemoLine with its text; a
    // window may keep the flow and make the text only when the line is shown.
    virtual void AddMemoFlow(const flowlines::DisplayFlow& Flow) {
        std::string line;
        flowlines::BuildDisplayLine(line, Flow, brix32::ThousandsSeparator());
        AddMemoLine(line);
    }
    // Sounds the default beep once, on the main thread. Any thread.
    virtual void Beep() = 0;
    // Updates the calling thread issues between these two calls may be held back and passed on
    // together at EndBatch, in their order; the handler brackets each datagram with them.
    virtual void BeginBatch() {}
    virtual void EndBatch() {}
};

// For a collector that shows nothing: every update is let go.
class NoWindow : public WindowUpdates {
  public:
    void SetCaption(Caption, std::string_view) override {}
    void AddMemoLine(std::string_view) override {}
    void AddMemoFlow(const flowlines::DisplayFlow&) override {}
    void Beep() override {}
};
