// Base of all flashers: the run procedures, the byte tools and the default
// steps of the C16x-family loader protocol.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/context.h"

namespace qtx {

class FirmwareFile;
struct LoaderImage;

class X_Flash {
public:
    // Failures travel as these; the describing text is in the status bar already.
    struct BreakException {};
    struct TimeoutException {};
    struct CharErrorException {};
    struct ProgramException {};

    explicit X_Flash(Context& ctx) : ctx(ctx) {}
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

    // Name of the class, for messages and tests ("Flash_166").
    virtual const char* ClassName() const = 0;

    // Byte tools.
    uint8_t SendByte(uint8_t value);
    uint8_t ReceiveByte();
    int Expect(uint8_t expected, const std::string& what, bool tolerateTimeout);
    void CheckVerifyReport();

    uint8_t Abort = 0;
    uint8_t EraseCommand = 0;
    uint8_t EraseAck = 0;
    uint8_t Checksum = 0;
    int32_t IdByte = 0;

protected:
    // Waits up to ByteTimeoutMs for one byte; false on timeout. Unlike
    // ReceiveByte it tells a received 0xFF from silence.
    bool ReceiveByteTimed(uint8_t& out);
    // A one-byte write that leaves Checksum alone.
    void WriteByte(uint8_t value);
    void WriteBytes(const uint8_t* data, std::size_t n);
    // Sends a loader image in one write, warning when it is a stand-in.
    void WriteLoaderImage(const LoaderImage& image);
    void WarnIfStandIn(const LoaderImage& image);
    // Opens and sizes the firmware; ProgramException with a clear text (nothing
    // sent yet) when it cannot be read or is larger than maxSize bytes.
    uint64_t OpenFirmware(FirmwareFile& file, const std::string& path, uint64_t maxSize);
    // Next two bytes (the second 0x00 at the end of an odd file); false at the end.
    bool ReadChunk(FirmwareFile& file, const std::string& path, uint64_t offset, uint8_t chunk[2]);
    void ThrowIfReadError(FirmwareFile& file, const std::string& path, uint64_t offset);
    // After the loader's last answer: the line must stay quiet. Bytes that follow
    // mean the answers taken for good ones began a verify-error report sent after
    // the last chunk; that run failed (ProgramException with the report's text).
    void RefuseLateReport(const std::vector<uint8_t>& answers);
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
};

}  // namespace qtx
