// Sorvex OPOS control objects: the C++ API for point-of-sale applications.
//
// OposScanner and OposScale are OPOS 1.8 control objects. Open(profile) finds the profile
// HKEY_LOCAL_MACHINE "SOFTWARE\OLEforRetail\ServiceOPOS\<Scanner|Scale>\<profile>", creates the
// service object its default value names (a ProgID) and then forwards every method and property
// to it, late-bound, exactly as the standard OPOS control objects do. Events come back as
// DataEvent, ErrorEvent, DirectIOEvent and StatusUpdateEvent handlers.
//
// Threads. A control object belongs to the thread that creates it (its apartment; the
// constructor joins the thread to it). Call its members and destroy it on that thread only; a
// call from another thread answers OPOS_E_ILLEGAL and changes nothing. Its handlers run on that
// thread too, and only while the thread serves its event queue: WaitForEvents, WaitUntil,
// DispatchEvents, or an event loop of the application's own that polls EventFd().
//
// Results. Methods answer an OPOS result code (OPOS_SUCCESS, OPOS_E_...); ResultCode() then
// answers it as well. Property setters answer nothing: read ResultCode() afterwards, as with
// any OPOS control object. A closed control object answers every call with OPOS_E_CLOSED,
// State() OPOS_S_CLOSED and numbers 0, texts "".
//
// Handlers may call any member of any control object, including Close, ReleaseDevice,
// SetDeviceEnabled(false), and may destroy the control object they belong to. The service
// object is then released once the call that delivered the event (WaitForEvents, ...) returns.
// An exception escaping a handler is caught there and rethrown by that WaitForEvents /
// WaitUntil / DispatchEvents call; the service object sees the event as delivered.
//
// Strings are byte strings: any byte, 0x00 and 0xFF included, passes through unchanged.
//
// This header is the whole API; link with libsorvex-opos (pkg-config sorvex-opos).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#define SORVEX_OPOS_API __attribute__((visibility("default")))

