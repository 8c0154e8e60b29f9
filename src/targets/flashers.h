// The flasher classes this library offers, made by class name: the target
// table names each target's class, and the catalogue makes it from there.
#pragma once

#include <memory>
#include <string_view>

#include "engine/x_flash.h"

namespace qtx {

// A fresh flasher of the class named className ("Flash_166"); nullptr for a
// name no class here has. Construction parameters are the caller's to set.
std::unique_ptr<X_Flash> CreateFlasher(std::string_view className, Context& ctx);

}  // namespace qtx
