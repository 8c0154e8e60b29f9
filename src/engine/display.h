// The one interface between the engine and its faces (window, command line,
// test recorder). The engine reports progress only through it.
#pragma once

#include <cstdint>
#include <string>

#include "settings/setup.h"

namespace qtx {

enum class Panel { Bsl, Erase, Flash };

// Colour values as 0x00BBGGRR, or 0x80000000 | a system colour index that the faces map to their palette.
enum class Color : uint32_t {
    Lime = 0x0000FF00,            // 65280: step in progress
    Red = 0x000000FF,             // 255: error
    Blue = 0x00FF0000,            // gauge bar
    InactiveBorder = 0x8000000B,  // idle panels
    Menu = 0x80000004,            // design colour of the panels
    BtnFace = 0x8000000F,
};

enum class MessageIcon { None, Error, Warning, Information };

const char* PanelName(Panel p);           // "BslPanel", "ErasePanel", "FlashPanel"
const char* PanelIdleCaption(Panel p);    // "BSL", "ERASE", "FLASH"
const char* ColorName(Color c);           // "clLime", ...

class Display {
public:
    virtual ~Display() = default;

    // Status panels; each change is shown at once (repainted).
    virtual void SetPanelCaption(Panel panel, const std::string& caption) = 0;
    virtual void SetPanelColor(Panel panel, Color color) = 0;
    // StatusBar1: one line of text (may contain line feeds; faces show them as they can).
    virtual void SetStatusText(const std::string& text) = 0;
    // ProgressBar1: 0..100, larger values shown as 100; repainted at once.
    virtual void SetProgress(int percent) = 0;
    virtual void SetProgressTextVisible(bool visible) = 0;
    // Buttons: Cancel (Abort) and FlashButton.
    virtual void SetCancelEnabled(bool enabled) = 0;
    virtual void SetCancelDefault(bool isDefault) = 0;
    virtual void SetFlashEnabled(bool enabled) = 0;
    virtual void SetFlashDefault(bool isDefault) = 0;
    // Timer4 (200 ms): the face calls Timer4Timer(context) on every tick while it runs.
    virtual void SetTimerRunning(bool running) = 0;
    // Panel2 / Panel3: the port name and the baud rate in use.
    virtual void ShowPortRecord(const PortRecord& record) = 0;
    // Process pending user input (the Abort button must get through); never blocks long.
    virtual void Pump() = 0;
    // A modal message; the command-line face prints it to stderr.
    virtual void MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
};

}  // namespace qtx