namespace sorvex::opos {

// --- OPOS constants, by their standard names ---

// Result codes (ResultCode, method results).
inline constexpr std::int32_t OPOS_SUCCESS = 0;
inline constexpr std::int32_t OPOS_E_CLOSED = 101;
inline constexpr std::int32_t OPOS_E_CLAIMED = 102;
inline constexpr std::int32_t OPOS_E_NOTCLAIMED = 103;
inline constexpr std::int32_t OPOS_E_NOSERVICE = 104;
inline constexpr std::int32_t OPOS_E_DISABLED = 105;
inline constexpr std::int32_t OPOS_E_ILLEGAL = 106;
inline constexpr std::int32_t OPOS_E_NOHARDWARE = 107;
inline constexpr std::int32_t OPOS_E_OFFLINE = 108;
inline constexpr std::int32_t OPOS_E_NOEXIST = 109;
inline constexpr std::int32_t OPOS_E_EXISTS = 110;
inline constexpr std::int32_t OPOS_E_FAILURE = 111;
inline constexpr std::int32_t OPOS_E_TIMEOUT = 112;
inline constexpr std::int32_t OPOS_E_BUSY = 113;
inline constexpr std::int32_t OPOS_E_EXTENDED = 114;

// ResultCodeExtended of the scale when ResultCode is OPOS_E_EXTENDED.
inline constexpr std::int32_t OPOS_ESCAL_OVERWEIGHT = 201;

// Open results (OpenResult).
inline constexpr std::int32_t OPOS_OPENRESULT = 300;  // the open failed for another reason
inline constexpr std::int32_t OPOS_OR_ALREADYOPEN = 301;
inline constexpr std::int32_t OPOS_OR_REGBADNAME = 302;
inline constexpr std::int32_t OPOS_OR_REGPROGID = 303;
inline constexpr std::int32_t OPOS_OR_CREATE = 304;
inline constexpr std::int32_t OPOS_OR_BADIF = 305;
inline constexpr std::int32_t OPOS_OR_FAILEDOPEN = 306;
inline constexpr std::int32_t OPOS_OR_BADVERSION = 307;
inline constexpr std::int32_t OPOS_ORS_NOPORT = 401;
inline constexpr std::int32_t OPOS_ORS_NOTSUPPORTED = 402;
inline constexpr std::int32_t OPOS_ORS_CONFIG = 403;
inline constexpr std::int32_t OPOS_ORS_SPECIFIC = 450;

// States (State).
inline constexpr std::int32_t OPOS_S_CLOSED = 1;
inline constexpr std::int32_t OPOS_S_IDLE = 2;
inline constexpr std::int32_t OPOS_S_BUSY = 3;
inline constexpr std::int32_t OPOS_S_ERROR = 4;

// ErrorEvent: error loci and the responses a handler may choose.
inline constexpr std::int32_t OPOS_EL_OUTPUT = 1;
inline constexpr std::int32_t OPOS_EL_INPUT = 2;
inline constexpr std::int32_t OPOS_EL_INPUT_DATA = 3;
inline constexpr std::int32_t OPOS_ER_RETRY = 11;
inline constexpr std::int32_t OPOS_ER_CLEAR = 12;
inline constexpr std::int32_t OPOS_ER_CONTINUEINPUT = 13;

// CheckHealth levels.
inline constexpr std::int32_t OPOS_CH_INTERNAL = 1;
inline constexpr std::int32_t OPOS_CH_EXTERNAL = 2;
inline constexpr std::int32_t OPOS_CH_INTERACTIVE = 3;

// Time-outs: wait without limit.
inline constexpr std::int32_t OPOS_FOREVER = -1;

// BinaryConversion.
inline constexpr std::int32_t OPOS_BC_NONE = 0;
inline constexpr std::int32_t OPOS_BC_NIBBLE = 1;
inline constexpr std::int32_t OPOS_BC_DECIMAL = 2;

// CapPowerReporting, PowerNotify, PowerState.
inline constexpr std::int32_t OPOS_PR_NONE = 0;
inline constexpr std::int32_t OPOS_PR_STANDARD = 1;
inline constexpr std::int32_t OPOS_PR_ADVANCED = 2;
inline constexpr std::int32_t OPOS_PN_DISABLED = 0;
inline constexpr std::int32_t OPOS_PN_ENABLED = 1;
inline constexpr std::int32_t OPOS_PS_UNKNOWN = 2000;
inline constexpr std::int32_t OPOS_PS_ONLINE = 2001;
inline constexpr std::int32_t OPOS_PS_OFF = 2002;
inline constexpr std::int32_t OPOS_PS_OFFLINE = 2003;
inline constexpr std::int32_t OPOS_PS_OFF_OFFLINE = 2004;

// ScanDataType.
inline constexpr std::int32_t SCAN_SDT_UNKNOWN = 0;
inline constexpr std::int32_t SCAN_SDT_UPCA = 101;
inline constexpr std::int32_t SCAN_SDT_UPCE = 102;
inline constexpr std::int32_t SCAN_SDT_EAN8 = 103;
inline constexpr std::int32_t SCAN_SDT_JAN8 = 103;
inline constexpr std::int32_t SCAN_SDT_EAN13 = 104;
inline constexpr std::int32_t SCAN_SDT_JAN13 = 104;
inline constexpr std::int32_t SCAN_SDT_TF = 105;
inline constexpr std::int32_t SCAN_SDT_ITF = 106;
inline constexpr std::int32_t SCAN_SDT_Codabar = 107;
inline constexpr std::int32_t SCAN_SDT_Code39 = 108;
inline constexpr std::int32_t SCAN_SDT_Code93 = 109;
inline constexpr std::int32_t SCAN_SDT_Code128 = 110;
inline constexpr std::int32_t SCAN_SDT_UPCA_S = 111;
inline constexpr std::int32_t SCAN_SDT_UPCE_S = 112;
inline constexpr std::int32_t SCAN_SDT_UPCD1 = 113;
inline constexpr std::int32_t SCAN_SDT_UPCD2 = 114;
inline constexpr std::int32_t SCAN_SDT_UPCD3 = 115;
inline constexpr std::int32_t SCAN_SDT_UPCD4 = 116;
inline constexpr std::int32_t SCAN_SDT_UPCD5 = 117;
inline constexpr std::int32_t SCAN_SDT_EAN8_S = 118;
inline constexpr std::int32_t SCAN_SDT_EAN13_S = 119;
inline constexpr std::int32_t SCAN_SDT_EAN128 = 120;
inline constexpr std::int32_t SCAN_SDT_OCRA = 121;
inline constexpr std::int32_t SCAN_SDT_OCRB = 122;
inline constexpr std::int32_t SCAN_SDT_PDF417 = 201;
inline constexpr std::int32_t SCAN_SDT_MAXICODE = 202;
inline constexpr std::int32_t SCAN_SDT_OTHER = 501;

// WeightUnit.
inline constexpr std::int32_t SCAL_WU_GRAM = 1;
inline constexpr std::int32_t SCAL_WU_KILOGRAM = 2;
inline constexpr std::int32_t SCAL_WU_OUNCE = 3;
inline constexpr std::int32_t SCAL_WU_POUND = 4;

// The standard name of a result code, open result or extended scale code ("OPOS_E_CLAIMED",
// "OPOS_OR_REGBADNAME"); "" for a code without a name.
SORVEX_OPOS_API std::string_view ResultName(std::int32_t code);

// OPOS currency (SalesPrice, UnitPrice): a count of ten-thousandths (1.25 is 12500).
using Currency = std::int64_t;

// --- event handlers (they run on the control object's thread) ---

// DataEvent. Scanner: status 0, read ScanData & co. in the handler. Scale: status is the weight.
// The service object has switched DataEventEnabled off; set it again for the next event.
using DataEventHandler = std::function<void(std::int32_t status)>;
// ErrorEvent. `errorResponse` arrives preset by the service object (usually OPOS_ER_CLEAR); the
// handler may change it to OPOS_ER_RETRY, OPOS_ER_CLEAR or OPOS_ER_CONTINUEINPUT.
using ErrorEventHandler =
    std::function<void(std::int32_t resultCode, std::int32_t resultCodeExtended,
                       std::int32_t errorLocus, std::int32_t& errorResponse)>;
// DirectIOEvent: both by reference; what the handler leaves goes back to the service object.
using DirectIOEventHandler =
    std::function<void(std::int32_t eventNumber, std::int32_t& data, std::string& string)>;
// StatusUpdateEvent.
using StatusUpdateEventHandler = std::function<void(std::int32_t status)>;

// --- the control objects ---

// What both control objects share: the OPOS common methods and properties.
class SORVEX_OPOS_API OposControl {
  public:
    // Closes the device when it is open (CloseService), then releases the service object;
    // inside a handler the release waits until the delivering call returns. Call it on the
    // object's thread.
    virtual ~OposControl();
    OposControl(const OposControl&) = delete;
    OposControl& operator=(const OposControl&) = delete;

