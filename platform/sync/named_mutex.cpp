// Named mutex: a process-shared, robust pthread mutex in a POSIX shared-memory object.
//
// System name: "/sorvex-<root tag>-<readable part>-<hash>". The readable part keeps the
// characters [A-Za-z0-9._-] of the name (at most 64), the hash (FNV-1a, 64 bit, of every byte
// of the name) keeps distinct names apart whatever they contain.
//
// Creation race: an object is built completely under a private temporary name and then
// published with link(), which fails when another process published first. An object seen
// under its final name is therefore always initialised; there is nothing to wait for, and a
// creator that dies half-way leaves at most an unpublished temporary.
//
// Lifetime: every process holds a shared flock() on the object while it has it open. The last
// closer gets the exclusive lock and unlinks the name; an opener that raced with that unlink
// sees a link count of 0 and opens again. flock() locks go with the process, so a killed process
// never keeps an object alive.
//
// Recursion is counted in the process (Shared below), not in the pthread mutex: the pthread mutex
// is taken once per ownership period. That keeps one owner record for all NamedMutex objects of a
// name in the process, and ThreadSanitizer sees a plain mutex.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <system_error>

#include "platform/root/state_root.h"
#include "platform/sync/sync.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SORVEX_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define SORVEX_TSAN 1
#endif
#ifdef SORVEX_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace sorvex::sync {

namespace {

// glibc keeps POSIX shared memory objects as files here; link() publishes through it.
constexpr const char* kShmDirectory = "/dev/shm";
constexpr std::uint32_t kMagic = 0x58544D53;  // "SMTX"
constexpr std::uint32_t kLayoutVersion = 1;
constexpr int kMaxOpenAttempts = 64;

// The shared-memory object.
struct Layout {
    std::uint32_t magic;
    std::uint32_t version;
    pthread_mutex_t mutex;
};

std::string Describe(std::string_view name) {
    return "named mutex \"" + std::string(name) + "\"";
}

[[noreturn]] void Throw(int error, std::string_view name, const std::string& what) {
    throw std::system_error(error, std::generic_category(), Describe(name) + ": " + what);
}

std::uint64_t Fnv1a(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string Hex16(std::uint64_t value) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return out;
}

// A number for the calling thread that is never reused within the process (std::thread::id and
// kernel thread ids are, and a reused id must not inherit a dead thread's ownership).
std::uint64_t ThreadToken() {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t token = next.fetch_add(1, std::memory_order_relaxed);
    return token;
}

void FlockRetrying(int fd, int operation, std::string_view name) {
    while (::flock(fd, operation) != 0) {
        if (errno != EINTR) {
            Throw(errno, name, "flock");
        }
    }
}

void InitialiseLayout(Layout* layout, std::string_view name) {
    pthread_mutexattr_t attr;
    int rc = ::pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    }
    if (rc == 0) {
        rc = ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    }
    if (rc == 0) {
        // Recursion is counted by the process; a second lock by the owner is a bug to report.
        rc = ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    }
    if (rc == 0) {
        rc = ::pthread_mutex_init(&layout->mutex, &attr);
    }
    ::pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        Throw(rc, name, "pthread_mutex_init");
    }
    layout->version = kLayoutVersion;
    layout->magic = kMagic;
}

// Locks with a time-out on CLOCK_MONOTONIC. ThreadSanitizer of our clang does not intercept
// pthread_mutex_clocklock, so it is told about the lock by hand (unlock is intercepted).
int ClockLock(pthread_mutex_t* mutex, int timeoutMs) {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
#ifdef SORVEX_TSAN
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
#endif
    int rc = ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#ifdef SORVEX_TSAN
    bool locked = rc == 0 || rc == EOWNERDEAD;
    __tsan_mutex_post_lock(mutex,
                           __tsan_mutex_try_lock | (locked ? 0u : __tsan_mutex_try_lock_failed), 0);
#endif
    return rc;
}

}  // namespace

// One per system object and process; shared by every NamedMutex of that name in the process.
struct NamedMutex::Shared {
    std::string systemName;
    int fd = -1;
    pid_t openedBy = ::getpid();
    Layout* layout = nullptr;
    int handles = 0;  // guarded by the registry lock

