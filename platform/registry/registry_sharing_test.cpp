// One hive shared by many threads and processes: no lock error ever reaches a caller, no write
// is lost, a change made by another process is seen by the very next read (the read cache is
// never stale), a forked child works with connections of its own, and a writer killed in the
// middle of a transaction leaves all of it or none.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::registry {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;

constexpr const char* kChildVariable = "SORVEX_REGISTRY_SHARING_CHILD";
constexpr const char* kSharedKey = "SOFTWARE\\Sharing";
constexpr int kThreadsPerProcess = 2;
constexpr int kWritesPerThread = 200;
constexpr int kTreeGroups = 10;
constexpr int kTreeLeaves = 20;  // per group

std::string ValueName(int process, int thread, int k) {
    return "p" + std::to_string(process) + "t" + std::to_string(thread) + "v" + std::to_string(k);
}

std::string ValueData(int process, int thread, int k) {
    return "data\0\xff"s + std::to_string(process * 100000 + thread * 1000 + k);
}

// Collects failures of worker threads (and of child processes, on their standard error).
class Failures {
  public:
    void Check(Status status, Status expected, const std::string& what) {
        if (status != expected) {
            Add(what + ": " + std::string(StatusText(status)) + " (" +
                std::to_string(static_cast<long>(status)) + ") " + LastErrorDetail());
        }
    }
    void Add(const std::string& failure) {
        std::lock_guard lock(m_Lock);
        m_List.push_back(failure);
    }
    std::vector<std::string> Take() {
        std::lock_guard lock(m_Lock);
        return std::move(m_List);
    }

  private:
    std::mutex m_Lock;
    std::vector<std::string> m_List;
};

// The work of one thread: writes its own values the way the utility does (create, set, close),
// reads each back the way a service object does (open, query into 2048 bytes, close), peeks at
// another process's values, and now and then commits a batch over both hives and makes and
// deletes a small tree.
void Worker(int process, int thread, Failures& failures) {
    const int other = 1 - process;
    for (int k = 0; k < kWritesPerThread; ++k) {
        const std::string name = ValueName(process, thread, k);
        {
            Key key;
            failures.Check(Key::Create(Hive::LocalMachine, kSharedKey, key), Status::Ok,
                           "create " + name);
            failures.Check(key.Set(name, Type::String, ValueData(process, thread, k)), Status::Ok,
                           "set " + name);
        }
        {
            Key key;
            failures.Check(Key::Open(Hive::LocalMachine, kSharedKey, kRead, key), Status::Ok,
                           "open " + name);
            char buffer[2048];
            std::size_t size = sizeof buffer;
            Type type{};
            failures.Check(key.Query(name, &type, buffer, &size), Status::Ok, "query " + name);
            if (std::string(buffer, size) != ValueData(process, thread, k)) {
                failures.Add("read back a wrong value for " + name);
            }
            size = sizeof buffer;
            Status peek = key.Query(ValueName(other, thread, k), &type, buffer, &size);
            if (peek != Status::Ok && peek != Status::NotFound) {
                failures.Check(peek, Status::Ok, "peek at the other process");
            }
        }
        if (k % 10 == 0) {
            Batch batch;
            batch.SetValue(Hive::LocalMachine, std::string(kSharedKey) + "\\Batches", name,
                           Type::String, name);
            batch.SetValue(Hive::CurrentUser, "Software\\Sharing", name, Type::String, name);
            failures.Check(batch.Commit(), Status::Ok, "batch " + name);
        }
        if (k % 25 == 0) {
            std::string tree = std::string(kSharedKey) + "\\Tmp" + std::to_string(process) +
                               std::to_string(thread);
            Key leaf;
            failures.Check(Key::Create(Hive::LocalMachine, tree + "\\a\\b", leaf), Status::Ok,
                           "create tree");
            failures.Check(DeleteTree(Hive::LocalMachine, tree), Status::Ok, "delete tree");
        }
    }
}

int WriterChild(int process) {
    Failures failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadsPerProcess; ++t) {
        threads.emplace_back(Worker, process, t, std::ref(failures));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    auto list = failures.Take();
    for (const auto& failure : list) {
        std::fprintf(stderr, "process %d: %s\n", process, failure.c_str());
    }
    return list.empty() ? 0 : 1;
}

