#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/context.h"
#include "settings/setup_file.h"

using namespace qtx;

namespace {

struct DirGuard {
    std::string old;
    explicit DirGuard(const std::string& dir) {
        char buf[4096];
        old = getcwd(buf, sizeof buf);
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~DirGuard() { EXPECT_EQ(chdir(old.c_str()), 0); }
};

std::string TempDir() {
    char tmpl[] = "/tmp/qtxset-XXXXXX";
    return mkdtemp(tmpl);
}

struct DefaultRow {
    int index;
    std::size_t offset;
    const char* framing;
    int32_t baud;
};

class DefaultRecord : public ::testing::TestWithParam<DefaultRow> {};

TEST_P(DefaultRecord, MatchesTheTableByteForByte) {
    const DefaultRow row = GetParam();
    const uint8_t* b = DefaultImage().Bytes() + row.offset;
    // "COM1" then NUL padding to 7 bytes, framing and NUL, baud LE.
    const uint8_t name[7] = {'C', 'O', 'M', '1', 0, 0, 0};
    EXPECT_EQ(std::memcmp(b, name, 7), 0);
    EXPECT_EQ(std::memcmp(b + 7, row.framing, 4), 0);
    const uint32_t baud = b[11] | b[12] << 8 | b[13] << 16 | static_cast<uint32_t>(b[14]) << 24;
    EXPECT_EQ(static_cast<int32_t>(baud), row.baud);
    EXPECT_EQ(DefaultImage().Ports[row.index].BaudRate(), row.baud);
}

INSTANTIATE_TEST_SUITE_P(Settings, DefaultRecord,
                         ::testing::Values(DefaultRow{0, 0, "8N2", 9600}, DefaultRow{1, 15, "8N1", 57600},
                                           DefaultRow{2, 30, "8N1", 19200}, DefaultRow{3, 45, "8N1", 57600},
                                           DefaultRow{4, 60, "8N1", 19200}, DefaultRow{5, 75, "8N1", 57600},
                                           DefaultRow{6, 90, "8N2", 57600}, DefaultRow{7, 105, "8N1", 19200},
                                           DefaultRow{8, 120, "8N1", 115200}, DefaultRow{9, 135, "8E1", 115200}));

TEST(Settings, DefaultImageIsZeroOutsideRecordsAndDeviceCode) {
    const uint8_t* b = DefaultImage().Bytes();
    EXPECT_EQ(b[1266], 1);
    EXPECT_EQ(b[1267] | b[1268] | b[1269], 0);
    for (std::size_t i = 150; i < kSetupSize; ++i) {
        if (i >= 1266 && i < 1270) continue;
        ASSERT_EQ(b[i], 0) << "offset " << i;
    }
}

TEST(Settings, DefaultSetupPutsTheWorkingDirectoryIntoBothDirectories) {
    const std::string dir = TempDir();
    {
        DirGuard g(dir);
        qtx::Setup s;
        std::memset(&s, 0xAA, sizeof s);
        DefaultSetup(s);
        EXPECT_EQ(s.FlashDirText(), std::filesystem::canonical(dir).string());
        EXPECT_EQ(std::string(s.EpldDir), s.FlashDirText());
        EXPECT_EQ(s.DeviceCode(), 1);
        EXPECT_EQ(s.FlashNameText(), "");
        EXPECT_EQ(s.Reserved[0], 0);
        EXPECT_EQ(s.Reserved[13299], 0);
    }
    std::filesystem::remove_all(dir);
}

TEST(Settings, CurrentDirTextHasNoTrailingSlashExceptAtRoot) {
    char buf[600];
    {
        DirGuard g("/");
        ASSERT_EQ(CurrentDirText(buf, sizeof buf), 0);
        EXPECT_STREQ(buf, "/");
    }
    {
        DirGuard g("/usr/");
        ASSERT_EQ(CurrentDirText(buf, sizeof buf), 0);
        EXPECT_STREQ(buf, "/usr");
    }
    // Too small a destination: -1 and unchanged.
    std::strcpy(buf, "unchanged");
    DirGuard g("/usr");
    EXPECT_EQ(CurrentDirText(buf, 4), -1);
    EXPECT_STREQ(buf, "unchanged");
}

TEST(Settings, LongFileNamesRunOnOverTheSecondDirectoryAndReadBackWhole) {
    qtx::Setup s = DefaultImage();
    const std::string name40(36, 'n');
    const std::string name = name40 + ".bin";  // 40 characters
    ASSERT_TRUE(s.SetFlashName(name));
    EXPECT_EQ(std::memcmp(s.Bytes() + 672, name.data(), 40), 0);
    EXPECT_EQ(s.Bytes()[672 + 40], 0);
    EXPECT_EQ(s.FlashNameText(), name);
    // Longest that still ends before EpldName; one more is refused, record unchanged.
    EXPECT_TRUE(s.SetFlashName(std::string(kMaxFlashNameLen, 'x')));
    EXPECT_EQ(s.Bytes()[1229], 0);
    EXPECT_FALSE(s.SetFlashName(std::string(kMaxFlashNameLen + 1, 'y')));
    EXPECT_EQ(s.FlashNameText(), std::string(kMaxFlashNameLen, 'x'));
    EXPECT_FALSE(s.SetFlashDir(std::string(522, 'd')));
    EXPECT_TRUE(s.SetFlashDir(std::string(521, 'd')));
}

TEST(Settings, PortRecordIndexFollowsTheDeviceCodes) {
    const int expected[13] = {-1, 1, 0, 2, 3, 4, 5, 6, 7, 8, 8, 9, -1};
    for (int code = 0; code <= 12; ++code) EXPECT_EQ(PortRecordIndex(code), expected[code]) << code;
    EXPECT_EQ(PortRecordIndex(-1), -1);
}

TEST(Settings, FilesOfAnyOtherSizeAreNotSettings) {
    const std::string dir = TempDir();
    qtx::Setup s = DefaultImage();
    s.SetDeviceCode(5);
    ASSERT_TRUE(WriteSetupFile(dir + "/flash.stp", s));
    EXPECT_EQ(std::filesystem::file_size(dir + "/flash.stp"), kSetupSize);
    EXPECT_FALSE(std::filesystem::exists(dir + "/flash.stp.tmp"));
    qtx::Setup back = DefaultImage();
    ASSERT_TRUE(ReadSetupFile(dir + "/flash.stp", back));
    EXPECT_EQ(std::memcmp(&back, &s, sizeof s), 0);

    for (std::size_t size : {kSetupSize - 1, kSetupSize + 1, std::size_t{0}}) {
        std::ofstream(dir + "/bad.stp", std::ios::binary) << std::string(size, '\1');
        qtx::Setup t = DefaultImage();
        std::string err;
        EXPECT_FALSE(ReadSetupFile(dir + "/bad.stp", t, &err)) << size;
        EXPECT_NE(err.find("14570"), std::string::npos);
        EXPECT_EQ(t.DeviceCode(), 1);
    }
    std::string err;
    EXPECT_FALSE(WriteSetupFile(dir + "/missing/flash.stp", s, &err));
    EXPECT_NE(err.find("missing"), std::string::npos);
    std::filesystem::remove_all(dir);
}

TEST(Settings, ByteTimeoutCoversTheTransferTimeWithoutOverflow) {
    EXPECT_EQ(ByteTimeoutFor(1736, 65536), 12000);  // 113 770 496 -> 11 s + 1 s
    EXPECT_EQ(ByteTimeoutFor(1736, 100), 1000);
    EXPECT_EQ(ByteTimeoutFor(1736, 0), 1000);
    EXPECT_EQ(ByteTimeoutFor(11458, 0xFFFFFFFFull), INT_MAX);
    EXPECT_EQ(ByteTimeoutFor(0xFFFFFFFFu, 0xFFFFFFFFull), INT_MAX);
}

}  // namespace
