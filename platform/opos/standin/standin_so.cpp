// Stand-in service objects for the control objects' tests: an in-process server with a scanner
// and a scale class that answer the method names and DISPIDs of the real service objects and
// behave as they do where a control object can tell: OPOS states, the claim through a named
// system mutex, ResultCode handed out once, an event queue with a delivery thread that hops to
// the object's thread through a hidden window (WM_USER+101 data, WM_USER+102 error) and calls
// the control object's "SOData" / "SOError" there, DataEventEnabled switched off per data
// event, FreezeEvents and COFreezeEvents holding events back.
//
// What a test controls:
//   - the class: HKCR\CLSID\{clsid} values "StandInKind" ("Scanner" / "Scale"), "StandInHide"
//     (method names, comma separated, that GetIDsOfNames then does not know) and "StandInFail"
//     (methods whose Invoke answers DISP_E_EXCEPTION);
//   - the profile (read by OpenService): "OpenRC" (what OpenService answers), "OpenResult" (what
//     GetOpenResult then answers, default OpenRC), "Version" (ServiceObjectVersion), "Port"
//     (claim mutex name, default the profile name), "Feed" (a FIFO the object reads commands
//     from, one a line: "label TYPE HEXLABEL [HEXDATA]", "weight N", "weight none",
//     "error RC RCE LOCUS");
//   - DirectIO commands: 1 echo (pData doubled, pString in angle brackets), 2 the last
//     ErrorResponse in pData, 3 queue a label (pData type, pString label), 4 set the weight
//     (pData, -1 none), 5 queue an error event (pData ResultCode), 6 fire SODirectIO(pData,
//     pString) now and answer what the control object left, 7 fire SOStatusUpdate(pData) now,
//     9 pData = 1 when COFreezeEvents froze the object + 2 when FreezeEvents is set,
//     10 pData = calls made on a thread other than the object's.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/server.h"
#include "platform/com/typelib_registry.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"
#include "platform/window/window.h"
#include "standin_typelib.h"

namespace com = sorvex::com;
namespace reg = sorvex::registry;

namespace {

std::atomic<long> g_LockCount{0};  // live objects, class objects and server locks

constexpr std::uint32_t kFireData = sorvex::window::WM_USER + 101;
constexpr std::uint32_t kFireError = sorvex::window::WM_USER + 102;

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::optional<std::int32_t> ReadNumber(const reg::Key& key, const char* name) {
    reg::Value value;
    if (key.Get(name, value) != reg::Status::Ok) {
        return std::nullopt;
    }
    if (value.type == reg::Type::Dword && value.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) {
            n = (n << 8) | static_cast<unsigned char>(value.data[static_cast<std::size_t>(i)]);
        }
        return static_cast<std::int32_t>(n);
    }
    return static_cast<std::int32_t>(std::strtol(value.data.c_str(), nullptr, 10));
}

