// Base of all flashers: the run procedures, the byte tools and the default
// steps of the C16x-family loader protocol.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/context.h"

namespace qtx {

struct LoaderImage;
struct TargetRow;

class X_Flash {
public:
    // Failures travel as these; the describing text is in the status bar
    // already. The payload says which step failed and, for a wrong answer,
    // what came and what was expected; a run's outcome comes from it.
    struct BreakException {};
    struct TimeoutException {
        std::string step;
    };
    struct CharErrorException {
        std::string step;
        int received = -1;
        int expected = -1;
    };
    struct ProgramException {
        std::string step;
    };
    // The port took fewer bytes than it was given: what the board received is
    // unknown, so the run cannot go on.
    struct PortException {
        std::string step;
    };
    // The step a TimeoutException names when the port itself went away.
    static constexpr const char* kPortGoneStep = "the port is gone";

    explicit X_Flash(Context& ctx) : ctx(ctx) {}
    // A flasher for the described target: its erase command, erase answer and
    // id byte, its loader and its limits come from the description.
    X_Flash(Context& ctx, const TargetRow& target);
    virtual ~X_Flash() = default;
    X_Flash(const X_Flash&) = delete;
    X_Flash& operator=(const X_Flash&) = delete;

    // The eleven operations, in slot order.
    virtual int Identify();
    virtual int Erase();
    virtual int Finish();
    virtual int SendEpldName();
    virtual int SendLoader();
    virtual int Program(const std::string& path);
    virtual int ProgramFile(const std::string& path, int kind);
    virtual int SetControl(uint8_t value);
    virtual int SendBootstrap();
    virtual int EraseAndProgram();
    virtual int AwaitReply();

    // Why this target cannot take image, beyond its size (checked before the
    // run opens the port); empty when it can.
    virtual std::string ImageProblem(const std::vector<uint8_t>&) const { return {}; }
    // The CRC-32 the loader's content check must answer for data (as sent, padded):
    // of all of it, unless the chip keeps a range out of the flash.
    virtual uint32_t ContentCrc(const std::vector<uint8_t>& data) const;

    // Name of the class, for messages and tests ("Flash_166").
    virtual const char* ClassName() const = 0;
    // The description the flasher was made from; nullptr for one made without.
    const TargetRow* Target() const { return target_; }

    // Byte tools.
    uint8_t SendByte(uint8_t value);
    uint8_t ReceiveByte();
    int Expect(uint8_t expected, const std::string& what, bool tolerateTimeout);
    void CheckVerifyReport();

