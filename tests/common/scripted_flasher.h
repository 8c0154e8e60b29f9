// The fixture of the tests that play a boot loader byte by byte against a
// flasher: the test is the board on a pseudo-terminal and checks what the
// host sends and waits for.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "engine/catalogue.h"
#include "engine/x_flash.h"
#include "pty_peer.h"
#include "recorder.h"
#include "sim_board.h"

namespace qtx::test {

class ScriptedFlasher : public ::testing::Test {
protected:
    void Open(int32_t code, const std::string& portName = "COM1") {
        peer = std::make_unique<PtyPeer>(portName);
        ctx.setup.Ports[PortRecordIndex(code)].SetName(portName);
        ASSERT_EQ(SelectTarget(ctx, code), 0);
        ASSERT_EQ(OpenTargetPort(ctx), 0) << ctx.lastPortError;
    }
    void TearDown() override { DestroyActivePort(ctx); }
    X_Flash& F() { return *ctx.ActiveFlasher; }
    std::string File(const std::vector<uint8_t>& data) {
        const std::string path = peer->Dir() + "/fw.bin";
        WriteFileBytes(path, data);
        return path;
    }
    template <class Fn>
    auto Async(Fn fn) {
        return std::async(std::launch::async, fn);
    }
    void Send(const std::string& text) { peer->Send(std::vector<uint8_t>(text.begin(), text.end())); }

    std::unique_ptr<PtyPeer> peer;
    Recorder rec;
    Context ctx{rec};
};

}  // namespace qtx::test
