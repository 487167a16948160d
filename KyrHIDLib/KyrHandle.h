// CKyrHandle: one open device for one process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Include/HID.h"
#include "Include/KyrHIDLib.h"
#include "KyrFWDnCheck.h"
#include "KyrInstantModeTimer.h"
#include "KyrLocalSyncObject.h"
#include "KyrProcessChecker.h"
#include "KyrSharedMemory.h"
#include "KyrTimer.h"
#include "KyrWaitGraph.h"
#include "MmPkt.h"

namespace kyr_hid_library {

// The device record every notification carries.
typedef struct _KyrDevData {
    char szDevPath[512];
    unsigned long dwId;    // reserved, 0
    unsigned long dwExtra; // reserved, 0
    unsigned short nVendorID;
    unsigned short nProductID;
    unsigned short nMI;
    int nDevIndex;
    class CKyrHandle* pHandle; // the KYR_HANDLE the application holds
} KyrDevData;

// Firmware modes a unit reports.
enum {
    MODE_UNKNOWN = 0,
    MODE_CM_IAP = 1,
    MODE_CM_APP = 2,
    MODE_MM_IAP = 3,
    MODE_MM_APP = 4,
    MODE_MM_UPG = 5,
    MODE_CM_UPG = 6
};

// Synchronous commands in flight: ids sent and not yet answered, and ids
// answered and not yet collected by their waiter. An id is in one list or the
// other from PushWait until its waiter collects or withdraws it; each move is
// one hold of a leaf lock.
class CWaitQueue {
public:
    void PushWait(int nId);
    // Moves an awaited id to the answered ones; false when nobody awaits it.
    bool Answer(int nId);
    bool Collect(int nId);
    // Takes the id back from either list; true when it had been answered.
    bool Withdraw(int nId);
    bool IsWaiting(int nId);

private:
    CKyrLocalSyncObject m_csWaitIDQueue;
    std::vector<int> m_WaitIDQueue; // guarded by m_csWaitIDQueue
    std::vector<int> m_RetIDQueue;  // guarded by m_csWaitIDQueue
};

class CKyrHandle : public CMmPkt::IMmPktNotify, public CKyrInstantModeTimer::ITimer {
public:
    // How the handle tells its owner about events. Defaults do nothing.
    class IKyrHandleNotify {
    public:
        virtual ~IKyrHandleNotify() = default;
        virtual void OnHandleEvents(KyrDevData*) {}
        virtual void OnDisconnect(KyrDevData*) {}
        // True when the owner has taken the report: it is not decoded then.
        virtual bool OnReceiveRawData(KyrDevData*, unsigned char*, unsigned long) { return false; }
        virtual void TPDP_OnDownloadingFirmware(KyrDevData*, bool) {}
        virtual void TPDP_OnPacket(KyrDevData*, kyrpacket*, bool) {}
        // Whether OnHandleEvents does anything: a waiting caller that has
        // nobody to pump events for blocks instead of passing through it.
        virtual bool HandlesEvents() const { return false; }
        // Whether TPDP_OnDownloadingFirmware does anything: only then does
        // an idle handle have to watch for downloads.
        virtual bool WatchesDownloads() const { return false; }
    };

    // Who enters the handle: an application call, the transport's read thread
    // or the instant-mode timer thread.
    enum eEntry { Call, Transport, Timer };

    // The handle's lifetime. Every exported call on the handle and every
    // notification from the transport or the timer runs inside an Entry; no
    // Entry is granted once the handle is closing. CloseAndDestroy marks it
    // closing, wakes every waiter and proceeds once no other thread is inside,
    // so after it returns no thread of the library touches the handle and no
    // callback of it runs. A thread that closes from inside the handle (from a
    // callback) cannot wait for itself, nor may a close wait where that would
    // close a cycle of waits (see KyrWaitGraph.h): the teardown then goes on,
    // on a thread of its own, once every thread has left. Whoever ends the
    // teardown destroys the handle. An Entry also makes the thread inside the
    // handle for the wait graph.
    class Entry {
    public:
        Entry(CKyrHandle& handle, eEntry eKind);
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        explicit operator bool() const { return m_bEntered; }

