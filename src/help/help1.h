// The English readme window: "readme.rtf" from the working directory.
#pragma once

#include "help/readme_window.h"

namespace qtx {

class TFormHelp : public ReadmeWindow {
    Q_OBJECT

public:
    explicit TFormHelp(QWidget* parent = nullptr);
    static ReadmeTexts Texts();
};

}  // namespace qtx
