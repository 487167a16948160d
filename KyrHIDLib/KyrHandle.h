// CKyrHandle: one open device for one process.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "Include/HID.h"
#include "Include/KyrHIDLib.h"
#include "KyrLocalSyncObject.h"
#include "KyrProcessChecker.h"
#include "KyrSharedMemory.h"
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

class CKyrHandle : public CMmPkt::IMmPktNotify {
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
    };

    CKyrHandle();
    virtual ~CKyrHandle();
    CKyrHandle(const CKyrHandle&) = delete;
    CKyrHandle& operator=(const CKyrHandle&) = delete;

    bool Open(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI, int nDevIndex);
    void Close();
    bool IsOpen() { return m_HID.IsOpenDevice(); }

    // The sink is shared: a notification in flight on another thread keeps the
    // sink it started with alive, so replacing it never destroys a sink that
    // is being called. Any thread, callbacks included.
    void SetNotify(std::shared_ptr<IKyrHandleNotify> pNotify);
    std::shared_ptr<IKyrHandleNotify> GetNotify();

    HID_DEVICE_INFO* GetDeviceInfo() { return m_HID.GetDeviceInfo(); }
    void* GetLowDeviceHandle() { return m_HID.GetLowDeviceHandle(); }

    void OnReceive(unsigned char* pData, unsigned long dwBytes);
    void OnDisconnect();

    void UseExclusiveMode(bool bUse);

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
    void GetSyncServerValue(unsigned long dwFGstValue, unsigned long& dwServerFGstValue, int& nServerInstantMode);
    bool IsAvailableControlMode();

private:
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

    CHID m_HID;
    CMmPkt* m_pMmPkt;
    // Goes from false to true once (Close, unplug); every wait ends then.
    std::atomic<bool> m_bResetWait{false};
    // Id of the synchronous command whose response text is awaited (0xFFFF:
    // none) and the text captured for it; guarded by m_csSyncResponse.
    CKyrLocalSyncObject m_csSyncResponse;
    unsigned short m_nSyncResId = 0xFFFF;
    char m_szSyncResponse[440] = {};
    CKyrLocalSyncObject m_csWaitPacketId;
    unsigned short m_nWaitPacketId = 0xFFFF; // guarded by m_csWaitPacketId
    unsigned short m_nFirmwareMode = 0;

    CKyrSharedMemory m_SharedMemory;
    CKyrLocalSyncObject m_csBlock;
    int m_nClientID = -1;
    // The data modes this client asked for; read on the read thread to filter.
    std::atomic<int> m_nInstantMode{0};
    unsigned long m_dwFGstValue = ~0UL;
    bool m_bForceFgstValue = false;
    bool m_bUseExclusiveApp = false;
    KyrDevData m_KyrDevData;
    bool m_bCreatedSyncObjects = false;
    CKyrProcessChecker m_ProcessChecker;

    std::mutex m_csNotify;
    std::shared_ptr<IKyrHandleNotify> m_pNotify; // guarded by m_csNotify
};

} // namespace kyr_hid_library
