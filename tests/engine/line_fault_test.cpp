// What the engine makes of a line that misbehaves under it: a character the
// driver flags as damaged is a wrong answer at the step that waited for it,
// and a write the port takes only in part ends the run. Ptys have no error
// counters, so this binary answers TIOCGICOUNT itself (which is why
// <sys/ioctl.h>, declaring ioctl differently, is not included).
#include <asm/ioctls.h>
#include <cstdarg>
#include <dlfcn.h>
#include <linux/serial.h>

#include <atomic>

#include "scripted_flasher.h"

namespace {
std::atomic<bool> g_fake{false};
serial_icounter_struct g_counts{};
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == TIOCGICOUNT && g_fake) {
        *static_cast<serial_icounter_struct*>(arg) = g_counts;
        return 0;
    }
    using Real = int (*)(int, unsigned long, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace qtx::test {
namespace {

class LineFaults : public ScriptedFlasher {
protected:
    void SetUp() override {
        g_counts = {};
        g_fake = true;
    }
    void TearDown() override {
        ScriptedFlasher::TearDown();
        g_fake = false;
    }
};

TEST_F(LineFaults, ADamagedAnswerIsACharErrorAtItsStepNotATimeoutLater) {
    Open(1);
    // Static: the pump runs again in TearDown's close, after this body's locals are gone.
    static bool damaged;
    damaged = false;
    rec.onPump = [&] {
        if (!damaged) g_counts.frame++;  // the answer to the zero byte comes with a framing error
        damaged = true;
    };
    try {
        F().Identify();
        ADD_FAILURE() << "no error";
    } catch (const X_Flash::CharErrorException& e) {
        EXPECT_EQ(e.step, "waiting for controller ID");
    }
    EXPECT_NE(rec.status.find("Line error on COM1"), std::string::npos) << rec.status;
    EXPECT_NE(rec.status.find("framing error"), std::string::npos) << rec.status;
}

TEST_F(LineFaults, AWriteThePortTakesOnlyInPartEndsTheRun) {
    Open(1);
    ctx.ActivePort->WriteStallTimeoutMs = 300;
    auto board = Async([&] {
        peer->Receive(5);  // the size command; then the board stops reading
        peer->Send({0x00});
    });
    // Far more than a pty holds.
    EXPECT_THROW(F().Program(File(PatternBytes(256 * 1024))), X_Flash::PortException);
    board.get();
    EXPECT_NE(rec.status.find("Port COM1"), std::string::npos) << rec.status;
    EXPECT_NE(rec.status.find("the line stalled"), std::string::npos) << rec.status;
}

}  // namespace
}  // namespace qtx::test