    // --- methods; each answers its result code, which ResultCode() then answers too ---

    // Opens the profile of this device class named `deviceName`. On failure OpenResult() says
    // why and the object stays closed:
    //   result               OpenResult                cause
    //   OPOS_E_ILLEGAL       OPOS_OR_ALREADYOPEN 301   already open (stays open)
    //   OPOS_E_NOEXIST       OPOS_OR_REGBADNAME 302    no such profile
    //   OPOS_E_NOSERVICE     OPOS_OR_REGPROGID 303     no ProgID in the profile, or not registered
    //   OPOS_E_NOSERVICE     OPOS_OR_CREATE 304        the service object cannot be created
    //   OPOS_E_NOSERVICE     OPOS_OR_BADIF 305         it lacks a method its release requires
    //   what OpenService     its GetOpenResult (such   its OpenService failed
    //     answered             as 107 or 403), else
    //                          OPOS_OR_FAILEDOPEN 306
    //   OPOS_E_NOSERVICE     OPOS_OR_BADVERSION 307    its ServiceObjectVersion is not 1.x
    //   OPOS_E_FAILURE       OPOS_OPENRESULT 300       the registry cannot be read
    // ErrorDetail() names the key, ProgID, library or method.
    std::int32_t Open(std::string_view deviceName);
    // CloseService, then releases the service object. OPOS_E_CLOSED when not open.
    std::int32_t Close();
    std::int32_t ClaimDevice(std::int32_t timeoutMs);  // OPOS_FOREVER waits without limit
    std::int32_t ReleaseDevice();
    std::int32_t CheckHealth(std::int32_t level);
    std::int32_t ClearInput();
    // `data` and `string` go to the service object and come back as it leaves them.
    std::int32_t DirectIO(std::int32_t command, std::int32_t& data, std::string& string);
    // In: the statistics wanted ("" all); out: the UnifiedPOS statistics XML.
    std::int32_t RetrieveStatistics(std::string& statistics);
    std::int32_t ResetStatistics(std::string_view statistics);
    std::int32_t UpdateStatistics(std::string_view statistics);

    // Freezes events at the control object (as a container freezes an ActiveX control): calls
    // are counted (nested); the first freeze calls the service object's COFreezeEvents(true),
    // the matching last unfreeze COFreezeEvents(false). The state is kept across Close and Open
    // (a new service object is frozen right after it opens). It leaves the FreezeEvents
    // property alone. Answers the service object's result (OPOS_SUCCESS when closed).
    std::int32_t FreezeControlEvents(bool freeze);

    // --- properties, forwarded to the service object ---