    std::mutex lock;          // guards the owner record
    std::uint64_t owner = 0;  // ThreadToken() of the owning thread of this process, 0 for none
    unsigned depth = 0;       // levels the owner holds
    std::uint64_t epoch = 0;  // counts ownership periods

    // Unmaps, and removes the system object when no other process has it open.
    void Close() {
        if (layout != nullptr) {
            ::munmap(layout, sizeof(Layout));
            layout = nullptr;
        }
        if (fd >= 0 && openedBy != ::getpid()) {
            // A forked child shares the parent's flock (one open file description): it must
            // never decide that it is the last user.
            ::close(fd);
            fd = -1;
        }
        if (fd >= 0) {
            // Exclusive means no other process has it open. A failing conversion drops our shared
            // lock, which no longer matters: the descriptor is closed next. When two processes
            // close at once both may fail; the object then stays until its next close.
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                // EPERM: /dev/shm is sticky and another user created it; it stays for its owner.
                ::shm_unlink(systemName.c_str());
            }
            ::close(fd);
            fd = -1;
        }
    }
};

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, NamedMutex::Shared*> open;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: used until the process ends
    return *registry;
}

// Maps the published object `shared->systemName`, creating and publishing it when there is
// none. Called with the registry lock held; the only wait is flock() for a closer that is
// unlinking the object at this moment.
void MapObject(NamedMutex::Shared* shared, std::string_view name) {
    static std::atomic<unsigned> counter{0};
    const std::string& sys = shared->systemName;
    for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
        int fd = ::shm_open(sys.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0) {
            FlockRetrying(fd, LOCK_SH, name);
            struct stat st {};
            if (::fstat(fd, &st) != 0) {
                int error = errno;
                ::close(fd);
                Throw(error, name, "fstat " + sys);
            }
            if (st.st_nlink == 0) {  // unlinked by its last user while we opened it
                ::close(fd);
                continue;
            }
            if (st.st_size != static_cast<off_t>(sizeof(Layout))) {
                ::close(fd);
                Throw(EPROTO, name, std::string(kShmDirectory) + sys + " has an unexpected size");
            }
            void* map = ::mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (map == MAP_FAILED) {
                int error = errno;
                ::close(fd);
                Throw(error, name, "mmap " + sys);
            }
            auto* layout = static_cast<Layout*>(map);
            if (layout->magic != kMagic || layout->version != kLayoutVersion) {
                ::munmap(map, sizeof(Layout));
                ::close(fd);
                Throw(EPROTO, name, std::string(kShmDirectory) + sys + " is not a mutex of ours");
            }
            shared->fd = fd;
            shared->layout = layout;
            return;
        }
        if (errno != ENOENT) {
            Throw(errno, name, "shm_open " + sys);
        }

        // Build a complete object under a private name, then publish it.
        std::string temp =
            sys + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        fd = ::shm_open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            Throw(errno, name, "shm_open " + temp);
        }
        auto fail = [&](const std::string& what) {
            int error = errno;
            ::close(fd);
            ::shm_unlink(temp.c_str());
            Throw(error, name, what);
        };
        // Every point-of-sale user must be able to open it, whatever the creator's umask.
        if (::fchmod(fd, 0666) != 0) {
            fail("fchmod " + temp);
        }
        if (::ftruncate(fd, sizeof(Layout)) != 0) {
            fail("ftruncate " + temp);
        }
        FlockRetrying(fd, LOCK_SH, name);
        void* map = ::mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            fail("mmap " + temp);
        }
        auto* layout = static_cast<Layout*>(map);
        try {
            InitialiseLayout(layout, name);
        } catch (...) {
            ::munmap(map, sizeof(Layout));
            ::close(fd);
            ::shm_unlink(temp.c_str());
            throw;
        }
        std::string from = kShmDirectory + temp;
        std::string to = kShmDirectory + sys;
        int rc = ::link(from.c_str(), to.c_str());
        int linkError = errno;
        ::shm_unlink(temp.c_str());
        if (rc == 0) {
            shared->fd = fd;
            shared->layout = layout;
            return;
        }
        ::munmap(map, sizeof(Layout));
        ::close(fd);
        if (linkError != EEXIST) {
            Throw(linkError, name, "link " + from + " to " + to);
        }
        // Another process published first: open theirs.
    }
    Throw(EAGAIN, name, "the object " + sys + " kept disappearing while it was opened");
}

}  // namespace