// Fills a tree in one batch and deletes it in one call, over and over, until killed.
int ChurnChild() {
    for (bool first = true;; first = false) {
        Batch batch;
        for (int g = 0; g < kTreeGroups; ++g) {
            for (int l = 0; l < kTreeLeaves; ++l) {
                std::string path =
                    "SOFTWARE\\Atomic\\Tree\\G" + std::to_string(g) + "\\L" + std::to_string(l);
                batch.SetValue(Hive::LocalMachine, path, "v", Type::String, path);
            }
        }
        if (batch.Commit() != Status::Ok ||
            (!first && DeleteTree(Hive::LocalMachine, "SOFTWARE\\Atomic\\Tree") != Status::Ok)) {
            std::fprintf(stderr, "churn failed: %s\n", LastErrorDetail().c_str());
            return 1;
        }
        if (first) {
            std::printf("ready\n");
            std::fflush(stdout);
            if (DeleteTree(Hive::LocalMachine, "SOFTWARE\\Atomic\\Tree") != Status::Ok) {
                return 1;
            }
        }
    }
}

constexpr const char* kEditKey = "SOFTWARE\\Edited";
constexpr int kCounterCommits = 600;

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

std::string Unhex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

// Changes the registry on command, one line each, and answers "done" once the change is
// stored: "set NAME-HEX TYPE DATA-HEX", "delete NAME-HEX", "deltree", "create".
int EditorChild() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::vector<std::string> words;
        for (std::size_t start = 0; start <= line.size();) {
            std::size_t end = std::min(line.find(' ', start), line.size());
            words.push_back(line.substr(start, end - start));
            start = end + 1;
        }
        Status status = Status::InvalidParameter;
        Key key;
        if (words[0] == "set" && words.size() == 4) {
            status = Key::Create(Hive::LocalMachine, kEditKey, key);
            if (status == Status::Ok) {
                status = key.Set(Unhex(words[1]), static_cast<Type>(std::stoul(words[2])),
                                 Unhex(words[3]));
            }
        } else if (words[0] == "delete" && words.size() == 2) {
            status = Key::Open(Hive::LocalMachine, kEditKey, kReadWrite, key);
            if (status == Status::Ok) {
                status = key.DeleteValue(Unhex(words[1]));
            }
        } else if (words[0] == "deltree") {
            status = DeleteTree(Hive::LocalMachine, kEditKey);
        } else if (words[0] == "create") {
            status = Key::Create(Hive::LocalMachine, std::string(kEditKey) + "\\Sub", key);
        }
        if (status == Status::Ok) {
            std::printf("done\n");
        } else {
            std::printf("failed: %s %s\n", std::string(StatusText(status)).c_str(),
                        LastErrorDetail().c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}

// The value the counter child stores in commit `i`: its number and a filler whose length and
// byte follow from it, so that a reader can tell a whole value from a mixed or torn one.
std::string CounterValue(int i) {
    return std::to_string(i) + ":" +
           std::string(static_cast<std::size_t>(i * 7 % 3000), static_cast<char>(0x80 + i % 100));
}

// Writes CounterValue(0 .. kCounterCommits-1), one commit each, as fast as it can.
int CounterChild() {
    Key key;
    if (Key::Create(Hive::LocalMachine, kEditKey, key) != Status::Ok) {
        return 1;
    }
    for (int i = 0; i < kCounterCommits; ++i) {
        if (key.Set("n", Type::Binary, CounterValue(i)) != Status::Ok) {
            std::fprintf(stderr, "counter: %s\n", LastErrorDetail().c_str());
            return 1;
        }
    }
    std::printf("finished\n");
    std::fflush(stdout);
    return 0;
}

const int kChildDispatch = [] {
    const char* mode = std::getenv(kChildVariable);
    if (mode == nullptr) {
        return 0;
    }
    int code = 2;
    if (std::strncmp(mode, "writer:", 7) == 0) {
        code = WriterChild(std::atoi(mode + 7));
    } else if (std::strcmp(mode, "churn") == 0) {
        code = ChurnChild();
    } else if (std::strcmp(mode, "editor") == 0) {
        code = EditorChild();
    } else if (std::strcmp(mode, "counter") == 0) {
        code = CounterChild();
    }
    std::fflush(nullptr);
    std::exit(code);
}();

class RegistrySharingTest : public ::testing::Test {
  protected:
    test::TempRoot m_Root;
};

TEST_F(RegistrySharingTest, ThreadsOfOneProcessShareAHive) {
    Failures failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        // Two "processes" worth of threads in this one, so the peeks find values.
        threads.emplace_back(Worker, t / 2, t % 2, std::ref(failures));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& failure : failures.Take()) {
        ADD_FAILURE() << failure;
    }
    Key key;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, kSharedKey, kRead, key), Status::Ok);
    std::vector<NamedValue> values;
    ASSERT_EQ(key.Values(values), Status::Ok);
    EXPECT_EQ(values.size(), 2u * kThreadsPerProcess * kWritesPerThread);
}

