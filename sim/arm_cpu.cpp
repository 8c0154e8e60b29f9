#include "sim/arm_cpu.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace qtx::sim {

namespace {

constexpr uint32_t kPage = 0x1000;
constexpr int kIdlePollsBeforeJump = 3;          // a polling loop, not a single check
constexpr uint64_t kMaxSlice = 1u << 20;         // instructions between looks at the clock

void Check(uc_err e, const char* what) {
    if (e != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(e));
}

}  // namespace

std::string HexWord(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

struct ArmCpu::Page {
    ArmCpu* cpu;
    uint32_t base;
};

ArmCpu::ArmCpu(Core core, uint32_t clockHz)
    : core_(core), clockHz_(clockHz), psPerCycle_(1000000000000ull / clockHz) {
    const bool m = core != Core::Arm7;
    Check(uc_open(UC_ARCH_ARM, m ? uc_mode(UC_MODE_THUMB | UC_MODE_MCLASS) : UC_MODE_ARM, &uc_), "uc_open");
    Check(uc_ctl_set_cpu_model(uc_, core == Core::CortexM3   ? UC_CPU_ARM_CORTEX_M3
                                    : core == Core::CortexM4 ? UC_CPU_ARM_CORTEX_M4
                                                             : UC_CPU_ARM_926),
          "cpu model");
    thumb_ = m;
    uc_hook h;
    Check(uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&ArmCpu::OnCode), this, 1, 0), "code hook");
    Check(uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&ArmCpu::OnInvalid), this, 1, 0),
          "invalid hook");
}

ArmCpu::~ArmCpu() {
    if (uc_) uc_close(uc_);
}

void ArmCpu::MapRam(uint32_t base, std::vector<uint8_t>& bytes) {
    Check(uc_mem_map_ptr(uc_, base, bytes.size(), UC_PROT_ALL, bytes.data()), "map RAM");
}

void ArmCpu::FlagUnalignedRam() {
    uc_hook h;
    Check(uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&ArmCpu::OnRamAccess),
                      this, 1, 0),
          "RAM hook");
}

void ArmCpu::MapDevice(uint32_t base, uint32_t size, ArmDevice& device) {
    windows_.push_back({base, size, &device});
    for (uint64_t p = base & ~(kPage - 1); p < uint64_t(base) + size; p += kPage) {
        const bool mapped = std::any_of(pages_.begin(), pages_.end(), [&](const auto& pg) { return pg->base == p; });
        if (mapped) continue;
        pages_.push_back(std::make_unique<Page>(Page{this, uint32_t(p)}));
        Check(uc_mmio_map(uc_, p, kPage, reinterpret_cast<uc_cb_mmio_read_t>(&ArmCpu::MmioRead), pages_.back().get(),
                          reinterpret_cast<uc_cb_mmio_write_t>(&ArmCpu::MmioWrite), pages_.back().get()),
              "map device");
    }
}

void ArmCpu::Start(uint32_t sp, uint32_t entry) {
    Check(uc_reg_write(uc_, UC_ARM_REG_SP, &sp), "SP");
    pc_ = entry & ~1u;
    if (core_ == Core::Arm7) thumb_ = entry & 1;
}

EmuNs ArmCpu::Now() const { return (offsetPs_ + insns_ * psPerCycle_) / 1000; }

void ArmCpu::AdvanceTo(EmuNs t) {
    const EmuNs now = Now();
    if (t > now) offsetPs_ += (t - now) * 1000;
}

void ArmCpu::RunUntil(EmuNs limit) {
    while (!halted_ && !waiting_ && Now() < limit) {
        const uint64_t budget = std::clamp<uint64_t>((limit - Now()) * 1000 / psPerCycle_, 1, kMaxSlice);
        sliceEnd_ = insns_ + budget;
        stopped_ = false;
        idle_ = false;
        idlePolls_ = 0;
        idleWake_ = kNever;
        // Unicorn stops when the PC reaches `until`; an ARM7 image starts at its
        // vector table at address 0, so there it must be an address no code has.
        const uint64_t until = core_ == Core::Arm7 ? 0xFFFFFFFFu : 0;
        const uc_err e = uc_emu_start(uc_, pc_ | (thumb_ ? 1u : 0u), until, 0, 0);
        uint32_t pc = 0;
        uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
        pc_ = pc;
        if (core_ == Core::Arm7) {
            uint32_t cpsr = 0;
            uc_reg_read(uc_, UC_ARM_REG_CPSR, &cpsr);
            thumb_ = cpsr & (1u << 5);
        }
        if (halted_) return;
        if (e != UC_ERR_OK) {
            Halt(std::string("CPU stopped at ") + HexWord(pc) + ": " + uc_strerror(e));
            return;
        }
        // Only a polling loop that found nothing stops the clock's run; the end
        // of a slice just starts the next one.
        if (!stopped_ || !idle_) continue;
        if (idleWake_ == kNever) {
            waiting_ = true;
            return;
        }
        AdvanceTo(std::min(idleWake_, limit));
    }
}

