#include "service/frame/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/root/state_root.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text after the last CR LF";
    return lines;
}

// Checks and drops the time stamp: "MM/DD/YYYY  HH:MM:SS.mmm" and the four spaces after it.
std::string Body(const std::string& line) {
    const std::string shape = "dd/dd/dddd  dd:dd:dd.ddd    ";
    bool ok = line.size() >= shape.size();
    for (std::size_t i = 0; ok && i < shape.size(); ++i) {
        ok = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
    }
    EXPECT_TRUE(ok) << line;
    return ok ? line.substr(shape.size()) : line;
}

class LogTest : public ::testing::Test {
  protected:
    sorvex::test::TempRoot root;
    std::filesystem::path file = sorvex::root::MapWindowsPath("C:\\trace.log");
};

TEST_F(LogTest, WritesTheLineFormatWithPaddedLevelAndTag) {
    {
        CFileLog log("C:\\trace.log");
        log.SetLevel(4);
        log.Write(3, "Enter OpenService", "CScanner");
        log.Write(-1, "minus one", "CDevice");
        log.Write(0, "Unable to open COM port (5).", "CCommArbiter::WriteData");
        log.Write(4, std::string("  *   Data: \x02\0\xff\x03", 16), "CSerialComm");
        ASSERT_TRUE(log.Flush());
    }
    std::vector<std::string> lines = Lines(ReadAll(file));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Body(lines[0]), "3     CScanner           Enter OpenService");
    EXPECT_EQ(Body(lines[1]), "-1    CDevice            minus one");
    // A tag longer than 15 characters is written whole, followed by the four spaces.
    EXPECT_EQ(Body(lines[2]), "0     CCommArbiter::WriteData    Unable to open COM port (5).");
    EXPECT_EQ(Body(lines[3]), std::string("4     CSerialComm        ") +
                                  std::string("  *   Data: \x02\0\xff\x03", 16));
}

TEST_F(LogTest, WritesOnlyRecordsAtOrBelowTheLevel) {
    struct Row {
        int level;
        std::vector<int> written;
    };
    const Row rows[] = {{-1, {}}, {0, {0}}, {1, {0, 1}}, {4, {0, 1, 2, 3, 4}}};
    for (const Row& row : rows) {
        std::filesystem::remove(file);
        {
            CFileLog log("C:\\trace.log");
            log.SetLevel(row.level);
            for (int level = 0; level <= 4; ++level) {
                log.Write(level, "line " + std::to_string(level), "CScale");
            }
            log.Flush();
        }
        std::vector<int> seen;
        if (std::filesystem::exists(file)) {
            for (const std::string& line : Lines(ReadAll(file))) {
                seen.push_back(line.back() - '0');
            }
        }
        EXPECT_EQ(seen, row.written) << "level " << row.level;
    }
}

TEST_F(LogTest, DrainsWhatIsQueuedWhenDestroyed) {
    {
        CFileLog log("C:\\trace.log");
        log.SetLevel(4);
        for (int i = 0; i < 5000; ++i) {
            log.Write(4, "record " + std::to_string(i), "CDevice");
        }
    }
    std::vector<std::string> lines = Lines(ReadAll(file));
    ASSERT_EQ(lines.size(), 5000u);
    EXPECT_EQ(Body(lines.back()), "4     CDevice            record 4999");
}

TEST_F(LogTest, KeepsEachWritersOrderUnderConcurrentWrites) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    {
        CFileLog log("C:\\trace.log");
        log.SetLevel(3);
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&log, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    log.Write(3, std::to_string(t) + ":" + std::to_string(i), "T");
                }
            });
        }
        for (auto& w : writers) {
            w.join();
        }
        ASSERT_TRUE(log.Flush());
    }
    std::vector<int> next(kThreads, 0);
    std::vector<std::string> lines = Lines(ReadAll(file));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread));
    for (const std::string& line : lines) {
        std::string body = Body(line).substr(25);
        int t = std::stoi(body.substr(0, body.find(':')));
        int i = std::stoi(body.substr(body.find(':') + 1));
        EXPECT_EQ(i, next[t]++);
    }
}

TEST_F(LogTest, LosesLinesSilentlyWhenTheFileCannotBeOpened) {
    std::filesystem::create_directories(root.path());
    std::ofstream(root.path() / "drive_c");  // a file where the directory should be
    CFileLog log("C:\\trace.log");
    log.SetLevel(4);
    log.Write(0, "lost", "CDevice");
    EXPECT_TRUE(log.Flush());
    EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace talvex
