#include "settings/setup.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace qtx {

namespace {

int32_t GetLE32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

void PutLE32(uint8_t* p, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
    p[3] = static_cast<uint8_t>(u >> 24);
}

// Copies text with its NUL into a fixed field; the rest of the field is left alone.
void PutText(char* field, std::size_t cap, const std::string& text) {
    const std::size_t n = std::min(text.size(), cap - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

std::string GetText(const char* field, std::size_t cap) {
    return std::string(field, strnlen(field, cap));
}

Setup MakeDefaultImage() {
    Setup s;
    std::memset(&s, 0, sizeof s);
    struct Row { const char* framing; int32_t baud; };
    static const Row rows[10] = {
        {"8N2", 9600},   {"8N1", 57600}, {"8N1", 19200}, {"8N1", 57600},  {"8N1", 19200},
        {"8N1", 57600},  {"8N2", 57600}, {"8N1", 19200}, {"8N1", 115200}, {"8E1", 115200},
    };
    for (int i = 0; i < 10; ++i) s.Ports[i] = PortRecord::Make("COM1", rows[i].framing, rows[i].baud);
    s.SetDeviceCode(1);
    return s;
}

}  // namespace

int32_t PortRecord::BaudRate() const { return GetLE32(BaudRateLE); }
void PortRecord::SetBaudRate(int32_t baud) { PutLE32(BaudRateLE, baud); }
std::string PortRecord::Name() const { return GetText(PortName, sizeof PortName); }
void PortRecord::SetName(const std::string& name) { PutText(PortName, sizeof PortName, name); }
std::string PortRecord::FramingText() const { return GetText(Framing, sizeof Framing); }
void PortRecord::SetFraming(const std::string& f) { PutText(Framing, sizeof Framing, f); }

PortRecord PortRecord::Make(const std::string& name, const std::string& framing, int32_t baud) {
    PortRecord r;
    std::memset(&r, 0, sizeof r);
    r.SetName(name);
    r.SetFraming(framing);
    r.SetBaudRate(baud);
    return r;
}

int32_t Setup::DeviceCode() const { return GetLE32(DeviceCodeLE); }
void Setup::SetDeviceCode(int32_t code) { PutLE32(DeviceCodeLE, code); }

std::string Setup::FlashDirText() const { return GetText(FlashDir, sizeof FlashDir); }

std::string Setup::FlashNameText() const {
    // The name may run on over EpldDir; it is bounded by the end of the record.
    const char* start = FlashName;
    const std::size_t cap = kSetupSize - offsetof(Setup, FlashName);
    return std::string(start, strnlen(start, cap));
}

bool Setup::SetFlashDir(const std::string& dir) {
    if (dir.size() > kMaxFlashDirLen) return false;
    PutText(FlashDir, sizeof FlashDir, dir);
    return true;
}

bool Setup::SetFlashName(const std::string& name) {
    if (name.size() > kMaxFlashNameLen) return false;
    char* start = FlashName;  // deliberately continues over EpldDir for long names
    std::memcpy(start, name.data(), name.size());
    start[name.size()] = '\0';
    return true;
}

int PortRecordIndex(int32_t code) {
    switch (code) {
    case 1: return 1;
    case 2: return 0;
    case 3: return 2;
    case 4: return 3;
    case 5: return 4;
    case 6: return 5;
    case 7: return 6;
    case 8: return 7;
    case 9:
    case 10: return 8;
    case 11: return 9;
    default: return -1;
    }
}

const Setup& DefaultImage() {
    static const Setup image = MakeDefaultImage();
    return image;
}

void DefaultSetup(Setup& setup) {
    std::memcpy(&setup, &DefaultImage(), sizeof setup);
    CurrentDirText(setup.FlashDir, sizeof setup.FlashDir);
    CurrentDirText(setup.EpldDir, sizeof setup.EpldDir);
}

int CurrentDirText(char* dest, std::size_t cap) {
    std::vector<char> buf(4096);
    for (;;) {
        if (getcwd(buf.data(), buf.size())) break;
        if (errno != ERANGE || buf.size() > (1u << 20)) return -1;
        buf.resize(buf.size() * 2);
    }
    std::string dir(buf.data());
    if (dir.empty() || dir[0] != '/') return -1;  // "(unreachable)" and the like
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.size() + 1 > cap) return -1;
    std::memcpy(dest, dir.c_str(), dir.size() + 1);
    return 0;
}

}  // namespace qtx