std::string ReadText(const reg::Key& key, const char* name) {
    reg::Value value;
    return key.Get(name, value) == reg::Status::Ok ? value.data : std::string();
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

struct Event {
    int type = 1;                      // 1 data, 4 error
    std::int32_t a = 0, b = 0, c = 0;  // data: status, data type; error: RC, RCE, locus
    std::string label;
    std::string data;
    bool asyncRead = false;  // an error ending an asynchronous weight read
};

// Everything both classes share.
class StandInDevice {
  public:
    explicit StandInDevice(bool scale)
        : m_Scale(scale),
          m_Owner(std::this_thread::get_id()),
          m_Window(std::make_unique<sorvex::window::HiddenWindow>(
              "StandInWindow", [this](std::uint32_t message, std::uintptr_t,
                                      std::intptr_t) { return OnWindow(message); })),
          m_WindowRef(m_Window->Ref()) {
        m_Delivery = std::thread([this] { DeliveryLoop(); });
    }

    ~StandInDevice() {
        m_Window.reset();  // releases the delivery thread if it waits at the hop
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Stop = true;
        }
        m_Wake.notify_all();
        m_Delivery.join();
        StopFeed();
    }

    void Check() {
        if (std::this_thread::get_id() != m_Owner) {
            m_ForeignCalls.fetch_add(1);
        }
    }

    // --- common methods ---

    std::int32_t OpenService(const std::string& deviceClass, const std::string& deviceName,
                             com::IDispatch* dispatch) {
        Check();
        reg::Key profile;
        reg::Key::Open(reg::Hive::LocalMachine,
                       "SOFTWARE\\OLEforRetail\\ServiceOPOS\\" + deviceClass + "\\" + deviceName,
                       reg::kRead, profile);
        m_Version = ReadNumber(profile, "Version").value_or(m_Scale ? 1008003 : 1008008);
        const std::int32_t rc = ReadNumber(profile, "OpenRC").value_or(0);
        if (rc != 0) {
            m_OpenResult = ReadNumber(profile, "OpenResult").value_or(rc);
            return Result(rc);
        }
        std::string port = ReadText(profile, "Port");
        m_Mutex = std::make_unique<sorvex::sync::NamedMutex>("SorvexStandIn" + deviceClass +
                                                             (port.empty() ? deviceName : port));
        m_DeviceName = "Stand-in " + deviceClass + " " + deviceName;
        // The control object's callbacks, by name; like the real service objects, the pointer
        // is recorded without a reference.
        m_Sink = dispatch;
        const char* names[] = {"SOData", "SODirectIO", "SOError", "SOStatusUpdate",
                               "SOOutputComplete"};
        for (int i = 0; i < 5; ++i) {
            com::OLECHAR* n[] = {const_cast<com::OLECHAR*>(names[i])};
            m_SinkIds[i] = 0;
            if (dispatch == nullptr ||
                com::Failed(dispatch->GetIDsOfNames(com::IID_NULL, n, 1, com::LOCALE_SYSTEM_DEFAULT,
                                                    &m_SinkIds[i]))) {
                m_SinkIds[i] = 0;
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Open = true;
        }
        const std::string feed = ReadText(profile, "Feed");
        if (!feed.empty()) {
            StartFeed(feed);
        }
        m_OpenResult = 0;
        return Result(0);
    }

    std::int32_t CloseService() {
        Check();
        if (m_Claimed) {
            ReleaseDevice();
        }
        StopFeed();
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Open = false;
            m_Queue.clear();
        }
        m_Mutex.reset();
        return Result(0);
    }

    std::int32_t ClaimDevice(std::int32_t timeout) {
        Check();
        if (m_Claimed) {
            return Result(0);
        }
        if (!m_Mutex) {
            return Result(102);
        }
        const auto wait = m_Mutex->Wait(timeout);
        if (wait != sorvex::sync::MutexWait::Acquired &&
            wait != sorvex::sync::MutexWait::Abandoned) {
            return Result(102);
        }
        m_Claimed = true;
        return Result(0);
    }

    std::int32_t ReleaseDevice() {
        Check();
        if (!m_Claimed) {
            return Result(103);
        }
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Enabled = false;
            m_Queue.clear();
            m_AsyncPending = false;
        }
        m_Mutex->Release();
        m_Claimed = false;
        return Result(0);
    }

    std::int32_t CheckHealth(std::int32_t level) {
        Check();
        static const char* texts[] = {"Internal HCheck: Complete", "External HCheck: Complete",
                                      "Interactive HCheck: Complete"};
        if (level < 1 || level > 3) {
            m_CheckHealthText = "[Error]";
            return Result(106);
        }
        m_CheckHealthText = texts[level - 1];
        return Result(0);
    }

    std::int32_t ClearInput() {
        Check();
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Queue.clear();
        return Result(0);
    }

    std::int32_t COFreezeEvents(bool freeze) {
        Check();
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_ControlFrozen = freeze;
        }
        m_Wake.notify_all();
        return Result(0);
    }

    std::int32_t GetOpenResult() {
        Check();
        return Result(m_OpenResult);
    }

    std::int32_t DirectIO(std::int32_t command, std::int32_t* data, com::BSTR* text) {
        Check();
        switch (command) {
            case 1:
                *data *= 2;
                com::SysReAllocString(text, "<" + com::BstrToString(*text) + ">");
                return Result(0);
            case 2:
                *data = m_LastErrorResponse;
                return Result(0);
            case 3: {
                Event e;
                e.b = *data;
                e.label = com::BstrToString(*text);
                e.data = e.label;
                return Result(Queue(std::move(e)) ? 0 : 106);
            }
            case 4:
                SetWeight(*data < 0 ? std::nullopt : std::optional<std::int32_t>(*data));
                return Result(0);
            case 5: {
                Event e;
                e.type = 4;
                e.a = *data;
                e.c = 2;  // OPOS_EL_INPUT
                return Result(Queue(std::move(e)) ? 0 : 106);
            }
            case 6: {
                // Arguments go last first.
                com::VARIANT args[3];
                args[0].vt = com::VT_BYREF | com::VT_BSTR;
                args[0].pbstrVal = text;
                args[1].vt = com::VT_BYREF | com::VT_I4;
                args[1].plVal = data;
                args[2].vt = com::VT_I4;
                args[2].lVal = *data;
                return Result(Fire(1, args, 3) ? 0 : 111);
            }
            case 7: {
                com::VARIANT args[1];
                args[0].vt = com::VT_I4;
                args[0].lVal = *data;
                return Result(Fire(3, args, 1) ? 0 : 111);
            }
            case 9: {
                std::lock_guard<std::mutex> lock(m_Lock);
                *data = (m_ControlFrozen ? 1 : 0) + (m_Freeze ? 2 : 0);
                return Result(0);
            }
            case 10:
                *data = m_ForeignCalls.load();
                return Result(0);
            default:
                return Result(0);
        }
    }

    std::int32_t GetPropertyNumber(std::int32_t index, std::int32_t* number) {
        Check();
        const std::int32_t rc = m_ResultCode;
        const std::int32_t rce = m_ResultCodeExtended;
        m_ResultCode = 0;
        m_ResultCodeExtended = 0;
        std::lock_guard<std::mutex> lock(m_Lock);
        switch (index) {
            case 1:
                *number = m_Claimed;
                break;
            case 2:
                *number = m_DataEventEnabled;
                break;
            case 3:
                *number = m_Enabled;
                break;
            case 4:
                *number = m_Freeze;
                break;
            case 6:
                *number = rc;
                break;
            case 7:
                *number = rce;
                break;
            case 8:
                *number = m_Version;
                break;
            case 9:
                *number = m_Open ? 2 : 1;
                break;
            case 10:
                *number = m_AutoDisable;
                break;
            case 11:
                *number = m_BinaryConversion;
                break;
            case 12: {
                std::int32_t n = 0;
                for (const Event& e : m_Queue) {
                    n += e.type == 1 ? 1 : 0;
                }
                *number = n;
                break;
            }
            case 13:
                *number = 0;
                break;
            case 14:
                *number = 2000;
                break;
            case 501:
                *number = 0;
                break;
            case 502:
                *number = 1;
                break;
            case 503:
                *number = 0;
                break;
            default:
                if (!m_Scale && index == 10001) {
                    *number = m_DecodeData;
                } else if (!m_Scale && index == 10002) {
                    *number = m_ScanDataType;
                } else if (m_Scale && index == 9001) {
                    *number = 30000;
                } else if (m_Scale && index == 9002) {
                    *number = 4;
                } else if (m_Scale && index == 9003) {
                    *number = m_AsyncMode;
                } else if (m_Scale &&
                           (index == 9004 || index == 9005 || index == 9502 || index == 9503)) {
                    *number = 0;
                } else if (m_Scale && (index == 9501 || index == 9504 || index == 9505)) {
                    *number = index == 9501 ? 0 : 1;
                } else {
                    *number = 0;
                    m_ResultCode = 106;
                }
        }
        return com::S_OK;
    }

    std::string GetPropertyString(std::int32_t index) {
        Check();
        m_ResultCode = 0;
        m_ResultCodeExtended = 0;
        switch (index) {
            case 1000001:
                return m_CheckHealthText;
            case 1000002:
                return m_DeviceName + " for tests";
            case 1000003:
                return m_DeviceName;
            case 1000004:
                return m_Scale ? "Sorvex stand-in scale service object"
                               : "Sorvex stand-in scanner service object";
            case 1010001:
                if (!m_Scale)
                    return m_ScanData;
                break;
            case 1010002:
                if (!m_Scale)
                    return m_ScanDataLabel;
                break;
            default:
                break;
        }
        m_ResultCode = 106;
        return "[Error]";
    }

    void SetPropertyNumber(std::int32_t index, std::int32_t number) {
        Check();
        m_ResultCode = 0;
        m_ResultCodeExtended = 0;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            switch (index) {
                case 2:
                    m_DataEventEnabled = number != 0;
                    break;
                case 3:
                    if (!m_Claimed) {
                        m_ResultCode = 103;
                    } else {
                        m_Enabled = number != 0;
                        if (!m_Enabled) {
                            m_AsyncPending = false;
                        }
                    }
                    break;
                case 4:
                    m_Freeze = number != 0;
                    break;
                case 10:
                    m_AutoDisable = number != 0;
                    break;
                case 11:
                    m_BinaryConversion = number;
                    break;
                case 13:
                    if (number != 0)
                        m_ResultCode = 106;
                    break;
                default:
                    if (!m_Scale && index == 10001) {
                        m_DecodeData = number != 0;
                    } else if (m_Scale && index == 9003) {
                        m_AsyncMode = number != 0;
                    } else {
                        m_ResultCode = 106;
                    }
            }
        }
        m_Wake.notify_all();
    }

    std::int32_t Statistics(const char* which, com::BSTR* text) {
        Check();
        if (!m_Claimed) {
            return Result(103);
        }
        if (!m_Enabled) {
            return Result(105);
        }
        if (text != nullptr) {
            com::SysReAllocString(text, std::string("<UPOSStat><Request>") +
                                            com::BstrToString(*text) + "</Request></UPOSStat>");
            return Result(0);
        }
        (void)which;
        return Result(106);
    }

    // --- scale ---

    std::int32_t ReadWeight(std::int32_t* data, std::int32_t timeout) {
        Check();
        if (!m_Claimed) {
            return Result(103);
        }
        std::unique_lock<std::mutex> lock(m_Lock);
        if (!m_Enabled) {
            return Result(105);
        }
        if (m_AsyncMode) {
            if (m_AsyncPending) {
                return Result(113);
            }
            m_AsyncPending = true;
            m_AsyncReadyAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            m_AsyncTimeout = timeout;
            m_AsyncDeadline =
                timeout < 0 ? std::chrono::steady_clock::time_point::max()
                            : std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
            lock.unlock();
            m_Wake.notify_all();
            return Result(0);
        }
        auto ready = [&] { return m_Weight.has_value(); };
        if (timeout < 0) {
            m_Wake.wait(lock, ready);
        } else if (!m_Wake.wait_for(lock, std::chrono::milliseconds(timeout), ready)) {
            return Result(112);
        }
        *data = *m_Weight;
        return Result(0);
    }

    std::int32_t ZeroScale() {
        Check();
        return Result(m_Enabled ? 0 : 105);
    }

    std::int64_t m_UnitPrice = 0;

  private:
    std::int32_t Result(std::int32_t rc) {
        m_ResultCode = rc;
        m_ResultCodeExtended = 0;
        return rc;
    }

    // Queues an event when the device may queue (enabled); false otherwise.
    bool Queue(Event e) {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            if (!m_Enabled) {
                return false;
            }
            m_Queue.push_back(std::move(e));
        }
        m_Wake.notify_all();
        return true;
    }

    void SetWeight(std::optional<std::int32_t> weight) {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Weight = weight;
        }
        m_Wake.notify_all();
    }

    // Under m_Lock: the first event that may be delivered now.
    std::optional<std::size_t> Deliverable() const {
        if (!m_Open || m_Freeze || m_ControlFrozen) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < m_Queue.size(); ++i) {
            if (m_Queue[i].type == 4 || m_DataEventEnabled) {
                return i;
            }
        }
        return std::nullopt;
    }

    // Delivery thread: asynchronous reads end here, and events hop to the object's thread.
    void DeliveryLoop() {
        std::unique_lock<std::mutex> lock(m_Lock);
        while (!m_Stop) {
            const auto now = std::chrono::steady_clock::now();
            if (m_AsyncPending && m_Enabled) {
                if (m_Weight && now >= m_AsyncReadyAt) {
                    Event e;
                    e.a = *m_Weight;
                    m_Queue.push_back(std::move(e));
                    m_AsyncPending = false;
                } else if (!m_Weight && now >= m_AsyncDeadline) {
                    Event e;
                    e.type = 4;
                    e.a = 112;
                    e.c = 2;
                    e.asyncRead = true;
                    m_Queue.push_back(std::move(e));
                    m_AsyncPending = false;
                }
            }
            if (auto i = Deliverable()) {
                m_Delivering = m_Queue[*i];
                m_Queue.erase(m_Queue.begin() + static_cast<std::ptrdiff_t>(*i));
                const std::uint32_t message = m_Delivering.type == 1 ? kFireData : kFireError;
                lock.unlock();
                m_WindowRef.Send(message, 0, 0);  // waits until the object's thread handled it
                lock.lock();
                continue;
            }
            const auto until = m_Weight ? m_AsyncReadyAt : m_AsyncDeadline;
            if (m_AsyncPending && m_Enabled &&
                until != std::chrono::steady_clock::time_point::max()) {
                // A read takes the scale a moment (20 ms), and may time out.
                m_Wake.wait_until(lock, until);
            } else {
                m_Wake.wait(lock);
            }
        }
    }

    // Object's thread: the hop from the delivery thread.
    std::intptr_t OnWindow(std::uint32_t message) {
        // Held while the control object is called, as the real service objects hold theirs; it
        // is unlocked after the callback returns, so the object must still exist then.
        std::lock_guard<std::recursive_mutex> fire(m_FireLock);
        Event e;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            e = m_Delivering;
        }
        if (message == kFireData) {
            std::int32_t status = 0;
            {
                std::lock_guard<std::mutex> lock(m_Lock);
                m_DataEventEnabled = false;
            }
            if (m_Scale) {
                status = e.a;
            } else {
                m_ScanData = e.data;
                m_ScanDataLabel = m_DecodeData ? e.label : std::string();
                m_ScanDataType = m_DecodeData ? e.b : 0;
            }
            com::VARIANT args[1];
            args[0].vt = com::VT_I4;
            args[0].lVal = status;
            Fire(0, args, 1);
        } else if (message == kFireError) {
            std::int32_t response = 12;  // OPOS_ER_CLEAR
            com::VARIANT args[4];
            args[0].vt = com::VT_BYREF | com::VT_I4;
            args[0].plVal = &response;
            args[1].vt = com::VT_I4;
            args[1].lVal = e.c;
            args[2].vt = com::VT_I4;
            args[2].lVal = e.b;
            args[3].vt = com::VT_I4;
            args[3].lVal = e.a;
            Fire(2, args, 4);
            m_LastErrorResponse = response;
            if (e.asyncRead && response == 11) {  // OPOS_ER_RETRY: read again
                std::lock_guard<std::mutex> lock(m_Lock);
                if (m_Enabled) {
                    m_AsyncPending = true;
                    m_AsyncReadyAt = std::chrono::steady_clock::now();
                    m_AsyncDeadline = m_AsyncTimeout < 0
                                          ? std::chrono::steady_clock::time_point::max()
                                          : std::chrono::steady_clock::now() +
                                                std::chrono::milliseconds(m_AsyncTimeout);
                }
            }
            m_Wake.notify_all();
        }
        return 0;
    }

    // Calls a callback of the control object (object's thread).
    bool Fire(int which, com::VARIANT* args, std::uint32_t count) {
        if (m_Sink == nullptr || m_SinkIds[which] == 0) {
            return false;
        }
        com::DISPPARAMS params{args, nullptr, count, 0};
        return com::Succeeded(m_Sink->Invoke(m_SinkIds[which], com::IID_NULL,
                                             com::LOCALE_USER_DEFAULT, com::DISPATCH_METHOD,
                                             &params, nullptr, nullptr, nullptr));
    }

    // --- the feed: commands from a FIFO, read on a thread of their own (like a port) ---

    void StartFeed(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        m_FeedStop = std::make_unique<sorvex::sync::Event>(sorvex::sync::ResetMode::Manual, false);
        m_FeedThread = std::thread([this, fd] {
            std::string pending;
            for (;;) {
                pollfd fds[2] = {{fd, POLLIN, 0}, {m_FeedStop->fd(), POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
                    break;
                }
                char buffer[512];
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0) {
                    continue;
                }
                pending.append(buffer, static_cast<std::size_t>(n));
                std::size_t end;
                while ((end = pending.find('\n')) != std::string::npos) {
                    Command(pending.substr(0, end));
                    pending.erase(0, end + 1);
                }
            }
            ::close(fd);
        });
    }

    void StopFeed() {
        if (m_FeedThread.joinable()) {
            m_FeedStop->Set();
            m_FeedThread.join();
        }
        m_FeedStop.reset();
    }

    void Command(const std::string& line) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "label") {
            Event e;
            std::string label, data;
            in >> e.b >> label >> data;
            e.label = FromHex(label);
            e.data = data.empty() ? e.label : FromHex(data);
            Queue(std::move(e));
        } else if (verb == "weight") {
            std::string value;
            in >> value;
            SetWeight(value == "none" ? std::nullopt
                                      : std::optional<std::int32_t>(std::stoi(value)));
        } else if (verb == "error") {
            Event e;
            e.type = 4;
            in >> e.a >> e.b >> e.c;
            Queue(std::move(e));
        }
    }

    const bool m_Scale;
    const std::thread::id m_Owner;
    std::atomic<int> m_ForeignCalls{0};

    // Object's thread only.
    std::int32_t m_ResultCode = 101;
    std::int32_t m_ResultCodeExtended = 0;
    std::int32_t m_OpenResult = 0;
    std::int32_t m_Version = 0;
    bool m_Claimed = false;
    std::int32_t m_LastErrorResponse = 0;
    std::string m_CheckHealthText;
    std::string m_DeviceName;
    std::string m_ScanData;
    std::string m_ScanDataLabel;
    std::int32_t m_ScanDataType = 0;
    std::unique_ptr<sorvex::sync::NamedMutex> m_Mutex;
    com::IDispatch* m_Sink = nullptr;
    com::DISPID m_SinkIds[5] = {};

    // Shared with the delivery and feed threads, under m_Lock.
    std::recursive_mutex m_FireLock;  // object's thread
    std::mutex m_Lock;
    std::condition_variable m_Wake;
    bool m_Stop = false;
    bool m_Open = false;
    bool m_Enabled = false;
    bool m_DataEventEnabled = false;
    bool m_Freeze = false;
    bool m_ControlFrozen = false;
    bool m_AutoDisable = false;
    bool m_DecodeData = false;
    bool m_AsyncMode = false;
    std::int32_t m_BinaryConversion = 0;
    std::deque<Event> m_Queue;
    Event m_Delivering;
    std::optional<std::int32_t> m_Weight;
    bool m_AsyncPending = false;
    std::int32_t m_AsyncTimeout = -1;
    std::chrono::steady_clock::time_point m_AsyncDeadline;
    std::chrono::steady_clock::time_point m_AsyncReadyAt;

    std::unique_ptr<sorvex::window::HiddenWindow> m_Window;
    sorvex::window::WindowRef m_WindowRef;
    std::thread m_Delivery;
    std::unique_ptr<sorvex::sync::Event> m_FeedStop;
    std::thread m_FeedThread;
};