std::string NamedMutex::SystemName(std::string_view name) {
    std::string readable;
    for (char c : name) {
        if (readable.size() == 64) {
            break;
        }
        bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
        if (safe) {
            readable.push_back(c);
        }
    }
    return "/sorvex-" + root::RootTag() + "-" + readable + "-" + Hex16(Fnv1a(name));
}

NamedMutex::NamedMutex(std::string_view name) : m_Name(name) {
    std::string sys = SystemName(name);
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.lock);
    auto it = registry.open.find(sys);
    if (it != registry.open.end()) {
        m_Shared = it->second;
        ++m_Shared->handles;
        return;
    }
    auto shared = std::make_unique<Shared>();
    shared->systemName = sys;
    MapObject(shared.get(), m_Name);
    shared->handles = 1;
    m_Shared = shared.release();
    registry.open.emplace(sys, m_Shared);
}

NamedMutex::~NamedMutex() {
    {
        std::lock_guard lock(m_Shared->lock);
        if (m_Shared->owner == ThreadToken() && m_Epoch == m_Shared->epoch && m_Depth > 0) {
            unsigned levels = m_Depth < m_Shared->depth ? m_Depth : m_Shared->depth;
            m_Shared->depth -= levels;
            if (m_Shared->depth == 0) {
                m_Shared->owner = 0;
                ::pthread_mutex_unlock(&m_Shared->layout->mutex);
            }
        }
    }
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.lock);
    if (--m_Shared->handles > 0) {
        return;
    }
    bool held;
    {
        std::lock_guard ownerLock(m_Shared->lock);
        held = m_Shared->depth > 0;
    }
    if (held) {
        // Another thread of this process owns it: its robust-list entry points into the mapping,
        // so the mapping stays, in the registry, for the next NamedMutex of this name.
        return;
    }
    registry.open.erase(m_Shared->systemName);
    m_Shared->Close();
    delete m_Shared;
}

MutexWait NamedMutex::Wait(int timeoutMs) {
    const std::uint64_t me = ThreadToken();
    {
        std::lock_guard lock(m_Shared->lock);
        if (m_Shared->owner == me) {
            if (m_Shared->depth == ~0u) {
                return MutexWait::Failed;
            }
            ++m_Shared->depth;
            if (m_Epoch == m_Shared->epoch) {
                ++m_Depth;
            } else {
                m_Epoch = m_Shared->epoch;
                m_Depth = 1;
            }
            return MutexWait::Acquired;
        }
    }
    // Not owned by this thread: take the system mutex, without holding the record's lock.
    pthread_mutex_t* mutex = &m_Shared->layout->mutex;
    int rc = ::pthread_mutex_trylock(mutex);
    if (rc == EBUSY && timeoutMs != 0) {
        rc = timeoutMs < 0 ? ::pthread_mutex_lock(mutex) : ClockLock(mutex, timeoutMs);
    }
    MutexWait result;
    switch (rc) {
        case 0:
            result = MutexWait::Acquired;
            break;
        case EOWNERDEAD:
            // The owner died holding it. Mark it usable again; the caller owns it now.
            if (::pthread_mutex_consistent(mutex) != 0) {
                ::pthread_mutex_unlock(mutex);
                return MutexWait::Failed;
            }
            result = MutexWait::Abandoned;
            break;
        case EBUSY:
        case ETIMEDOUT:
            return MutexWait::Timeout;
        default:  // ENOTRECOVERABLE, EDEADLK, EINVAL: nothing a caller can do but report it
            return MutexWait::Failed;
    }
    std::lock_guard lock(m_Shared->lock);
    m_Shared->owner = me;
    m_Shared->depth = 1;
    m_Epoch = ++m_Shared->epoch;
    m_Depth = 1;
    return result;
}

bool NamedMutex::Release() {
    std::lock_guard lock(m_Shared->lock);
    if (m_Shared->owner != ThreadToken() || m_Shared->depth == 0) {
        return false;
    }
    if (m_Epoch == m_Shared->epoch && m_Depth > 0) {
        --m_Depth;
    }
    if (--m_Shared->depth == 0) {
        m_Shared->owner = 0;
        return ::pthread_mutex_unlock(&m_Shared->layout->mutex) == 0;
    }
    return true;
}

}  // namespace sorvex::sync
