// Flash memory of a simulated board: NOR cells that erase to 0xFF and that
// programming can only change from 1 to 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qtx::sim {

class FlashModel {
public:
    explicit FlashModel(std::size_t size) : bytes_(size, 0xFF) {}

    std::size_t Size() const { return bytes_.size(); }
    void Erase() { bytes_.assign(bytes_.size(), 0xFF); }
    // Programs one cell and returns what reads back: old AND value, so writing
    // over unerased flash reads back other than what was written.
    uint8_t Program(std::size_t addr, uint8_t value) { return bytes_.at(addr) &= value; }
    // Forces a cell to a value (a failed write modelled by a fault).
    void Force(std::size_t addr, uint8_t value) { bytes_.at(addr) = value; }
    uint8_t Read(std::size_t addr) const { return bytes_.at(addr); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

    // Writes the whole content to path through a temporary file and a rename, so
    // that a reader never sees half a file. Throws std::runtime_error.
    void SaveTo(const std::string& path) const;

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace qtx::sim