TEST_F(RegistrySharingTest, TwoProcessesWriteAndReadOneHiveWithoutLosingWrites) {
    std::vector<std::unique_ptr<test::Subprocess>> children;
    for (int p = 0; p < 2; ++p) {
        test::Subprocess::Options options;
        options.env = {{kChildVariable, "writer:" + std::to_string(p)}};
        options.pipeStdin = false;
        children.push_back(std::make_unique<test::Subprocess>(
            std::vector<std::string>{test::SelfPath()}, options));
    }
    for (auto& child : children) {
        std::optional<int> code = child->Wait(240s);
        ASSERT_TRUE(code.has_value()) << "a writer process hung";
        EXPECT_EQ(*code, 0) << child->Stderr();
        EXPECT_EQ(child->Stderr(), "");
    }

    Key key;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, kSharedKey, kRead, key), Status::Ok);
    Key machineBatches;
    ASSERT_EQ(key.OpenSubkey("Batches", kRead, machineBatches), Status::Ok);
    Key userBatches;
    ASSERT_EQ(Key::Open(Hive::CurrentUser, "Software\\Sharing", kRead, userBatches), Status::Ok);
    int missing = 0;
    for (int p = 0; p < 2; ++p) {
        for (int t = 0; t < kThreadsPerProcess; ++t) {
            for (int k = 0; k < kWritesPerThread; ++k) {
                Value value;
                const std::string name = ValueName(p, t, k);
                if (key.Get(name, value) != Status::Ok || value.data != ValueData(p, t, k)) {
                    ++missing;
                }
                if (k % 10 == 0) {
                    missing += machineBatches.Get(name, value) != Status::Ok;
                    missing += userBatches.Get(name, value) != Status::Ok;
                }
            }
        }
    }
    EXPECT_EQ(missing, 0);
    std::vector<std::string> subkeys;
    ASSERT_EQ(key.Subkeys(subkeys), Status::Ok);
    EXPECT_EQ(subkeys, std::vector<std::string>{"Batches"});
}

TEST_F(RegistrySharingTest, ForkedChildUsesConnectionsOfItsOwn) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Fork", key), Status::Ok);
    ASSERT_EQ(key.SetString("parent", "1"), Status::Ok);

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        Key child;
        Value value;
        bool ok =
            Key::Open(Hive::LocalMachine, "SOFTWARE\\Fork", kReadWrite, child) == Status::Ok &&
            child.Get("parent", value) == Status::Ok && value.data == "1" &&
            child.SetString("child", "2") == Status::Ok && key.SetString("via", "3") == Status::Ok;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    Value value;
    ASSERT_EQ(key.Get("child", value), Status::Ok);
    EXPECT_EQ(value.data, "2");
    ASSERT_EQ(key.Get("via", value), Status::Ok);
    EXPECT_EQ(key.SetString("parent", "again"), Status::Ok);
}

// Counts the tree the churn child writes: whole (every group and leaf) or absent.
void ExpectTreeWholeOrAbsent() {
    Key tree;
    Status status = Key::Open(Hive::LocalMachine, "SOFTWARE\\Atomic\\Tree", kRead, tree);
    if (status == Status::NotFound) {
        return;
    }
    ASSERT_EQ(status, Status::Ok);
    std::vector<std::string> groups;
    ASSERT_EQ(tree.Subkeys(groups), Status::Ok);
    ASSERT_EQ(groups.size(), static_cast<std::size_t>(kTreeGroups)) << "a partial tree";
    int leaves = 0;
    for (const auto& g : groups) {
        Key group;
        ASSERT_EQ(tree.OpenSubkey(g, kRead, group), Status::Ok);
        std::vector<std::string> names;
        ASSERT_EQ(group.Subkeys(names), Status::Ok);
        for (const auto& l : names) {
            Key leaf;
            Value value;
            ASSERT_EQ(group.OpenSubkey(l, kRead, leaf), Status::Ok);
            leaves += leaf.Get("v", value) == Status::Ok;
        }
    }
    EXPECT_EQ(leaves, kTreeGroups * kTreeLeaves) << "a partial tree";
}

