#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "WindowUpdates.h"

// Records what the handler asks of the window, in order.
class RecordingWindow : public WindowUpdates {
  public:
    void SetCaption(Caption Control, std::string_view Text) override {
        captions[Control] = Text;
        events.push_back(std::string(CaptionControlName(Control)) + "=" + std::string(Text));
    }
    void AddMemoLine(std::string_view Line) override {
        memo.emplace_back(Line);
        events.push_back("memo:" + std::string(Line));
    }
    void Beep() override { ++beeps; }

    std::map<Caption, std::string> captions;
    std::vector<std::string> memo;
    std::vector<std::string> events;
    int beeps = 0;
};

// Passes everything on to Inner, except that the Nth caption of one label (counting from 1) fails
// with an exception instead: a window update that goes wrong inside the handler's record loop.
class FailingWindow : public WindowUpdates {
  public:
    FailingWindow(WindowUpdates& Inner, Caption Target, int Nth, std::string Message)
        : Inner_(Inner), Target_(Target), Nth_(Nth), Message_(std::move(Message)) {}

    void SetCaption(Caption Control, std::string_view Text) override {
        if (Control == Target_ && ++Seen_ == Nth_) throw std::runtime_error(Message_);
        Inner_.SetCaption(Control, Text);
    }
    void AddMemoLine(std::string_view Line) override { Inner_.AddMemoLine(Line); }
    void Beep() override { Inner_.Beep(); }
    void BeginBatch() override { Inner_.BeginBatch(); }
    void EndBatch() override { Inner_.EndBatch(); }

  private:
    WindowUpdates& Inner_;
    Caption Target_;
    int Nth_;
    std::string Message_;
    int Seen_ = 0;
};