constinit com::TypeInfoHolder g_ScannerInfo(LIBID_SorvexStandInLib, SorvexStandInLib_MajorVersion,
                                            SorvexStandInLib_MinorVersion, IID_IStandInScanner,
                                            IStandInScanner_DispatchMembers);
constinit com::TypeInfoHolder g_ScaleInfo(LIBID_SorvexStandInLib, SorvexStandInLib_MajorVersion,
                                          SorvexStandInLib_MinorVersion, IID_IStandInScale,
                                          IStandInScale_DispatchMembers);

// The methods both interfaces have, forwarded to the device.
template <class Interface, com::TypeInfoHolder& Holder, bool Scale>
class StandInObject : public com::RefCounted<com::DualDispatch<Interface, Holder>> {
  public:
    StandInObject() : m_Device(Scale) { g_LockCount.fetch_add(1); }

    com::HRESULT QueryInterface(const com::IID& iid, void** object) override {
        return com::QueryInterfaceFor(static_cast<Interface*>(this), iid, object,
                                      {com::IID_IUnknown, com::IID_IDispatch, Holder.iid()});
    }

    com::HRESULT OpenService(com::BSTR deviceClass, com::BSTR deviceName, com::IDispatch* dispatch,
                             std::int32_t* rc) override {
        *rc = m_Device.OpenService(com::BstrToString(deviceClass), com::BstrToString(deviceName),
                                   dispatch);
        return com::S_OK;
    }
    com::HRESULT CheckHealth(std::int32_t level, std::int32_t* rc) override {
        *rc = m_Device.CheckHealth(level);
        return com::S_OK;
    }
    com::HRESULT ClaimDevice(std::int32_t timeout, std::int32_t* rc) override {
        *rc = m_Device.ClaimDevice(timeout);
        return com::S_OK;
    }
    com::HRESULT ClearInput(std::int32_t* rc) override {
        *rc = m_Device.ClearInput();
        return com::S_OK;
    }
    com::HRESULT CloseService(std::int32_t* rc) override {
        *rc = m_Device.CloseService();
        return com::S_OK;
    }
    com::HRESULT COFreezeEvents(com::VARIANT_BOOL freeze, std::int32_t* rc) override {
        *rc = m_Device.COFreezeEvents(freeze != com::VARIANT_FALSE);
        return com::S_OK;
    }
    com::HRESULT DirectIO(std::int32_t command, std::int32_t* data, com::BSTR* text,
                          std::int32_t* rc) override {
        *rc = m_Device.DirectIO(command, data, text);
        return com::S_OK;
    }
    com::HRESULT GetOpenResult(std::int32_t* rc) override {
        *rc = m_Device.GetOpenResult();
        return com::S_OK;
    }
    com::HRESULT ReleaseDevice(std::int32_t* rc) override {
        *rc = m_Device.ReleaseDevice();
        return com::S_OK;
    }
    com::HRESULT GetPropertyNumber(std::int32_t index, std::int32_t* number) override {
        return m_Device.GetPropertyNumber(index, number);
    }
    com::HRESULT GetPropertyString(std::int32_t index, com::BSTR* text) override {
        com::SysReAllocString(text, m_Device.GetPropertyString(index));
        return com::S_OK;
    }
    com::HRESULT SetPropertyNumber(std::int32_t index, std::int32_t number) override {
        m_Device.SetPropertyNumber(index, number);
        return com::S_OK;
    }
    com::HRESULT SetPropertyString(std::int32_t, com::BSTR) override {
        m_Device.Check();
        return com::S_OK;
    }
    com::HRESULT ResetStatistics(com::BSTR, std::int32_t* rc) override {
        *rc = m_Device.Statistics("Reset", nullptr);
        return com::S_OK;
    }
    com::HRESULT RetrieveStatistics(com::BSTR* text, std::int32_t* rc) override {
        *rc = m_Device.Statistics("Retrieve", text);
        return com::S_OK;
    }
    com::HRESULT UpdateStatistics(com::BSTR, std::int32_t* rc) override {
        *rc = m_Device.Statistics("Update", nullptr);
        return com::S_OK;
    }