    // Set from another thread (the window) or through the face's pump after a
    // signal; every wait of the engine looks at it.
    std::atomic<uint8_t> Abort{0};
    uint8_t EraseCommand = 0;
    uint8_t EraseAck = 0;
    uint8_t Checksum = 0;
    int32_t IdByte = 0;

protected:
    // Waits up to ByteTimeoutMs for one byte; false on timeout. Unlike
    // ReceiveByte it tells a received 0xFF from silence.
    // A line error (framing, overrun, parity, break) while waiting is
    // CharErrorException naming what (the step) and the error.
    bool ReceiveByteTimed(uint8_t& out, const char* what = nullptr);
    // CharErrorException when the line reported an error since the last look.
    void ThrowOnLineError(const char* what);
    // Call right before the first command that erases or programs the flash
    // leaves: an abort requested until then ends the run with the board
    // untouched. From then on an abort leaves a partial image, and says so.
    void BeforeFlashIsTouched();
    // A one-byte write that leaves Checksum alone. Writes that the port takes
    // only in part are PortException.
    void WriteByte(uint8_t value);
    void WriteBytes(const uint8_t* data, std::size_t n);
    void WriteText(const std::string& text) {
        WriteBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    // Sends a loader image in one write.
    void WriteLoaderImage(const LoaderImage& image);
    // The loader image of the description (ProgramException when there is none).
    const LoaderImage& Loader();
    // The firmware image at path, read whole. FlashRun reads it before the run
    // starts; a flasher driven on its own reads it here. ProgramException with a
    // clear text when it cannot be sent (nothing has gone out then).
    const std::vector<uint8_t>& Image(const std::string& path);
    // The largest image the target holds (the selected one for a flasher made without a description).
    uint64_t MaxImageSize() const;

    // How a target's loader takes the data, after its data command.
    struct TransferPlan {
        std::size_t unit = 2;                 // bytes per write; an odd image ends in a 0x00 pad byte
        uint64_t blockSize = 0;               // an acknowledgement after every blockSize bytes (0: none)
        const char* lastBlockWhat = nullptr;  // wait text of the last-block answer (nullptr: none)
        int pauseAfterLastBlockMs = 0;
        uint8_t finalAnswer = 0x00;
        // Status texts shown when the data reach an offset (a second flash bank).
        std::vector<std::pair<uint64_t, std::string>> marks;
    };
    // Streams data (already padded to whole units) as plan says: verify-report
    // polls between writes, block acknowledgements, the last-block and final
    // answers with the waits sized from the line, the quiet line after them, and
    // the content check. The caller sends Finish afterwards where its loader takes one.
    void Transfer(const std::vector<uint8_t>& data, const TransferPlan& plan);
    // Fast data: asks the running loader to carry the rest of the run at
    // ctx.FastBaud (0: nothing is sent). The loader answers at the current
    // rate, both switch, and a sync byte is echoed at the new rate. When any of
    // this fails both sides go back and the run goes on at the current rate:
    // only a loader that answers at neither rate ends it. Sets ctx.DataBaud
    // and says in the status line which rate the data take. line: the open
    // line's record where the loader runs at another rate than the stored port.
    void SwitchDataRate(const PortRecord* line = nullptr);
    // The C16x loaders' program step up to Finish: the size command (0x22, four
    // bytes LSB first, answered 0x00), the data command (0x42) and the file in
    // 16-bit words as plan says.
    void SendSizeAndData(const std::string& path, const TransferPlan& plan);
    // The answer after a full block that is not the last one.
    void AwaitBlockAck();
    // Waits for expected where a verify-error report may come instead (the
    // loader found the error while the host's data were still on their way):
    // a report is ProgramException with its text; a lone other byte is a wrong answer.
    void ExpectAnswerOrReport(uint8_t expected, const char* what);
    // The status text of a 9-byte verify-error report.
    static std::string VerifyReportText(const uint8_t report[9]);
    // Asks the loader for the CRC-32 of the data it received and compares it with
    // crcSent: equal values mean the flash holds what was sent, since the loader
    // verified every write against what it received. ProgramException otherwise.
    // mayBeReport: the loader's last answers, which may in truth have begun a
    // verify-error report on the last unit; its other bytes then come where the
    // check's answer is due, and the report is shown.
    void ContentCheck(uint32_t crcSent, const std::vector<uint8_t>& mayBeReport = {});
    // The image as it goes on the line: padded with 0x00 to a whole number of units.
    static std::vector<uint8_t> Padded(const std::vector<uint8_t>& image, std::size_t unit);
    // Waits, pumping, until at least atLeastMs have passed, the bytes written
    // have left the line, and the line has then been quiet for quietMs; what
    // arrives meanwhile is read and dropped.
    void AwaitQuietLine(int quietMs, int atLeastMs = 0);
    // first came after the loader's last answer: if it and the bytes that
    // follow complete a verify-error report begun by answers, ProgramException
    // with the report's text; else it returns how many bytes it read.
    std::size_t RefuseLateReport(const std::vector<uint8_t>& answers, uint8_t first);
    // Pump, then throw BreakException when Abort is set (TimeoutException when the port is gone).
    void PumpAndCheckAbort();
    // TimeoutException with a clear text once the port has gone away.
    void ThrowIfGone();
    // Runs one stage of a run; a failure is shown with its word in panel
    // ("ABORT" with the short reset countdown) and gives false.
    bool RunStep(Panel panel, const std::function<void()>& step);
    // The display after a successful programming step, with the reset countdown.
    void ShowProgrammingOk();

    Comport& Port();
    Display& Ui() { return ctx.display; }

    Context& ctx;

private:
    const TargetRow* target_ = nullptr;
};

}  // namespace qtx