    private:
        CKyrHandle& m_Handle;
        bool m_bEntered;
        std::optional<CKyrWaitGraph::Inside> m_GraphInside;
    };

    CKyrHandle();
    virtual ~CKyrHandle();
    CKyrHandle(const CKyrHandle&) = delete;
    CKyrHandle& operator=(const CKyrHandle&) = delete;

    // On failure the handle is left closed, with no thread running: it may be
    // deleted at once.
    bool Open(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI, int nDevIndex);
    static void CloseAndDestroy(CKyrHandle* pHandle);
    // Open, and the device still there.
    bool IsOpen() { return m_HID.IsOpenDevice() && !m_HID.IsDisconnected(); }

    // The sink is shared: a notification in flight on another thread keeps the
    // sink it started with alive, so replacing it never destroys a sink that
    // is being called. Returns true once no other thread calls the old sink
    // (at once from inside a notification or tap), so the caller must hand
    // over its only reference: one it kept would wait forever. Returns false
    // with KYR_ERROR_NOT_SUPPORT, the old sink put back, where that wait
    // would close a cycle of waits (KyrWaitGraph.h). Any thread.
    bool SetNotify(std::shared_ptr<IKyrHandleNotify> pNotify);
    std::shared_ptr<IKyrHandleNotify> GetNotify();

    // The report tap: same rule as SetNotify.
    bool SetReportTap(FnKyrReportTap fn, void* pContext);

    HID_DEVICE_INFO* GetDeviceInfo();
    void* GetLowDeviceHandle() { return m_HID.GetLowDeviceHandle(); }

    void OnReceive(unsigned char* pData, unsigned long dwBytes);
    void OnDisconnect();

    void UseExclusiveMode(bool bUse);

    // Sends a text command; see the exported KyrSendCommand.
    int SendCommand(const char* szCmd, bool bAsync, unsigned long dwTimeout);
    char* GetResponse();
    int SetInstantMode(int nMode, int nExpireTime, unsigned long dwFGstValue);
    bool SendBuffer(const unsigned char* pBuffer, unsigned long dwBufferSize, bool bAsync, unsigned long dwTimeout);
    bool QueryFirmwareVersion(unsigned short wAddr, int* pnMode, bool bAsync, unsigned long dwTimeout);
    void LockFirmwareDownload();
    void UnlockFirmwareDownload();

    long TicksUntilDue() override;
    void OnInstantModeTimer(long nTicks) override;

    // IMmPktNotify, called on the read thread while a report is decoded.
    bool OnCheckSyncResposePacket(int nId) override;
    void OnCompleteResponsePacket(int nId) override;
    void OnCompleteNoneResponsePacket(unsigned short nId) override;
    void TPDP_OnPacket(kyrpacket* pPacket, bool bSync) override;
    void OnFirmwareMode(unsigned short wAddr, unsigned short nMode) override;

protected:
    static void _OnReceive(unsigned char* pData, unsigned long dwBytes, void* pContext);
    static void _OnDisconnect(void* pContext);

    bool IsFirstDevice(KyrDevData* pDevData);
    bool CreateSyncObjects(KyrDevData* pDevData);
    void DestroySyncObjects();
    // Both false when the block's lock could not be taken (pbReached false
    // for IsAvailableControlMode): nothing was read.
    bool GetSyncServerValue(unsigned long dwFGstValue, unsigned long& dwServerFGstValue, int& nServerInstantMode);
    bool IsAvailableControlMode(bool* pbReached = nullptr);

