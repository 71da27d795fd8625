#include "platform/hid/simulated_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace sorvex::hid::detail {

namespace {

// Largest metadata file read; real ones are a few hundred bytes.
constexpr std::size_t kMaxMetadataSize = 64 * 1024;

std::atomic<unsigned> g_TempCounter{0};

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "<dir>/.<base>.<pid>.<n>": a name beside `path` that no device name can have (those never
// start with '.') and no other process or thread uses at the same time.
std::string TempPathFor(const std::string& path) {
    return DirectoryOf(path) + "/." + BaseOf(path) + "." + std::to_string(::getpid()) + "." +
           std::to_string(g_TempCounter.fetch_add(1));
}

// A socket address for `path`. A path too long for sun_path is reached through an O_PATH
// descriptor of its directory ("/proc/self/fd/<n>/<base>"), kept open in `dirFd` while the
// address is used. False with errno set when that fails too.
bool MakeAddress(const std::string& path, sockaddr_un& addr, socklen_t& length, UniqueFd& dirFd) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string effective = path;
    if (path.size() >= sizeof addr.sun_path) {
        dirFd.Reset(::open(DirectoryOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dirFd) {
            return false;
        }
        effective = "/proc/self/fd/" + std::to_string(dirFd.get()) + "/" + BaseOf(path);
        if (effective.size() >= sizeof addr.sun_path) {
            errno = ENAMETOOLONG;
            return false;
        }
    }
    std::memcpy(addr.sun_path, effective.data(), effective.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + effective.size() + 1);
    return true;
}

UniqueFd NewSocket() {
    return UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

}  // namespace

std::string MetadataPathFor(const std::string& socketPath) {
    std::string_view suffix = kSocketSuffix;
    std::string base = socketPath;
    if (base.size() >= suffix.size() &&
        base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0) {
        base.resize(base.size() - suffix.size());
    }
    return base + kMetadataSuffix;
}

UniqueFd ConnectSeqpacket(const std::string& path, int& err) {
    err = 0;
    sockaddr_un addr;
    socklen_t length = 0;
    UniqueFd dirFd;
    if (!MakeAddress(path, addr, length, dirFd)) {
        err = errno;
        return UniqueFd();
    }
    UniqueFd fd = NewSocket();
    if (!fd) {
        err = errno;
        return fd;
    }
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        err = errno;
        fd.Reset();
    }
    return fd;
}

UniqueFd ListenSeqpacket(const std::string& path) {
    const std::string temp = TempPathFor(path);
    sockaddr_un addr;
    socklen_t length = 0;
    UniqueFd dirFd;
    if (!MakeAddress(temp, addr, length, dirFd)) {
        int err = errno;
        ThrowErrno("Cannot make a socket address for " + path, err);
    }
    UniqueFd fd = NewSocket();
    if (!fd) {
        int err = errno;
        ThrowErrno("Cannot create the socket of " + path, err);
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), length) != 0) {
        int err = errno;
        ThrowErrno("Cannot bind the socket of " + path, err);
    }
    if (::listen(fd.get(), 8) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        ThrowErrno("Cannot publish the socket " + path, err);
    }
    return fd;
}

UniqueFd WriteLockedMetadata(const std::string& path, const SimulatedDeviceMetadata& metadata) {
    const std::string temp = TempPathFor(path);
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) {
        int err = errno;
        ThrowErrno("Cannot create " + temp, err);
    }
    const std::string text = FormatSimulatedMetadata(metadata);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::unlink(temp.c_str());
            ThrowErrno("Cannot write " + temp, err);
        }
        done += static_cast<std::size_t>(n);
    }
    // Locked before it gets its name, so that nobody finds it unlocked while we live.
    if (::flock(fd.get(), LOCK_EX) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        ThrowErrno("Cannot publish " + path, err);
    }
    return fd;
}

bool IsLockedByServer(int metadataFd) {
    if (::flock(metadataFd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(metadataFd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

std::optional<MetadataFile> ReadMetadataFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        return std::nullopt;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kMaxMetadataSize) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxMetadataSize) {
            return std::nullopt;
        }
    }
    std::optional<SimulatedDeviceMetadata> metadata = ParseSimulatedMetadata(text);
    if (!metadata) {
        return std::nullopt;
    }
    return MetadataFile{std::move(*metadata), IsLockedByServer(fd.get())};
}

bool IsServed(const std::string& socketPath, const MetadataFile& metadata) {
    if (metadata.locked) {
        return true;
    }
    int err = 0;
    UniqueFd probe = ConnectSeqpacket(socketPath, err);
    // A full backlog (EAGAIN) still means somebody listens.
    return static_cast<bool>(probe) || err == EAGAIN;
}

}  // namespace sorvex::hid::detail
