// One hive shared by many threads and processes: no lock error ever reaches a caller, no write
// is lost, a forked child works with connections of its own, and a writer killed in the middle
// of a transaction leaves all of it or none.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

}  // namespace
}  // namespace sorvex::registry