  protected:
    ~StandInObject() override { g_LockCount.fetch_sub(1); }

    StandInDevice m_Device;
};

class StandInScanner final : public StandInObject<IStandInScanner, g_ScannerInfo, false> {};

class StandInScale final : public StandInObject<IStandInScale, g_ScaleInfo, true> {
  public:
    com::HRESULT DisplayText(com::BSTR, std::int32_t* rc) override {
        m_Device.Check();
        *rc = 106;
        return com::S_OK;
    }
    com::HRESULT ReadWeight(std::int32_t* data, std::int32_t timeout, std::int32_t* rc) override {
        *rc = m_Device.ReadWeight(data, timeout);
        return com::S_OK;
    }
    com::HRESULT ZeroScale(std::int32_t* rc) override {
        *rc = m_Device.ZeroScale();
        return com::S_OK;
    }
    com::HRESULT GetSalesPrice(com::CY* price) override {
        m_Device.Check();
        price->int64 = m_Device.m_UnitPrice * 2;
        return com::S_OK;
    }
    com::HRESULT GetUnitPrice(com::CY* price) override {
        m_Device.Check();
        price->int64 = m_Device.m_UnitPrice;
        return com::S_OK;
    }
    com::HRESULT SetUnitPrice(com::CY price) override {
        m_Device.Check();
        m_Device.m_UnitPrice = price.int64;
        return com::S_OK;
    }
};

