// The t89c5xacx board's Read Flash against the example of "A/T89C51AC2 UART
// Bootloader" (4231C-CAN-03/05, page 14): 0000h..0020h is answered with lines
// of 16, 16 and 1 bytes. The expected answers are written out here.
#include <gtest/gtest.h>

#include "sim/byte_fed_board.h"

namespace qtx::sim {
namespace {

const std::string kRead = ":050000040000002000D7";

using Ac2BoardModel = ByteFedBoard;

TEST_F(Ac2BoardModel, ReadFlashAnswersLinesOrRefuses) {
    Make("t89c5xacx");
    FeedText("U:0300000011223397");
    EXPECT_EQ(io.TakeText(), "U:0300000011223397.\r\n");
    FeedText(kRead);
    EXPECT_EQ(io.TakeText(), kRead +
                                 "0000=112233FFFFFFFFFFFFFFFFFFFFFFFFFF\r\n"
                                 "0010=FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\r\n"
                                 "0020=FF\r\n");
    // More than 400h bytes at once (0000h..0400h) is held to the sibling's limit.
    FeedText(":050000040000040000F3");
    EXPECT_EQ(io.TakeText(), ":050000040000040000F3X\r\n");

    config.readLocked = true;
    Make("t89c5xacx");
    FeedText("U" + kRead);
    EXPECT_EQ(io.TakeText(), "U" + kRead + "L\r\n");
}

}  // namespace
}  // namespace qtx::sim
