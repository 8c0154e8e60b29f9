#include "engine/display.h"

namespace qtx {

const char* PanelName(Panel p) {
    switch (p) {
    case Panel::Bsl: return "BslPanel";
    case Panel::Erase: return "ErasePanel";
    case Panel::Flash: return "FlashPanel";
    }
    return "?";
}

const char* PanelIdleCaption(Panel p) {
    switch (p) {
    case Panel::Bsl: return "BSL";
    case Panel::Erase: return "ERASE";
    case Panel::Flash: return "FLASH";
    }
    return "?";
}

const char* ColorName(Color c) {
    switch (c) {
    case Color::Lime: return "clLime";
    case Color::Red: return "clRed";
    case Color::Blue: return "clBlue";
    case Color::InactiveBorder: return "clInactiveBorder";
    case Color::Menu: return "clMenu";
    case Color::BtnFace: return "clBtnFace";
    }
    return "?";
}

}  // namespace qtx