// An object whose GetIDsOfNames does not know some of its methods (a service object of an older
// or broken release), or whose Invoke fails for some (a broken one).
class HidingDispatch final : public com::RefCounted<com::IDispatch> {
  public:
    HidingDispatch(com::ComPtr<com::IDispatch> inner, std::set<std::string> hidden,
                   std::set<std::string> failing)
        : m_Inner(std::move(inner)), m_Hidden(std::move(hidden)), m_Failing(std::move(failing)) {
        g_LockCount.fetch_add(1);
    }
    com::HRESULT QueryInterface(const com::IID& iid, void** object) override {
        return com::QueryInterfaceFor(static_cast<com::IDispatch*>(this), iid, object,
                                      {com::IID_IUnknown, com::IID_IDispatch});
    }
    com::HRESULT GetTypeInfoCount(std::uint32_t* count) override {
        return m_Inner->GetTypeInfoCount(count);
    }
    com::HRESULT GetTypeInfo(std::uint32_t index, com::LCID lcid, com::ITypeInfo** info) override {
        return m_Inner->GetTypeInfo(index, lcid, info);
    }
    com::HRESULT GetIDsOfNames(const com::IID& iid, com::OLECHAR** names, std::uint32_t count,
                               com::LCID lcid, com::DISPID* ids) override {
        if (count > 0 && m_Hidden.count(Lower(names[0])) != 0) {
            for (std::uint32_t i = 0; i < count; ++i) {
                ids[i] = com::DISPID_UNKNOWN;
            }
            return com::DISP_E_UNKNOWNNAME;
        }
        const com::HRESULT hr = m_Inner->GetIDsOfNames(iid, names, count, lcid, ids);
        if (com::Succeeded(hr) && count > 0 && m_Failing.count(Lower(names[0])) != 0) {
            m_FailingIds.insert(ids[0]);
        }
        return hr;
    }
    com::HRESULT Invoke(com::DISPID member, const com::IID& iid, com::LCID lcid,
                        std::uint16_t flags, com::DISPPARAMS* params, com::VARIANT* result,
                        com::EXCEPINFO* exception, std::uint32_t* argError) override {
        if (m_FailingIds.count(member) != 0) {
            if (exception != nullptr) {
                exception->scode = com::E_FAIL;
            }
            return com::DISP_E_EXCEPTION;
        }
        return m_Inner->Invoke(member, iid, lcid, flags, params, result, exception, argError);
    }

