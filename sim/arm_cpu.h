// An ARM core on Unicorn with the chip's own clock. Programs run in slices;
// every instruction counts one cycle at the core clock (code runs from
// zero-wait-state SRAM). Peripherals are ArmDevice windows in the address
// space. A device whose status cannot change before a known time (an empty
// receive register, a busy flash) reports an idle poll; after a few in a row
// the slice ends and the clock jumps to that time instead of emulating the
// loop. Misuse that a chip would punish or silently get wrong is collected
// for the closing summary.
//
// Cortex-M3/M4 run in Thumb state with no exception model (the caller sets SP
// and PC from the vector table); Arm7 is approximated by Unicorn's ARM926 in
// ARM state, whose unaligned loads differ from an ARM7TDMI's, so unaligned
// RAM accesses can be flagged as misuse.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct uc_struct;

namespace qtx::sim {

using EmuNs = uint64_t;                       // emulated nanoseconds since the program started
inline constexpr EmuNs kNever = ~EmuNs{0};    // an event that only input can bring

class ArmDevice {
public:
    virtual ~ArmDevice() = default;
    // offset from the window's base; size 1, 2 or 4
    virtual uint32_t Read(uint32_t offset, unsigned size) = 0;
    virtual void Write(uint32_t offset, unsigned size, uint32_t value) = 0;
};

class ArmCpu {
public:
    enum class Core { CortexM3, CortexM4, Arm7 };

    ArmCpu(Core core, uint32_t clockHz);
    ~ArmCpu();
    ArmCpu(const ArmCpu&) = delete;
    ArmCpu& operator=(const ArmCpu&) = delete;

    // RAM backed by bytes (shared, not copied: the caller keeps it alive).
    // base and bytes.size() must be multiples of 4 KiB.
    void MapRam(uint32_t base, std::vector<uint8_t>& bytes);
    // A device window; any base and size. An access to a mapped page outside
    // every window halts the program (a peripheral we do not model).
    void MapDevice(uint32_t base, uint32_t size, ArmDevice& device);
    // Flag unaligned accesses to RAM too (for cores that get them wrong).
    void FlagUnalignedRam();

    void Start(uint32_t sp, uint32_t entry);   // entry with bit 0 set for Thumb code

    EmuNs Now() const;
    uint32_t ClockHz() const { return clockHz_; }
    // Runs until the clock reaches limit, the program waits for input, or it halts.
    void RunUntil(EmuNs limit);
    // Moves the clock forward while the program waits (time passes on the line).
    void AdvanceTo(EmuNs t);
    bool WaitingForInput() const { return waiting_; }
    void InputArrived() { waiting_ = false; }
    bool Halted() const { return halted_; }
    const std::string& HaltReason() const { return haltReason_; }

    // For devices.
    void IdlePoll(EmuNs until);            // nothing new before until (kNever: until input)
    void Progress() { idlePolls_ = 0; idleWake_ = kNever; }
    void Misuse(const std::string& kind, const std::string& detail);
    void Halt(const std::string& why);

    uint64_t Instructions() const { return insns_; }
    uint32_t Pc() const { return pc_; }   // where the last slice stopped
    // "N instructions, T s emulated; misuse: none" or the list of kinds with counts.
    std::string Summary() const;
    uint64_t MisuseCount(const std::string& kind) const;

private:
    struct Window {
        uint32_t base, size;
        ArmDevice* device;
    };
    struct Page;
    static uint64_t MmioRead(uc_struct* uc, uint64_t offset, unsigned size, void* page);
    static void MmioWrite(uc_struct* uc, uint64_t offset, unsigned size, uint64_t value, void* page);
    static void OnCode(uc_struct* uc, uint64_t address, uint32_t size, void* self);
    static bool OnInvalid(uc_struct* uc, int type, uint64_t address, int size, int64_t value, void* self);
    static void OnRamAccess(uc_struct* uc, int type, uint64_t address, int size, int64_t value, void* self);
    Window* Find(uint32_t address, unsigned size);
    void Stop();

    uc_struct* uc_ = nullptr;
    Core core_;
    uint32_t clockHz_;
    uint64_t psPerCycle_;
    uint64_t offsetPs_ = 0;                // time added by jumps
    uint64_t insns_ = 0;
    uint64_t sliceEnd_ = 0;
    uint32_t pc_ = 0;
    bool thumb_ = true;
    bool waiting_ = false;
    bool halted_ = false;
    bool stopped_ = false;                 // the slice was ended early
    bool idle_ = false;                    // by a polling loop that found nothing
    std::string haltReason_;
    int idlePolls_ = 0;
    EmuNs idleWake_ = kNever;
    std::vector<Window> windows_;
    std::vector<std::unique_ptr<Page>> pages_;
    std::map<std::string, std::pair<uint64_t, std::string>> misuse_;   // kind: count, first detail
};

std::string HexWord(uint32_t v);

}  // namespace qtx::sim
