// A display that keeps every call in order, so a test can assert the exact
// sequence a user would have seen.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/display.h"

namespace qtx::test {

class Recorder : public Display {
public:
    void SetPanelCaption(Panel p, const std::string& c) override { Add(std::string(PanelName(p)) + " caption " + c); captions[Index(p)] = c; }
    void SetPanelColor(Panel p, Color c) override { Add(std::string(PanelName(p)) + " color " + ColorName(c)); colors[Index(p)] = c; }
    void SetStatusText(const std::string& t) override { Add("status " + t); status = t; }
    void SetProgress(int pct) override {
        progress = pct;
        if (recordProgress) Add("progress " + std::to_string(pct));
        progressValues.push_back(pct);
    }
    void SetProgressTextVisible(bool v) override { Add(std::string("progress text ") + (v ? "on" : "off")); }
    void SetCancelEnabled(bool v) override { Add(std::string("Cancel ") + (v ? "enabled" : "disabled")); cancelEnabled = v; }
    void SetCancelDefault(bool v) override { Add(std::string("Cancel ") + (v ? "default" : "not default")); }
    void SetFlashEnabled(bool v) override { Add(std::string("FlashButton ") + (v ? "enabled" : "disabled")); flashEnabled = v; }
    void SetFlashDefault(bool v) override { Add(std::string("FlashButton ") + (v ? "default" : "not default")); }
    void SetTimerRunning(bool v) override { Add(std::string("Timer4 ") + (v ? "on" : "off")); timerRunning = v; }
    void ShowPortRecord(const PortRecord& r) override { Add("port " + r.Name() + " " + std::to_string(r.BaudRate())); }
    void Pump() override {
        ++pumps;
        if (onPump) onPump();
    }
    void MessageBox(const std::string& text, const std::string& caption, MessageIcon) override {
        Add("message " + caption + ": " + text);
    }

    // Events (all calls but Pump and, unless asked for, SetProgress).
    std::vector<std::string> events;
    std::vector<int> progressValues;
    bool recordProgress = false;
    std::function<void()> onPump;

    std::string captions[3] = {"BSL", "ERASE", "FLASH"};
    Color colors[3] = {Color::Menu, Color::Menu, Color::Menu};
    std::string status;
    int progress = 0;
    bool cancelEnabled = false, flashEnabled = false, timerRunning = false;
    long pumps = 0;

    bool Has(const std::string& event) const {
        for (const auto& e : events)
            if (e == event) return true;
        return false;
    }
    // Events that start with prefix, in order.
    std::vector<std::string> Matching(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        return out;
    }
    static int Index(Panel p) { return p == Panel::Bsl ? 0 : p == Panel::Erase ? 1 : 2; }
    const std::string& Caption(Panel p) const { return captions[Index(p)]; }
    Color ColorOf(Panel p) const { return colors[Index(p)]; }

private:
    void Add(std::string e) { events.push_back(std::move(e)); }
};

}  // namespace qtx::test