  private:
    ~HidingDispatch() override { g_LockCount.fetch_sub(1); }
    com::ComPtr<com::IDispatch> m_Inner;
    std::set<std::string> m_Hidden;
    std::set<std::string> m_Failing;
    std::set<com::DISPID> m_FailingIds;
};

// One class object per request, carrying what the class key says about the class.
class Factory final : public com::RefCounted<com::IClassFactory> {
  public:
    Factory(bool scale, std::set<std::string> hidden, std::set<std::string> failing)
        : m_Scale(scale), m_Hidden(std::move(hidden)), m_Failing(std::move(failing)) {
        g_LockCount.fetch_add(1);
    }
    com::HRESULT QueryInterface(const com::IID& iid, void** object) override {
        return com::QueryInterfaceFor(static_cast<com::IClassFactory*>(this), iid, object,
                                      {com::IID_IUnknown, com::IID_IClassFactory});
    }
    com::HRESULT CreateInstance(com::IUnknown* outer, const com::IID& iid, void** object) override {
        if (object == nullptr) {
            return com::E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return com::CLASS_E_NOAGGREGATION;
        }
        com::ComPtr<com::IDispatch> created;
        if (m_Scale) {
            auto* o = new StandInScale();
            o->AddRef();
            created = com::ComPtr<com::IDispatch>::Attach(o);
        } else {
            auto* o = new StandInScanner();
            o->AddRef();
            created = com::ComPtr<com::IDispatch>::Attach(o);
        }
        if (!m_Hidden.empty() || !m_Failing.empty()) {
            auto* hiding = new HidingDispatch(created, m_Hidden, m_Failing);
            hiding->AddRef();
            created = com::ComPtr<com::IDispatch>::Attach(hiding);
        }
        return created->QueryInterface(iid, object);
    }
    com::HRESULT LockServer(std::int32_t lock) override {
        g_LockCount.fetch_add(lock != 0 ? 1 : -1);
        return com::S_OK;
    }