void ArmCpu::Stop() {
    stopped_ = true;
    uc_emu_stop(uc_);
}

void ArmCpu::IdlePoll(EmuNs until) {
    idleWake_ = std::min(idleWake_, until);
    if (++idlePolls_ >= kIdlePollsBeforeJump) {
        idle_ = true;
        Stop();
    }
}

void ArmCpu::Misuse(const std::string& kind, const std::string& detail) {
    auto& m = misuse_[kind];
    if (m.first++ == 0) m.second = detail;
}

uint64_t ArmCpu::MisuseCount(const std::string& kind) const {
    const auto it = misuse_.find(kind);
    return it == misuse_.end() ? 0 : it->second.first;
}

void ArmCpu::Halt(const std::string& why) {
    if (halted_) return;
    halted_ = true;
    haltReason_ = why;
    uc_emu_stop(uc_);
}

std::string ArmCpu::Summary() const {
    char head[96];
    std::snprintf(head, sizeof head, "%llu instructions, %.6f s emulated", static_cast<unsigned long long>(insns_),
                  double(Now()) / 1e9);
    std::string s = head;
    if (misuse_.empty()) return s + "; misuse: none";
    s += "; misuse:";
    for (const auto& [kind, m] : misuse_)
        s += " " + kind + " x" + std::to_string(m.first) + " (first: " + m.second + ");";
    s.pop_back();
    return s;
}

ArmCpu::Window* ArmCpu::Find(uint32_t address, unsigned size) {
    for (auto& w : windows_)
        if (address - w.base < w.size && address - w.base + size <= w.size) return &w;
    return nullptr;
}

uint64_t ArmCpu::MmioRead(uc_struct*, uint64_t offset, unsigned size, void* page) {
    auto* pg = static_cast<Page*>(page);
    ArmCpu& cpu = *pg->cpu;
    const uint32_t address = pg->base + uint32_t(offset);
    if (address % size != 0) cpu.Misuse("unaligned access", "read of " + std::to_string(size) + " at " + HexWord(address));
    Window* w = cpu.Find(address, size);
    if (!w) {
        cpu.Halt("read of unmodelled peripheral address " + HexWord(address));
        return 0;
    }
    return w->device->Read(address - w->base, size);
}

void ArmCpu::MmioWrite(uc_struct*, uint64_t offset, unsigned size, uint64_t value, void* page) {
    auto* pg = static_cast<Page*>(page);
    ArmCpu& cpu = *pg->cpu;
    const uint32_t address = pg->base + uint32_t(offset);
    if (address % size != 0) cpu.Misuse("unaligned access", "write of " + std::to_string(size) + " at " + HexWord(address));
    Window* w = cpu.Find(address, size);
    if (!w) {
        cpu.Halt("write of " + HexWord(uint32_t(value)) + " to unmodelled peripheral address " + HexWord(address));
        return;
    }
    w->device->Write(address - w->base, size, uint32_t(value));
}

void ArmCpu::OnCode(uc_struct*, uint64_t, uint32_t, void* self) {
    auto& cpu = *static_cast<ArmCpu*>(self);
    if (++cpu.insns_ >= cpu.sliceEnd_) cpu.Stop();
}

bool ArmCpu::OnInvalid(uc_struct*, int type, uint64_t address, int size, int64_t, void* self) {
    auto& cpu = *static_cast<ArmCpu*>(self);
    const char* what = type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT ? "fetch" :
                       type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT ? "write" : "read";
    cpu.Halt(std::string(what) + " of " + std::to_string(size) + " bytes at unmapped address " +
             HexWord(uint32_t(address)));
    return false;
}

void ArmCpu::OnRamAccess(uc_struct*, int type, uint64_t address, int size, int64_t, void* self) {
    if (size > 1 && address % uint64_t(size) != 0)
        static_cast<ArmCpu*>(self)->Misuse("unaligned access", std::string(type == UC_MEM_WRITE ? "write" : "read") +
                                                                   " of " + std::to_string(size) + " at " +
                                                                   HexWord(uint32_t(address)));
}

}  // namespace qtx::sim
