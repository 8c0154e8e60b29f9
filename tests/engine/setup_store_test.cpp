// flash.stp at start-up and shut-down.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/context.h"
#include "recorder.h"
#include "settings/setup_file.h"

using namespace qtx;
namespace fs = std::filesystem;

namespace {

// Says its message boxes on stderr, so a death test can see them.
class LoudRecorder : public test::Recorder {
public:
    void MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) override {
        std::fprintf(stderr, "box[%s]: %s\n", caption.c_str(), text.c_str());
        Recorder::MessageBox(text, caption, icon);
    }
};

class SetupStore : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qtxstp-XXXXXX";
        dir = fs::canonical(mkdtemp(tmpl)).string();
        old = fs::current_path();
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(old);
        fs::remove_all(dir);
    }
    std::vector<uint8_t> FileBytes() {
        std::ifstream in(dir + "/flash.stp", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string dir;
    fs::path old;
    LoudRecorder rec;
};

TEST_F(SetupStore, AMissingFileCreatesTheDefaultsWithTheStartDirectory) {
    Context ctx(rec);
    LoadSetup(ctx);
    const auto bytes = FileBytes();
    ASSERT_EQ(bytes.size(), kSetupSize);
    qtx::Setup expected;
    std::memcpy(&expected, &DefaultImage(), sizeof expected);
    expected.SetFlashDir(dir);
    std::strcpy(expected.EpldDir, dir.c_str());
    EXPECT_EQ(std::memcmp(bytes.data(), &expected, kSetupSize), 0);
    EXPECT_EQ(ctx.StartDirectory, dir);
}

TEST_F(SetupStore, FilesOfAnyOtherLengthAreReplacedByTheDefaults) {
    for (std::size_t size : {kSetupSize - 1, kSetupSize + 1}) {
        std::ofstream("flash.stp", std::ios::binary) << std::string(size, '\x07');
        Context ctx(rec);
        LoadSetup(ctx);
        const auto bytes = FileBytes();
        ASSERT_EQ(bytes.size(), kSetupSize) << size;
        EXPECT_EQ(ctx.setup.DeviceCode(), 1);
        EXPECT_EQ(bytes[0], 'C');
    }
}

TEST_F(SetupStore, TheXc164RateIsAlways19200AfterAStart) {
    qtx::Setup stored = DefaultImage();
    stored.Ports[4].SetBaudRate(9600);
    stored.Ports[1].SetBaudRate(38400);  // others are kept
    stored.SetDeviceCode(5);
    stored.Reserved[100] = 0x5A;  // reserved bytes survive
    ASSERT_TRUE(WriteSetupFile("flash.stp", stored));
    Context ctx(rec);
    LoadSetup(ctx);
    EXPECT_EQ(ctx.setup.Ports[4].BaudRate(), 19200);
    EXPECT_EQ(ctx.setup.Ports[1].BaudRate(), 38400);
    EXPECT_EQ(ctx.setup.DeviceCode(), 5);
    const auto bytes = FileBytes();
    EXPECT_EQ(bytes[71] | bytes[72] << 8, 19200);  // written back at once
    EXPECT_EQ(bytes[1270 + 100], 0x5A);
}

TEST_F(SetupStore, SavingGoesToTheStartDirectoryWhereverTheProgramIsNow) {
    Context ctx(rec);
    LoadSetup(ctx);
    fs::create_directory("elsewhere");
    fs::current_path("elsewhere");
    ctx.setup.SetDeviceCode(3);
    SaveSetup(ctx);
    EXPECT_FALSE(fs::exists("flash.stp"));
    EXPECT_EQ(FileBytes()[1266], 3);
}

TEST_F(SetupStore, AStartDirectoryThatCannotTakeTheFileEndsTheProgram) {
    fs::create_directory("flash.stp.tmp");  // the new file cannot be created
    {
        // The engine tells the user and hands the exit status to the face.
        Context ctx(rec);
        EXPECT_FALSE(LoadSetup(ctx));
        EXPECT_EQ(ctx.FatalExitStatus, 1);
        EXPECT_TRUE(rec.Has("message : Cannot generate setup flash.stp"));
    }
}

TEST_F(SetupStore, AFailedWriteLeavesTheOldFileIntact) {
    qtx::Setup stored = DefaultImage();
    stored.SetDeviceCode(7);
    ASSERT_TRUE(WriteSetupFile("flash.stp", stored));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A full disk: writes beyond 4 KiB fail.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &lim);
        Context ctx(rec);
        ctx.StartDirectory = dir;
        ctx.setup.SetDeviceCode(1);
        _exit(SaveSetup(ctx) ? 0 : ctx.FatalExitStatus);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto bytes = FileBytes();
    ASSERT_EQ(bytes.size(), kSetupSize);
    EXPECT_EQ(bytes[1266], 7);
    EXPECT_FALSE(fs::exists("flash.stp.tmp"));
}

// Only a regular file is read or replaced: a FIFO under the name must neither
// hang the program (nobody writes to it) nor be turned into a file, and the
// same holds for the temporary name beside it.
TEST_F(SetupStore, WhatIsNoRegularFileIsNeitherReadNorReplaced) {
    ASSERT_EQ(mkfifo("flash.stp", 0644), 0);
    qtx::Setup s = DefaultImage();
    std::string err;
    EXPECT_FALSE(ReadSetupFile("flash.stp", s, &err));
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    EXPECT_FALSE(WriteSetupFile("flash.stp", s, &err));
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    EXPECT_FALSE(WriteSetupFile(".", s, &err)) << "a directory is no settings file either";
    {
        // The engine tells the user and hands the exit status to the face.
        Context ctx(rec);
        EXPECT_FALSE(LoadSetup(ctx));
        EXPECT_EQ(ctx.FatalExitStatus, 1);
        EXPECT_TRUE(rec.Has("message : Cannot generate setup flash.stp"));
    }
    struct stat st {};
    ASSERT_EQ(::stat("flash.stp", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    ASSERT_EQ(::unlink("flash.stp"), 0);
    ASSERT_EQ(mkfifo("flash.stp.tmp", 0644), 0);
    EXPECT_FALSE(WriteSetupFile("flash.stp", s, &err));
    EXPECT_FALSE(fs::exists("flash.stp"));
}

}  // namespace