  private:
    ~Factory() override { g_LockCount.fetch_sub(1); }
    const bool m_Scale;
    const std::set<std::string> m_Hidden;
    const std::set<std::string> m_Failing;
};

std::set<std::string> NameList(const std::string& text) {
    std::set<std::string> names;
    std::istringstream in(text);
    for (std::string name; std::getline(in, name, ',');) {
        if (!name.empty()) {
            names.insert(Lower(name));
        }
    }
    return names;
}

std::filesystem::path OwnPath() {
    return com::ModulePath(reinterpret_cast<const void*>(&DllRegisterServer));
}

void WriteClass(reg::Batch& batch, const std::string& progId, const com::CLSID& clsid,
                const char* kind) {
    const auto cr = reg::Hive::ClassesRoot;
    const std::string key = "CLSID\\" + com::ToString(clsid);
    batch.SetValue(cr, progId + "\\CLSID", "", reg::Type::String, com::ToString(clsid));
    batch.SetValue(cr, key + "\\InprocServer32", "", reg::Type::String, OwnPath().string());
    batch.SetValue(cr, key + "\\InprocServer32", "ThreadingModel", reg::Type::String, "Apartment");
    batch.SetValue(cr, key, "StandInKind", reg::Type::String, kind);
}

}  // namespace

