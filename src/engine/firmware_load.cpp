#include "engine/firmware_load.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include <srecord/input/file/intel.h>
#include <srecord/quit.h>
#include <srecord/record.h>

#include "engine/firmware_file.h"
#include "engine/target_table.h"

// Debian 12's libsrecord-dev ships no header for the S-record reader that its
// library carries (upstream's srecord/input/file/motorola.h). Its factory, as
// that header declares it; nothing else of the class is used.
namespace srecord {
class input_file_motorola : public input_file {
public:
    static input_file::pointer create(const std::string& file_name);
};
}  // namespace srecord

namespace qtx {

namespace {

std::string Hex32(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Hex8(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02Xh", value);
    return text;
}

const char kDash[] = "\xE2\x80\x93";  // the en dash of a range

std::string Range(uint64_t first, uint64_t last) { return Hex32(first) + kDash + Hex32(last); }

// 107520 -> "107 520"
std::string Grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ' ';
        out += digits[i];
    }
    return out;
}

bool IsHexDigit(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Names from a file are shown, never trusted: anything but printable ASCII becomes '?'.
std::string Printable(const char* text) {
    std::string out;
    for (const char* p = text; p && *p && out.size() < 64; ++p)
        out += (*p >= 0x20 && *p < 0x7F) ? *p : '?';
    return out;
}

// ---- placing data into the image --------------------------------------------

// Places the file's data into the image by the target's flash windows, and
// refuses data outside them and overlapping data that differ. tag names the
// record or segment that placed a byte; label turns it into words.
class ImageBuilder {
public:
    ImageBuilder(const TargetRow& target, std::function<std::string(uint32_t)> label)
        : target_(target), windows_(FlashWindows(target)), label_(std::move(label)) {
        for (const FlashWindow& w : windows_) extent_ = std::max<uint64_t>(extent_, uint64_t{w.imageOffset} + w.size);
        image_.assign(extent_, target.erasedValue);
        written_.assign(extent_, 0);
    }

    bool Place(uint64_t address, const uint8_t* data, uint64_t n, uint32_t tag, std::string& why) {
        const uint64_t end = address + n;
        uint64_t at = address;
        while (at < end) {
            const FlashWindow* w = WindowOf(at);
            if (!w) {
                why = label_(tag) + ": data at " + Range(address, end - 1) + " reach " + Hex32(at) +
                      ", outside the flash of " + target_.itemText + " (" + WindowsText() + ")";
                return false;
            }
            const uint64_t len = std::min<uint64_t>(end - at, uint64_t{w->address} + w->size - at);
            const uint64_t offset = w->imageOffset + (at - w->address);
            for (uint64_t k = 0; k < len; ++k) {
                const uint8_t byte = data[at - address + k];
                if (written_[offset + k] && image_[offset + k] != byte) {
                    why = label_(tag) + ": " + Hex32(at + k) + " gets " + Hex8(byte) + ", but " +
                          label_(OwnerOf(offset + k)) + " put " + Hex8(image_[offset + k]) +
                          " there: overlapping data that differ";
                    return false;
                }
                image_[offset + k] = byte;
                written_[offset + k] = 1;
            }
            if (len > 0) spans_.push_back({offset, len, tag});
            highest_ = std::max(highest_, offset + len);
            lowest_ = std::min(lowest_, at);
            at += len;
        }
        return true;
    }

    bool Empty() const { return spans_.empty(); }

    void Finish(LoadedFirmware& out) {
        image_.resize(highest_);
        out.image = std::move(image_);
        out.lowestAddress = lowest_;
    }

private:
    struct Span {
        uint64_t offset, length;
        uint32_t tag;
    };

    const FlashWindow* WindowOf(uint64_t address) const {
        for (const FlashWindow& w : windows_)
            if (address >= w.address && address - w.address < w.size) return &w;
        return nullptr;
    }

    uint32_t OwnerOf(uint64_t offset) const {
        for (auto it = spans_.rbegin(); it != spans_.rend(); ++it)
            if (offset >= it->offset && offset - it->offset < it->length) return it->tag;
        return 0;
    }

    std::string WindowsText() const {
        std::string text;
        for (const FlashWindow& w : windows_)
            text += (text.empty() ? "" : ", ") + Range(w.address, uint64_t{w.address} + w.size - 1);
        return text;
    }

    const TargetRow& target_;
    std::vector<FlashWindow> windows_;
    std::function<std::string(uint32_t)> label_;
    uint64_t extent_ = 0;
    std::vector<uint8_t> image_;
    std::vector<uint8_t> written_;
    std::vector<Span> spans_;
    uint64_t highest_ = 0;
    uint64_t lowest_ = UINT64_MAX;
};

// ---- Intel HEX and S-records, read by srecord --------------------------------

struct SrecordStop {};

// srecord reports through a quit object and ends the process by default; this
// one keeps the messages and turns the end into an exception.
class Quitter final : public srecord::quit {
public:
    std::vector<std::string> messages;

    void message_v(const char* fmt, va_list ap) override {
        char text[1024];
        std::vsnprintf(text, sizeof text, fmt, ap);
        messages.emplace_back(text);
    }
    void exit(int) override { throw SrecordStop{}; }
};

// srecord's messages start with "FILE: LINE: "; what follows, as "line N: ...".
std::string FromSrecord(const std::string& message, const std::string& fileName, uint32_t* line = nullptr) {
    std::string rest = message;
    if (rest.rfind(fileName + ": ", 0) == 0) rest = rest.substr(fileName.size() + 2);
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits > 0 && digits < 10 && rest.compare(digits, 2, ": ") == 0) {
        if (line) *line = static_cast<uint32_t>(std::stoul(rest.substr(0, digits)));
        return "line " + rest.substr(0, digits) + ": " + rest.substr(digits + 2);
    }
    return rest;
}

uint32_t LineOf(const srecord::input& in, const std::string& fileName) {
    uint32_t line = 0;
    FromSrecord(in.filename_and_line() + ": x", fileName, &line);
    return line;
}

// Warnings that change nothing about the data. Every other warning (garbage
// lines skipped, no end record: a file cut short, data after the end) refuses
// the file: srecord would go on without the data it could not take.
bool Harmless(const std::string& warning, bool countSeen) {
    // srec_cat writes no end record when it knows no start address, but a count
    // record (S5/S6), which srecord checks: without either, the file may be cut.
    if (countSeen && warning == "no execution start address record") return true;
    static const char* const kHarmless[] = {
        "no header record",
        "redundant header record",
        "address in header record ignored",
        "empty data record ignored",
        "data in termination record ignored",
        "redundant termination record",
        "redundant execution start address record",
        "end-of-file record's address field should be zero",
    };
    for (const char* h : kHarmless)
        if (warning.rfind(h, 0) == 0) return true;
    return false;
}

// A file descriptor closed on every path.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// srecord reads files by name only: the bytes already read (and judged) go to
// an anonymous memory file, which it opens through /proc, so that it parses
// exactly these bytes.
// Whether an S-record file holds a count record (S5, S6): a line starting so.
bool HasCountRecord(std::span<const uint8_t> bytes) {
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        if ((i == 0 || bytes[i - 1] == '\n') && bytes[i] == 'S' && (bytes[i + 1] == '5' || bytes[i + 1] == '6'))
            return true;
    return false;
}

bool DecodeRecords(FirmwareFormat format, std::span<const uint8_t> bytes, ImageBuilder& builder, std::string& why) {
    Fd mem{::memfd_create("qtxflash-firmware", MFD_CLOEXEC)};
    if (mem.fd < 0) {
        why = std::string("cannot hold it for reading: ") + std::strerror(errno);
        return false;
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t w = ::write(mem.fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            why = std::string("cannot hold it for reading: ") + std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    const std::string fileName = "/proc/self/fd/" + std::to_string(mem.fd);
    // srecord cannot be stopped cleanly when its own open fails (its destructor
    // opens again and ends the process), so the open is tried here first.
    {
        Fd probe{::open(fileName.c_str(), O_RDONLY | O_CLOEXEC)};
        if (probe.fd < 0) {
            why = "cannot open " + fileName + " for reading: " + std::strerror(errno);
            return false;
        }
    }
    Quitter quitter;
    srecord::input_file::pointer in = format == FirmwareFormat::IntelHex
                                          ? srecord::input_file_intel::create(fileName)
                                          : srecord::input_file_motorola::create(fileName);
    in->set_quit(quitter);
    try {
        srecord::record record;
        while (in->read(record)) {
            if (record.get_type() != srecord::record::type_data || record.get_length() == 0) continue;
            const uint32_t line = LineOf(*in, fileName);
            if (!builder.Place(record.get_address(), record.get_data(), record.get_length(), line, why)) return false;
        }
    } catch (const SrecordStop&) {
        const std::string text = quitter.messages.empty() ? "unreadable" : quitter.messages.back();
        why = FromSrecord(text, fileName);
        if (why.size() >= 21 && why.compare(why.size() - 21, 21, "file contains no data") == 0)
            why = "it holds no data records";
        return false;
    }
    const bool countSeen = format == FirmwareFormat::SRecord && HasCountRecord(bytes);
    for (const std::string& message : quitter.messages) {
        const std::string text = FromSrecord(message, fileName);
        const auto w = text.find("warning: ");
        const std::string warning = w == std::string::npos ? text : text.substr(w + 9);
        if (Harmless(warning, countSeen)) continue;
        const std::string where = w == std::string::npos ? std::string() : text.substr(0, w);
        if (warning == "no end-of-file record")
            why = "it ends without an end-of-file record: the file may be cut short";
        else if (warning == "no execution start address record")
            why = "it ends without an end record (S7, S8, S9) or a record count (S5, S6): the file may be cut short";
        else if (warning == "ignoring garbage lines")
            why = where + "not a record";
        else
            why = where + warning;
        return false;
    }
    return true;
}

// srecord stops reading at a HEX end-of-file record and ignores what follows:
// a second file appended, or records after a misplaced end, would be lost.
bool NothingAfterHexEnd(std::span<const uint8_t> bytes, std::string& why) {
    uint32_t line = 1;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end(), '\n') -
                                bytes.begin();
        if (end - i >= 9 && bytes[i] == ':' && bytes[i + 7] == '0' && bytes[i + 8] == '1') {
            for (std::size_t k = end; k < bytes.size(); ++k) {
                if (bytes[k] == '\n') ++line;
                if (!std::isspace(bytes[k])) {
                    why = "line " + std::to_string(line) + ": more after the end-of-file record";
                    return false;
                }
            }
            return true;
        }
        i = end + 1;
        ++line;
    }
    return true;
}

// ---- ELF, read by libelf -------------------------------------------------------

std::string MachineName(unsigned machine) {
    switch (machine) {
    case 3: return "i386";
    case 8: return "MIPS";
    case 40: return "ARM";
    case 62: return "x86-64";
    case 83: return "AVR";
    case 105: return "MSP430";
    case 116: return "C166";
    case 165: return "8051";
    case 183: return "AArch64";
    case 243: return "RISC-V";
    case 0x4688: return "XC16X";
    default: return {};
    }
}

std::string MachineText(unsigned machine) {
    const std::string name = MachineName(machine);
    return name.empty() ? "machine " + std::to_string(machine) : name + " (machine " + std::to_string(machine) + ")";
}

struct ElfHandle {
    Elf* elf = nullptr;
    ~ElfHandle() {
        if (elf) elf_end(elf);
    }
};

bool DecodeElf(std::span<const uint8_t> bytes, const TargetRow& target, LoadedFirmware& out, std::string& why) {
    if (elf_version(EV_CURRENT) == EV_NONE) {
        why = std::string("libelf cannot read this ELF version: ") + elf_errmsg(-1);
        return false;
    }
    // elf_memory takes a writable buffer; a copy keeps the caller's bytes as they are.
    std::vector<char> copy(bytes.begin(), bytes.end());
    ElfHandle h{elf_memory(copy.data(), copy.size())};
    if (!h.elf || elf_kind(h.elf) != ELF_K_ELF) {
        why = std::string("it is no ELF file libelf can read (") + elf_errmsg(-1) + ")";
        return false;
    }
    const int elfClass = gelf_getclass(h.elf);
    GElf_Ehdr eh;
    if (!gelf_getehdr(h.elf, &eh)) {
        why = std::string("its ELF header cannot be read (") + elf_errmsg(-1) + ")";
        return false;
    }
    std::string machines;
    bool ours = false;
    for (const uint16_t m : target.elfMachines) {
        ours = ours || m == eh.e_machine;
        machines += (machines.empty() ? "" : " or ") + MachineText(m);
    }
    if (!ours) {
        why = "it is a program for " + MachineText(eh.e_machine) + ", not for " + target.itemText + " (" +
              (machines.empty() ? std::string("no ELF machine known") : machines) + ")";
        return false;
    }
    if (elfClass != ELFCLASS32) {
        why = "it is a 64-bit ELF file; " + std::string(target.itemText) + " programs are 32-bit ELF";
        return false;
    }
    if (eh.e_type != ET_EXEC) {
        why = eh.e_type == ET_REL   ? "it is an object file, not a linked program"
              : eh.e_type == ET_DYN ? "it is a shared object, not a program linked for the flash"
                                    : "it is an ELF file of type " + std::to_string(eh.e_type) + ", not a program";
        return false;
    }
    std::size_t rawSize = 0;
    const char* raw = elf_rawfile(h.elf, &rawSize);
    std::size_t phnum = 0;
    if (!raw || elf_getphdrnum(h.elf, &phnum) != 0) {
        why = std::string("its program headers cannot be read (") + elf_errmsg(-1) + ")";
        return false;
    }

    // The sections with contents, to name what a segment holds.
    struct Section {
        uint64_t offset, size;
        std::string name;
    };
    std::vector<Section> sections;
    std::size_t shstrndx = 0;
    if (elf_getshdrstrndx(h.elf, &shstrndx) == 0) {
        for (Elf_Scn* scn = elf_nextscn(h.elf, nullptr); scn; scn = elf_nextscn(h.elf, scn)) {
            GElf_Shdr sh;
            if (!gelf_getshdr(scn, &sh) || !(sh.sh_flags & SHF_ALLOC) || sh.sh_type == SHT_NOBITS || sh.sh_size == 0)
                continue;
            sections.push_back({sh.sh_offset, sh.sh_size, Printable(elf_strptr(h.elf, shstrndx, sh.sh_name))});
        }
    }
    std::vector<std::string> labels;
    ImageBuilder builder(target, [&labels](uint32_t tag) { return tag < labels.size() ? labels[tag] : "?"; });
    for (std::size_t i = 0; i < phnum; ++i) {
        GElf_Phdr ph;
        if (!gelf_getphdr(h.elf, static_cast<int>(i), &ph)) {
            why = "program header " + std::to_string(i) + " cannot be read (" + elf_errmsg(-1) + ")";
            return false;
        }
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue;
        std::string names;
        for (const Section& s : sections)
            if (s.offset >= ph.p_offset && s.offset - ph.p_offset < ph.p_filesz)
                names += (names.empty() ? "" : ", ") + (s.name.empty() ? std::string("?") : s.name);
        labels.push_back("segment " + std::to_string(i) + (names.empty() ? "" : " (" + names + ")"));
        if (ph.p_offset > rawSize || ph.p_filesz > rawSize - ph.p_offset) {
            why = labels.back() + ": its data reach past the end of the file (cut short?)";
            return false;
        }
        if (!builder.Place(ph.p_paddr, reinterpret_cast<const uint8_t*>(raw) + ph.p_offset, ph.p_filesz,
                           static_cast<uint32_t>(labels.size() - 1), why))
            return false;
    }
    if (builder.Empty()) {
        why = "it has no loadable segment with data";
        return false;
    }
    builder.Finish(out);
    return true;
}

}  // namespace