    int InnerSendCommand(const char* szCmd, bool bAsync, unsigned long dwTimeout);
    bool SyncSendCommand(const char* szCmd, unsigned short wLen, unsigned char nCmdId, unsigned long dwTimeout);
    bool AsyncSendCommand(const char* szCmd, unsigned short wLen, unsigned char nCmdId);
    // How a wait ended. A close and an unplug both end every wait at once;
    // only the unplug leaves the device gone.
    enum class eWaitEnd { Answered, TimedOut, Closing, DeviceGone };
    eWaitEnd WaitForResponse(int nWaitID, unsigned long dwTimeout);
    // The waits a synchronous send arms before its first report goes out, so
    // that no answer is missed. Apart from the sends so that a harness can arm
    // them on a handle without a device and feed it the answers.
    void ArmCommandWait(unsigned char nCmdId);
    bool ArmPacketWait(unsigned short wPacketId); // false: a packet wait is armed already
    bool IsPacketWaitArmed();
    bool DisarmPacketWait(); // false: the packet had come
    bool WriteHIDPacket(pkt_type* pkt_ptr, int pkt_len);
    bool BuildAndWrite(const char* szCmd, unsigned short wLen, unsigned char nCmdId);

    void ExecTimer(int nExpireTime);
    // What the timer has to do; m_csInstantMode held.
    bool KeepAliveOn() const;
    bool GatePassDue() const;
    // Sends the instant mode asked for last again, if one was asked for.
    void ResendInstantMode();
    static long GetTimeout(int nExpireTime);

    bool QueryFirmwareMode(unsigned short wAddr, unsigned long dwTimeout);
    bool QueryAppFirmwareVersion(unsigned short wAddr, bool bAsync, unsigned long dwTimeout);
    bool QueryIapFirmwareVersion(unsigned short wAddr, bool bAsync, unsigned long dwTimeout);
    // The download gate: true when traffic may go out. Sets the last error
    // when it may not.
    bool PassDownloadGate();

private:
    // Blocks the calling waiter until Signal(), a close, or the deadline;
    // with an application that pumps its events, calls it and waits about a
    // millisecond per pass.
    class Waiter;
    void Signal();
    // Stops the threads, closes the device and leaves the shared block; runs
    // once nobody is inside.
    void Teardown();
    // Whether the calling thread is this handle's read thread, inside a
    // notification of it: a synchronous send there could never see its
    // answer, since this thread is the one that would deliver it.
    bool IsOnTransportThread();
    // Failure of a send on the device: KYR_ERROR_NO_DEVICE once it has gone,
    // else eOtherwise.
    void SetSendError(int eOtherwise);
    // The block's lock keeps other processes out, not this handle's other
    // threads: every access takes m_csBlock first, then the block's lock.
    class BlockAccess {
    public:
        explicit BlockAccess(CKyrHandle& handle);
        KyrHandleSharedMemory* operator->() const { return m_pBlock; }
        explicit operator bool() const { return m_pBlock != nullptr; }

    private:
        CKyrLocalSyncObject::Locker m_Local;
        CKyrSharedMemory::Locker m_Shared;
        KyrHandleSharedMemory* m_pBlock;
    };

    template <typename Fn>
    void Notify(Fn&& fn);
    // Runs fn, a call through pTarget (the sink or the tap), unless the
    // handle is closing; marks the calling thread as notifying meanwhile (a
    // replacement of the sink or the tap from inside fn must not wait for fn
    // itself) and as inside pTarget for the wait graph. release drops the
    // caller's reference to pTarget.
    template <typename Fn, typename Release>
    void AsNotification(const void* pTarget, Fn&& fn, Release&& release);
    // Waits until pOld is held by nobody else, unless the calling thread is
    // inside a notification; false where the wait would close a cycle of
    // waits (see SetNotify).
    template <typename T>
    bool WaitUntilUnshared(const std::shared_ptr<T>& pOld);

    // Hands a report to the tap, if there is one; the caller is inside.
    void Tap(int nDirection, const unsigned char* pReport, unsigned long dwBytes);
    // m_HID.Write, each transfer shown to the tap before it is submitted.
    bool Write(const unsigned char* pBuffer, unsigned long dwBytes);