com::HRESULT DllGetClassObject(const com::CLSID& clsid, const com::IID& iid, void** object) {
    if (object == nullptr) {
        return com::E_POINTER;
    }
    *object = nullptr;
    reg::Key key;
    if (reg::Key::Open(reg::Hive::ClassesRoot, "CLSID\\" + com::ToString(clsid), reg::kRead, key) !=
        reg::Status::Ok) {
        return com::CLASS_E_CLASSNOTAVAILABLE;
    }
    const std::string kind = Lower(ReadText(key, "StandInKind"));
    if (kind != "scanner" && kind != "scale") {
        return com::CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new Factory(kind == "scale", NameList(ReadText(key, "StandInHide")),
                                NameList(ReadText(key, "StandInFail")));
    factory->AddRef();
    const com::HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

com::HRESULT DllCanUnloadNow() {
    return g_LockCount.load() == 0 ? com::S_OK : com::S_FALSE;
}

com::HRESULT DllRegisterServer() {
    reg::Batch batch;
    WriteClass(batch, "SorvexStandIn.Scanner", CLSID_StandInScanner, "Scanner");
    WriteClass(batch, "SorvexStandIn.Scale", CLSID_StandInScale, "Scale");
    if (batch.Commit() != reg::Status::Ok) {
        return com::E_ACCESSDENIED;
    }
    com::ComPtr<com::ITypeLib> lib;
    const std::filesystem::path path = OwnPath();
    com::HRESULT hr = com::LoadTypeLib(path, lib.out());
    if (com::Failed(hr)) {
        return hr;
    }
    return com::RegisterTypeLib(lib.get(), path, path.parent_path());
}

com::HRESULT DllUnregisterServer() {
    const auto cr = reg::Hive::ClassesRoot;
    reg::DeleteTree(cr, "SorvexStandIn.Scanner");
    reg::DeleteTree(cr, "SorvexStandIn.Scale");
    reg::DeleteTree(cr, "CLSID\\" + com::ToString(CLSID_StandInScanner));
    reg::DeleteTree(cr, "CLSID\\" + com::ToString(CLSID_StandInScale));
    com::ComPtr<com::ITypeLib> lib;
    if (com::Succeeded(com::LoadTypeLib(OwnPath(), lib.out()))) {
        if (com::UnRegisterTypeLibFunc unregister = com::FindUnRegisterTypeLib()) {
            const com::TypeLibDesc& d = lib->Describe();
            unregister(&d.libid, d.major, d.minor, d.lcid, static_cast<std::uint16_t>(d.syskind));
        }
    }
    return com::S_OK;
}