const char* FormatName(FirmwareFormat format) {
    switch (format) {
    case FirmwareFormat::Raw: return "raw image";
    case FirmwareFormat::IntelHex: return "Intel HEX";
    case FirmwareFormat::SRecord: return "S-record";
    case FirmwareFormat::Elf: return "ELF";
    }
    return "?";
}

FirmwareFormat GuessFormat(std::span<const uint8_t> head, std::string_view path) {
    static const uint8_t kElfMagic[] = {0x7F, 'E', 'L', 'F'};
    if (head.size() >= 4 && std::equal(kElfMagic, kElfMagic + 4, head.begin())) return FirmwareFormat::Elf;
    // The first line, blank lines before it skipped. A record line has at most
    // 521 characters (HEX with 255 data bytes), so 600 decide.
    std::size_t i = 0;
    while (i < head.size() && (head[i] == '\n' || head[i] == '\r')) ++i;
    std::size_t end = i;
    while (end < head.size() && head[end] != '\n' && end - i < 600) ++end;
    if (end - i < 600) {
        std::size_t last = end;
        while (last > i && (head[last - 1] == '\r' || head[last - 1] == ' ' || head[last - 1] == '\t')) --last;
        const auto allHex = [&](std::size_t from) {
            for (std::size_t k = from; k < last; ++k)
                if (!IsHexDigit(head[k])) return false;
            return true;
        };
        if (last - i >= 11 && head[i] == ':' && (last - i - 1) % 2 == 0 && allHex(i + 1)) return FirmwareFormat::IntelHex;
        if (last - i >= 10 && head[i] == 'S' && head[i + 1] >= '0' && head[i + 1] <= '9' && allHex(i + 2))
            return FirmwareFormat::SRecord;
    }
    const std::string_view base = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
    const auto dot = base.rfind('.');
    const std::string ext = dot == std::string_view::npos ? std::string() : Lower(base.substr(dot + 1));
    if (ext == "hex" || ext == "ihx") return FirmwareFormat::IntelHex;
    if (ext == "s19" || ext == "s28" || ext == "s37" || ext == "srec" || ext == "mot") return FirmwareFormat::SRecord;
    if (ext == "elf") return FirmwareFormat::Elf;
    return FirmwareFormat::Raw;
}

