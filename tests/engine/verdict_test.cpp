// The run log's record format and where it is kept.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/verdict.h"

namespace qtx {
namespace {

struct Env {
    std::string name;
    std::string old;
    bool had;
    Env(const char* n, const char* value) : name(n) {
        const char* v = std::getenv(n);
        had = v != nullptr;
        if (had) old = v;
        value ? setenv(n, value, 1) : unsetenv(n);
    }
    ~Env() { had ? setenv(name.c_str(), old.c_str(), 1) : unsetenv(name.c_str()); }
};

TEST(RunLog, PathFollowsTheStateDirectoryRules) {
    Env home("HOME", "/home/op");
    {
        Env state("XDG_STATE_HOME", "/var/state");
        EXPECT_EQ(RunLogPath(), "/var/state/qtxflash/runs.log");
    }
    {
        Env state("XDG_STATE_HOME", "relative/state");  // ignored, as the rules say
        EXPECT_EQ(RunLogPath(), "/home/op/.local/state/qtxflash/runs.log");
    }
    Env state("XDG_STATE_HOME", nullptr);
    Env noHome("HOME", nullptr);
    EXPECT_EQ(RunLogPath(), "");
    std::string why;
    EXPECT_FALSE(AppendRunLog("", RunRecord{}, &why));
    EXPECT_FALSE(why.empty());
}

TEST(RunLog, OneLinePerRecordWhateverTheFieldsHold) {
    std::string dir = (std::filesystem::temp_directory_path() / "qtx-runlog-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string path = dir + "/deep/er/runs.log";
    RunRecord r;
    r.startedUnixMs = 1'700'000'000'000;
    r.target = "C166/167";
    r.port = "COM1";
    r.file = "/tmp/a\tb\nc.bin";  // a name may hold anything but NUL and '/'
    r.size = 3001;
    r.crc32 = 0xBEEF;
    r.result = "ABORT";
    r.partial = true;
    r.step = "";
    r.durationMs = 1234;
    r.hint = "Flash the board again before it is used.";
    ASSERT_TRUE(AppendRunLog(path, r));
    r.result = "OK";
    r.partial = false;
    ASSERT_TRUE(AppendRunLog(path, r));

    std::ifstream in(path);
    std::string header, first, second, extra;
    ASSERT_TRUE(std::getline(in, header) && std::getline(in, first) && std::getline(in, second));
    EXPECT_FALSE(std::getline(in, extra));
    EXPECT_EQ(header, kRunLogHeader);
    std::vector<std::string> fields;
    std::stringstream cut(first);
    for (std::string f; std::getline(cut, f, '\t');) fields.push_back(f);
    ASSERT_EQ(fields.size(), 10u) << first;
    EXPECT_EQ(fields[3], "/tmp/a b c.bin");
    EXPECT_EQ(fields[4], "3001");
    EXPECT_EQ(fields[5], "0000BEEF");
    EXPECT_EQ(fields[6], "ABORT (partial image)");
    EXPECT_EQ(fields[7], "-");
    EXPECT_EQ(fields[8], "1.2");
    EXPECT_EQ(fields[9], r.hint);
    EXPECT_NE(second.find("\tOK\t"), std::string::npos) << second;
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qtx