    // Who is inside the handle, per thread; see Entry.
    struct Inside {
        std::thread::id id;
        int nDepth = 0;     // Entries held
        int nNotifying = 0; // notifications under way
        bool bTransport = false;
    };
    Inside* FindInside(); // the calling thread's record; m_csGate held
    bool OthersInside();  // m_csGate held
    std::mutex m_csGate;
    std::condition_variable m_cvGate;
    // Closed means closed on every thread, the closing one included: once it
    // is set no callback, tap call or write of the handle starts (Notify,
    // Tap and Write look at it right before they act), so nothing reaches
    // the application after KyrCloseDevice returns, not even on the way out
    // of the callback that closed. Written under m_csGate, read anywhere.
    std::atomic<bool> m_bClosing{false};
    std::vector<Inside> m_Inside; // guarded by m_csGate

    CHID m_HID;
    CMmPkt* m_pMmPkt;
    CKyrInstantModeTimer m_InstantModeTimer;
    std::atomic<bool> m_bIsLockFirmwareDownload{false};
    // Goes from false to true once (close, unplug); every wait ends then.
    // The transport's disconnected mark, set before the unplug is reported,
    // tells an unplug from a close.
    std::atomic<bool> m_bResetWait{false};
    CWaitQueue m_WaitQueue;
    std::mutex m_csSend; // one packet at a time from MakePacket to its last report
    // Waiting callers sleep on m_cvWait; every completion, and a close or
    // unplug, bumps m_nWakeups.
    std::mutex m_csWait;
    std::condition_variable m_cvWait;
    unsigned m_nWakeups = 0; // guarded by m_csWait
    // Kind of the command-channel packet being decoded: set between the
    // codec's check and completion calls, on the thread decoding this device.
    int m_nDecodingKind = -1;
    // Id of the synchronous command whose response text is awaited (0xFFFF:
    // none) and the text captured for it; guarded by m_csSyncResponse.
    CKyrLocalSyncObject m_csSyncResponse;
    unsigned short m_nSyncResId = 0xFFFF;
    char m_szSyncResponse[440] = {};
    // The packet id a synchronous raw send awaits. Every id is a valid
    // packet id (0xFFFF too), so whether one is awaited is a flag of its own.
    CKyrLocalSyncObject m_csWaitPacketId;
    unsigned short m_nWaitPacketId = 0xFFFF; // guarded by m_csWaitPacketId
    bool m_bWaitingPacket = false;           // guarded by m_csWaitPacketId
    std::atomic<unsigned short> m_nFirmwareMode{0};
    // Id of the awaited command last echoed (see WaitForResponse); guarded
    // by m_csSyncResponse.
    int m_nEchoedId = -1;

    CKyrSharedMemory m_SharedMemory;
    CKyrLocalSyncObject m_csBlock;
    int m_nClientID = -1;
    // The data modes this client asked for; read on the read thread to filter.
    std::atomic<int> m_nInstantMode{0};
    // Instant-mode and gate state, reached by application threads and the
    // timer thread. A leaf lock: never held across a send or a callback.
    std::mutex m_csInstantMode;
    unsigned long m_dwFGstValue = ~0UL;
    int m_nExpireTime = 5000;
    long m_nTimeoutCnt = 0;
    long m_nTimeoutIdx = 0;
    bool m_bForceFgstValue = false;
    bool m_bWatchDownloads = false; // the sink hears of downloads
    std::atomic<bool> m_bUseExclusiveApp{false}; // set by the application, read by the timer
    bool m_bInstantMode = false;
    CKyrFWDnCheck m_FWDnChecker;
    bool m_bFirmwareDownloading = false; // guarded by m_csInstantMode
    KyrDevData m_KyrDevData;
    bool m_bCreatedSyncObjects = false;
    CKyrProcessChecker m_ProcessChecker;

    std::mutex m_csNotify;
    std::shared_ptr<IKyrHandleNotify> m_pNotify; // guarded by m_csNotify

    // The report tap. A call keeps the record it started with alive, so a
    // replaced tap is never freed under a running call; calls happen only
    // inside an Entry, so none runs once the handle is closed. m_bTapped
    // mirrors whether m_pTap is set: the only cost per report without a tap.
    struct ReportTap {
        FnKyrReportTap fn;
        void* pContext;
    };
    std::atomic<bool> m_bTapped{false};
    std::shared_ptr<const ReportTap> m_pTap; // guarded by m_csNotify
};

} // namespace kyr_hid_library