TEST_F(RegistrySharingTest, KilledWriterLeavesTreesWholeOrAbsent) {
    for (auto pause : {5ms, 20ms, 40ms, 80ms, 150ms}) {
        test::Subprocess::Options options;
        options.env = {{kChildVariable, "churn"}};
        options.pipeStdin = false;
        test::Subprocess child({test::SelfPath()}, options);
        std::optional<std::string> line = child.ReadLine(60s);
        ASSERT_EQ(line, std::optional<std::string>("ready")) << child.Stderr();
        std::this_thread::sleep_for(pause);  // let it get into some transaction
        child.Kill(SIGKILL);
        child.Wait(60s);
        ExpectTreeWholeOrAbsent();
        // The hive is usable afterwards: the interrupted transaction was rolled back.
        Key key;
        ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Atomic\\After", key), Status::Ok);
        EXPECT_EQ(key.SetString("ok", "1"), Status::Ok);
    }
}

// What a read of the edited value must give.
struct Expected {
    Status status = Status::Ok;
    Type type = Type::None;
    std::string data;
};

// Reads `name` of the edited key every way a caller can: through a handle held all along,
// through its parent, and the way a service object does (open, QueryInfo, Query into 2048
// bytes, close).
void ExpectValue(const Key& software, const Key& held, const std::string& name,
                 const Expected& want) {
    Type type{};
    std::size_t size = 0;
    ASSERT_EQ(held.QueryInfo(name, &type, &size), want.status);
    if (want.status == Status::Ok) {
        EXPECT_EQ(type, want.type);
        EXPECT_EQ(size, want.data.size());
    }
    Value value;
    ASSERT_EQ(held.Get(name, value), want.status);
    if (want.status == Status::Ok) {
        EXPECT_EQ(value.type, want.type);
        EXPECT_EQ(value.data, want.data);
    }
    const Status keyStatus = want.status == Status::KeyDeleted ? Status::NotFound : Status::Ok;
    Key viaParent;
    EXPECT_EQ(software.OpenSubkey("edited", kRead, viaParent), keyStatus);
    Key fresh;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, kEditKey, kRead, fresh), keyStatus);
    if (keyStatus != Status::Ok) {
        return;
    }
    ASSERT_EQ(fresh.QueryInfo(name, &type, &size), want.status);
    char buffer[2048];
    size = sizeof buffer;
    Status query = fresh.Query(name, &type, buffer, &size);
    if (want.status != Status::Ok) {
        EXPECT_EQ(query, want.status);
    } else if (want.data.size() > sizeof buffer) {
        EXPECT_EQ(query, Status::MoreData);
        EXPECT_EQ(size, want.data.size());
    } else {
        ASSERT_EQ(query, Status::Ok);
        EXPECT_EQ(type, want.type);
        EXPECT_EQ(std::string(buffer, size), want.data);
    }
}