    bool AutoDisable();
    void SetAutoDisable(bool on);
    std::int32_t BinaryConversion();
    void SetBinaryConversion(std::int32_t conversion);
    std::int32_t CapPowerReporting();
    bool CapStatisticsReporting();
    bool CapUpdateStatistics();
    std::string CheckHealthText();
    bool Claimed();
    std::int32_t DataCount();
    bool DataEventEnabled();
    void SetDataEventEnabled(bool on);
    bool DeviceEnabled();
    void SetDeviceEnabled(bool on);
    // The OPOS FreezeEvents property: the service object holds events while it is set.
    bool FreezeEvents();
    void SetFreezeEvents(bool on);
    std::int32_t PowerNotify();
    void SetPowerNotify(std::int32_t notify);
    std::int32_t PowerState();
    // The service object's result of the last call (or the control object's own, for calls it
    // answered itself). Closed: the result of the last call made (OPOS_E_CLOSED before any).
    std::int32_t ResultCode();
    std::int32_t ResultCodeExtended();
    std::int32_t State();
    std::string DeviceDescription();
    std::string DeviceName();
    std::string ServiceObjectDescription();
    std::int32_t ServiceObjectVersion();

    // --- answered by the control object itself ---

    std::int32_t OpenResult() const;            // 0 after a successful Open
    std::int32_t ControlObjectVersion() const;  // 1.8.x as major*1000000 + minor*1000 + build
    std::string ControlObjectDescription() const;

    // Not OPOS: why the last call the control object answered itself failed, in words naming
    // the profile key, ProgID, library, method or HRESULT ("" when the last such call worked).
    std::string ErrorDetail() const;

    // --- events; an empty handler drops the event ---

    void SetDataEventHandler(DataEventHandler handler);
    void SetErrorEventHandler(ErrorEventHandler handler);
    void SetDirectIOEventHandler(DirectIOEventHandler handler);
    void SetStatusUpdateEventHandler(StatusUpdateEventHandler handler);

    struct Core;  // the implementation; not part of the API

  protected:
    enum class DeviceClass { Scanner, Scale };
    explicit OposControl(DeviceClass deviceClass);

    std::shared_ptr<Core> m_Core;
};

// A bar-code scanner ("Scanner" profiles).
class SORVEX_OPOS_API OposScanner final : public OposControl {
  public:
    OposScanner();
    ~OposScanner() override;

    bool DecodeData();
    void SetDecodeData(bool on);
    std::string ScanData();       // the data as the scanner sent it
    std::string ScanDataLabel();  // the label without framing (needs DecodeData)
    std::int32_t ScanDataType();  // SCAN_SDT_... (needs DecodeData)
};

// A scale ("Scale" profiles). Weights are thousandths of WeightUnit().
class SORVEX_OPOS_API OposScale final : public OposControl {
  public:
    OposScale();
    ~OposScale() override;

    // Synchronous (AsyncMode off): waits up to timeoutMs for a stable weight and answers it in
    // `weight`. Asynchronous: answers at once; the weight arrives as DataEvent(weight), a
    // failure as ErrorEvent.
    std::int32_t ReadWeight(std::int32_t& weight, std::int32_t timeoutMs);
    std::int32_t ZeroScale();
    std::int32_t DisplayText(std::string_view data);

    bool AsyncMode();
    void SetAsyncMode(bool on);
    std::int32_t MaximumWeight();
    std::int32_t WeightUnit();  // SCAL_WU_...
    std::int32_t MaxDisplayTextChars();
    std::int32_t TareWeight();
    void SetTareWeight(std::int32_t weight);
    Currency SalesPrice();
    Currency UnitPrice();
    void SetUnitPrice(Currency price);
    bool CapDisplay();
    bool CapDisplayText();
    bool CapPriceCalculating();
    bool CapTareWeight();
    bool CapZeroScale();
};

// --- serving events on the calling thread ---

// Waits up to timeoutMs (OPOS_FOREVER: without limit) until something arrives for the calling
// thread's control objects, then handles everything waiting and returns.
SORVEX_OPOS_API void WaitForEvents(int timeoutMs);
// Handles everything waiting now; never waits.
SORVEX_OPOS_API void DispatchEvents();
// Serves events until done() answers true (checked before waiting and after every batch) or
// timeoutMs has passed (OPOS_FOREVER: no limit). Answers done()'s last answer.
SORVEX_OPOS_API bool WaitUntil(const std::function<bool()>& done, int timeoutMs);
// For an event loop of the application's own: a file descriptor of the calling thread that is
// readable while events wait. When poll() says it is readable, call DispatchEvents(). Valid for
// the thread's lifetime; never close it.
SORVEX_OPOS_API int EventFd();

}  // namespace sorvex::opos