bool DecodeFirmware(const std::string& name, std::span<const uint8_t> bytes, const TargetRow& target,
                    LoadedFirmware& out, std::string& why) {
    out = LoadedFirmware{};
    const std::string file = "FLASH file \"" + name + "\"";
    if (bytes.empty()) {
        why = file + " is empty: nothing was sent";
        return false;
    }
    // Judged on the same first bytes as ReadFirmwareImage's size check.
    out.format = GuessFormat(bytes.first(std::min<std::size_t>(bytes.size(), 4096)), name);
    out.byContent = out.format == GuessFormat(bytes.first(std::min<std::size_t>(bytes.size(), 4096)), "");
    if (out.format == FirmwareFormat::Raw) {
        if (bytes.size() > target.maxImageSize) {
            why = file + " has " + std::to_string(bytes.size()) + " bytes; this target holds at most " +
                  std::to_string(target.maxImageSize) + " bytes: nothing was sent";
            return false;
        }
        out.image.assign(bytes.begin(), bytes.end());
        out.lowestAddress = target.baseAddress;
        return true;
    }

    std::string problem;
    bool ok = false;
    if (out.format == FirmwareFormat::Elf) {
        ok = DecodeElf(bytes, target, out, problem);
    } else {
        ImageBuilder builder(target, [](uint32_t line) { return "line " + std::to_string(line); });
        ok = DecodeRecords(out.format, bytes, builder, problem) &&
             (out.format != FirmwareFormat::IntelHex || NothingAfterHexEnd(bytes, problem));
        if (ok && builder.Empty()) {
            problem = "it holds no data records";
            ok = false;
        }
        if (ok) builder.Finish(out);
    }
    if (!ok) {
        const std::string kind = std::string(FormatName(out.format)) + (out.byContent ? "" : " by its name");
        // "line 3: ..." and "segment 1 (.text): ..." follow the file; a sentence about it, after a colon.
        const bool located = problem.rfind("line ", 0) == 0 || problem.rfind("segment ", 0) == 0;
        why = file + " (" + kind + ")" + (located ? ", " : ": ") + problem + ": nothing was sent";
        out.image.clear();
        return false;
    }
    return true;
}