TEST_F(RegistrySharingTest, ChangesOfAnotherProcessAreSeenByTheNextRead) {
    test::Subprocess::Options options;
    options.env = {{kChildVariable, "editor"}};
    test::Subprocess editor({test::SelfPath()}, options);
    auto command = [&](const std::string& line) {
        editor.Write(line + "\n");
        std::optional<std::string> reply = editor.ReadLine(60s);
        ASSERT_EQ(reply, std::optional<std::string>("done")) << line << " " << editor.Stderr();
    };
    const std::string name = "Serial Port";
    Expected want{Status::Ok, Type::String, "start"};
    auto set = [&](Type type, std::string data) {
        command("set " + Hex(name) + " " + std::to_string(static_cast<unsigned>(type)) + " " +
                Hex(data));
        want = {Status::Ok, type, std::move(data)};
    };
    ASSERT_NO_FATAL_FAILURE(set(Type::String, "start"));
    Key software;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE", kRead, software), Status::Ok);
    Key held;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, kEditKey, kRead, held), Status::Ok);

    for (int i = 0; i < 120; ++i) {
        SCOPED_TRACE("round " + std::to_string(i));
        // Read first, so that the caches hold the value the change replaces.
        ASSERT_NO_FATAL_FAILURE(ExpectValue(software, held, name, want));
        const char b = static_cast<char>(i);
        switch (i % 7) {
            case 0:  // a string whose size changes
                set(Type::String, "COM" + std::to_string(i * 131));
                break;
            case 1: {  // the same size and type, other bytes
                std::string same = want.data;
                same.back() = static_cast<char>(same.back() ^ 1);
                set(want.type, same);
                break;
            }
            case 2:  // a DWORD where a string was
                set(Type::Dword, std::string{b, '\0', '\xff', '\x01'});
                break;
            case 3:  // larger than the caller's buffer
                set(Type::Binary, std::string(2000 + static_cast<std::size_t>(i) * 3, b));
                break;
            case 4:  // larger than the read cache keeps
                set(Type::Binary, std::string(6000, '\xff') + b);
                break;
            case 5:
                command("delete " + Hex(name));
                want = {Status::NotFound, Type::None, {}};
                break;
            case 6:  // the key goes; made again, it is another key
                command("deltree");
                ASSERT_NO_FATAL_FAILURE(
                    ExpectValue(software, held, name, {Status::KeyDeleted, Type::None, {}}));
                set(Type::String, "again " + std::to_string(i));
                Value value;
                EXPECT_EQ(held.Get(name, value), Status::KeyDeleted);
                ASSERT_EQ(Key::Open(Hive::LocalMachine, kEditKey, kRead, held), Status::Ok);
                break;
        }
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NO_FATAL_FAILURE(ExpectValue(software, held, name, want));
    }
    editor.CloseStdin();
    EXPECT_EQ(editor.Wait(60s), std::optional<int>(0)) << editor.Stderr();
}

TEST_F(RegistrySharingTest, ReadsDuringCommitsOfAnotherProcessAreWholeAndInOrder) {
    Key setup;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, kEditKey, setup), Status::Ok);
    test::Subprocess::Options options;
    options.env = {{kChildVariable, "counter"}};
    options.pipeStdin = false;
    test::Subprocess counter({test::SelfPath()}, options);

    int last = -1;
    auto read = [&] {
        Key key;
        ASSERT_EQ(Key::Open(Hive::LocalMachine, kEditKey, kRead, key), Status::Ok);
        Type type{};
        std::size_t size = 0;
        Status info = key.QueryInfo("n", &type, &size);
        char buffer[4096];
        size = sizeof buffer;
        Status query = key.Query("n", &type, buffer, &size);
        // Before the first commit the value is absent; it may appear between the two calls.
        if (info == Status::NotFound) {
            ASSERT_LT(last, 0) << "the value vanished";
        } else {
            ASSERT_EQ(info, Status::Ok);
        }
        if (query == Status::NotFound) {
            ASSERT_EQ(info, Status::NotFound) << "the value vanished";
            return;
        }
        ASSERT_EQ(query, Status::Ok);
        std::string data(buffer, size);
        int i = std::atoi(data.c_str());
        ASSERT_EQ(data, CounterValue(i)) << "a value mixed from two commits";
        ASSERT_GE(i, last) << "an older value after a newer one";
        last = i;
    };
    for (;;) {
        ASSERT_NO_FATAL_FAILURE(read());
        std::optional<std::string> line = counter.ReadLine(1ms);
        bool ended = !line.has_value() && counter.Wait(0ms).has_value();
        if (ended) {
            line = counter.ReadLine(0ms);  // what it wrote just before it ended
        }
        if (line.has_value()) {
            ASSERT_EQ(*line, "finished") << counter.Stderr();
            break;
        }
        ASSERT_FALSE(ended) << "the counter stopped: " << counter.Stderr();
    }
    // Its last commit is seen by the read right after it reported it.
    ASSERT_NO_FATAL_FAILURE(read());
    EXPECT_EQ(last, kCounterCommits - 1);
    EXPECT_EQ(counter.Wait(60s), std::optional<int>(0)) << counter.Stderr();
}

}  // namespace
}  // namespace sorvex::registry
