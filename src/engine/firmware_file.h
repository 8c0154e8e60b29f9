// A firmware image read in place, a few bytes at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qtx {

class FirmwareFile {
public:
    explicit FirmwareFile(const std::string& path);
    ~FirmwareFile() { Close(); }
    FirmwareFile(const FirmwareFile&) = delete;
    FirmwareFile& operator=(const FirmwareFile&) = delete;

    bool ok() const { return f_ != nullptr; }
    FILE* get() const { return f_; }
    void Close();
    // Size from the file system; false (errno set) for what cannot be an image.
    bool Size(uint64_t& size) const;

private:
    FILE* f_ = nullptr;
};

}  // namespace qtx
