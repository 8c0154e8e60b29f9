#include "targets/flashers.h"

#include <array>

#include "targets/flash_163.h"
#include "targets/flash_164.h"
#include "targets/flash_166.h"
#include "targets/flash_4020.h"
#include "targets/flash_509.h"
#include "targets/flash_ac2.h"
#include "targets/flash_sam3.h"
#include "targets/flash_stm32f4.h"
#include "targets/flash_xe167.h"

namespace qtx {

namespace {

template <class T>
std::unique_ptr<X_Flash> Make(Context& ctx) {
    return std::make_unique<T>(ctx);
}

struct FlasherClass {
    std::string_view name;
    std::unique_ptr<X_Flash> (*make)(Context& ctx);
};

const std::array kClasses{
    FlasherClass{"Flash_509", &Make<Flash_509>},         FlasherClass{"Flash_166", &Make<Flash_166>},
    FlasherClass{"Flash_163", &Make<Flash_163>},         FlasherClass{"Flash_4020", &Make<Flash_4020>},
    FlasherClass{"Flash_164", &Make<Flash_164>},         FlasherClass{"Flash_AC2", &Make<Flash_AC2>},
    FlasherClass{"Flash_XE167", &Make<Flash_XE167>},     FlasherClass{"Flash_sam3u", &Make<Flash_sam3u>},
    FlasherClass{"Flash_sam3s", &Make<Flash_sam3s>},     FlasherClass{"Flash_stm32f4", &Make<Flash_stm32f4>},
};

}  // namespace

std::unique_ptr<X_Flash> CreateFlasher(std::string_view className, Context& ctx) {
    for (const FlasherClass& c : kClasses)
        if (c.name == className) return c.make(ctx);
    return nullptr;
}

}  // namespace qtx
