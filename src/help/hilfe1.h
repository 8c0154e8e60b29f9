// The German readme window: "liesmich.rtf" from the working directory.
#pragma once

#include "help/readme_window.h"

namespace qtx {

class TFormHilfe : public ReadmeWindow {
    Q_OBJECT

public:
    explicit TFormHilfe(QWidget* parent = nullptr);
    static ReadmeTexts Texts();
};

}  // namespace qtx