bool LoadFirmware(const std::string& path, const TargetRow& target, LoadedFirmware& out, std::string& why) {
    std::vector<uint8_t> bytes;
    out = LoadedFirmware{};
    if (!ReadFirmwareImage(path, target.maxImageSize, bytes, why)) return false;
    return DecodeFirmware(path, bytes, target, out, why);
}

bool LoadImage(const std::string& path, const TargetRow* target, std::vector<uint8_t>& image, std::string& why) {
    if (!target) return ReadFirmwareImage(path, 0, image, why);
    LoadedFirmware loaded;
    const bool ok = LoadFirmware(path, *target, loaded, why);
    image = std::move(loaded.image);
    return ok;
}

std::string FirmwareLine(const LoadedFirmware& firmware, const TargetRow& target) {
    const std::string format = firmware.format == FirmwareFormat::Raw ? std::string("raw image")
                                                                       : std::string(FormatName(firmware.format)) + " image";
    return format + ": " + FirmwareSummary(firmware, target);
}

std::string FirmwareSummary(const LoadedFirmware& firmware, const TargetRow& target) {
    const uint64_t size = firmware.image.size();
    std::string ranges;
    uint64_t covered = 0;
    for (const FlashWindow& w : FlashWindows(target)) {
        if (w.imageOffset >= size) continue;
        const uint64_t n = std::min<uint64_t>(w.size, size - w.imageOffset);
        ranges += (ranges.empty() ? "" : ", ") + Range(w.address, w.address + n - 1);
        covered += n;
    }
    if (ranges.empty()) ranges = "nothing";
    if (firmware.format != FirmwareFormat::Raw && firmware.lowestAddress > target.baseAddress)
        ranges += " (the file's data from " + Hex32(firmware.lowestAddress) + ")";
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", Crc32(firmware.image.data(), firmware.image.size()));
    return ranges + ", " + Grouped(covered) + " bytes, CRC-32 " + crc;
}

}  // namespace qtx
