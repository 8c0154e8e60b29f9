// The board's name in the port map: DIR/COMn, a symlink to the pty slave.
#pragma once

#include <string>

namespace qtx::sim {

// $QTXFLASH_PORTS when set, else ~/.config/qtxflash/ports.
std::string DefaultPortsDir();

// "COM3" for "COM3" or "com3"; empty when the name is not COMn with n >= 1.
std::string NormalizePortName(const std::string& name);

class PortLink {
public:
    // Creates dir (with parents) and links dir/name to device. A stale link (to a
    // device that no longer exists, or to this very device) is replaced; anything
    // else under that name is refused. Throws std::runtime_error.
    PortLink(const std::string& dir, const std::string& name, const std::string& device);
    ~PortLink() { Remove(); }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    const std::string& Path() const { return path_; }
    // Removes the link if it still points to our device (someone may have
    // replaced it meanwhile). Safe to call twice.
    void Remove();

private:
    std::string path_;
    std::string device_;
    bool linked_ = false;
};

}  // namespace qtx::sim
