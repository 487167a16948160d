/**
 * @file KyrHIDLib.h
 * @brief KyrHIDLib — access to the optical touch-sensing devices of the Kyr family.
 *
 * Flat C interface. Every function reports failures through the process-wide
 * last error (g_nLastError / KyrGetLastError()); see each function for the
 * codes it can leave there. Nothing is thrown, and nothing is logged unless
 * the application asks for diagnostics (KyrSetLogCallback).
 *
 * The header compiles as C99 and as C++.
 */
#ifndef KYRHIDLIB_H
#define KYRHIDLIB_H

#include <stddef.h>

/** @brief Marks an exported function or variable of the shared library. */
#if defined(__GNUC__)
#define KYR_API __attribute__((visibility("default")))
#else
#define KYR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** @brief An open device handle (from KyrOpenDevice until KyrCloseDevice). */
typedef void* KYR_HANDLE;
/** @brief A device-information record; owned by the library, never freed by the caller. */
typedef void* KYR_DEVICE_INFO;

/**
 * @brief Error codes left in the last error. KyrGetErrorName() and
 * KyrGetErrorDescription() turn one into text.
 */
enum {
    KYR_SUCCESS = 0,                   /**< the last call succeeded */
    KYR_ERROR_NO_DEVICE = -1,          /**< no such device, the device is gone, or the handle is not open */
    KYR_ERROR_FIRMWARE_DOWNLOAD = -2,  /**< a firmware download, marked by some process, holds the traffic back */
    KYR_ERROR_TIMEOUT = -3,            /**< no answer in time, a write timed out, or the shared lock stayed taken */
    KYR_ERROR_SYNC_OBJECT_OVERFLOW = -4, /**< the device's shared state has no room for another client */
    KYR_ERROR_ALREADY_OPENED = -5,     /**< the handle is already open */
    KYR_ERROR_DEVICE_BUSY = -6,        /**< another client has the device open, or a synchronous raw send is waiting */
    KYR_ERROR_NOT_SUPPORT = -7,        /**< the call would wait for itself: a synchronous send from the handle's read thread, or a wait closing a cycle between callbacks */
    KYR_ERROR_SEND_FAIL = -8,          /**< a command packet could not be written */
    KYR_ERROR_INVALID_PARAMETER = -9,  /**< a null handle, record or table, or an argument out of range */
    KYR_ERROR_ACCESS_DENIED = -10,     /**< no permission to open the device node (see the udev rule) */
    KYR_ERROR_UNKNOWN = -20            /**< any other USB or shared-state failure */
};

/**
 * @brief The last error of the process: one value shared by the application's
 * threads, left by the last call any of them made (callbacks included). The
 * library's own threads never change it. Prefer KyrGetLastError(), which reads
 * it without a data race.
 */
extern KYR_API int g_nLastError;

/**
 * @brief Current value of the last error. Any thread. Does not change it.
 * @return A KYR_SUCCESS or KYR_ERROR_* code.
 */
KYR_API int KyrGetLastError(void);

/**
 * @brief Symbolic name of an error code ("KYR_ERROR_TIMEOUT"), or "KYR_ERROR_?"
 * for a value that is not a code. Never touches the last error. Any thread.
 * @param nError The code, as KyrGetLastError() returns it.
 * @return Static text, never null and never to be freed.
 */
KYR_API const char* KyrGetErrorName(int nError);

/**
 * @brief One-line explanation of an error code. Never touches the last error.
 * Any thread.
 * @param nError The code, as KyrGetLastError() returns it.
 * @return Static text, never null and never to be freed; a fixed text for a
 * value that is not a code.
 */
KYR_API const char* KyrGetErrorDescription(int nError);

/**
 * @brief Number of attached devices with these ids whose active configuration
 * has more than nMI interfaces. Never touches the last error. Any thread.
 * @param nVendorID USB vendor id (KYR_USB_VENDOR_ID).
 * @param nProductID USB product id (a KYR_USB_PRODUCT_ID_* value).
 * @param nMI Interface number the device must have; no value stands for all.
 * @return The count; 0 when the device list is unavailable.
 */
KYR_API int KyrGetDeviceCount(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI);

/**
 * @brief Describes the nDevIndex-th matching device (counting from 0, in the
 * system's device-list order).
 * @param nVendorID USB vendor id.
 * @param nProductID USB product id.
 * @param nMI Interface number, matched as in KyrGetDeviceCount().
 * @param nDevIndex Index among the matching devices, from 0.
 * @return A record owned by the library, valid as long as the library is
 * loaded; the next successful call, from any thread, overwrites it (the same
 * address is returned every time). Null on failure, with the last error set to
 * KYR_ERROR_NO_DEVICE (no such device, device list unavailable, device gone),
 * KYR_ERROR_ACCESS_DENIED (no permission to open it) or KYR_ERROR_UNKNOWN.
 * Callers on several threads serialise their calls themselves.
 */
KYR_API KYR_DEVICE_INFO KyrGetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                                         unsigned short nDevIndex);

/**
 * @brief Vendor id of the record. Never touches the last error.
 * @param devInfo A record from KyrGetDeviceInfo() or KyrGetDeviceInfoFromHandle().
 * @return The vendor id; 0 for a null record.
 */
KYR_API unsigned short KyrGetDevInfoVendorID(KYR_DEVICE_INFO devInfo);
/**
 * @brief Product id of the record.
 * @param devInfo A record from KyrGetDeviceInfo() or KyrGetDeviceInfoFromHandle().
 * @return The product id (last error KYR_SUCCESS); 65535 with
 * KYR_ERROR_INVALID_PARAMETER for a null record.
 */
KYR_API unsigned short KyrGetDevInfoProductID(KYR_DEVICE_INFO devInfo);
/**
 * @brief Interface number of the record.
 * @param devInfo A record from KyrGetDeviceInfo() or KyrGetDeviceInfoFromHandle().
 * @return The interface number (last error KYR_SUCCESS); 65535 with
 * KYR_ERROR_INVALID_PARAMETER for a null record.
 */
KYR_API unsigned short KyrGetDevInfoInterfaceNumber(KYR_DEVICE_INFO devInfo);
/**
 * @brief Index of the device among the matching devices.
 * @param devInfo A record from KyrGetDeviceInfo() or KyrGetDeviceInfoFromHandle().
 * @return The index (last error KYR_SUCCESS); -1 with
 * KYR_ERROR_INVALID_PARAMETER for a null record.
 */
KYR_API int KyrGetDevInfoDeviceIndex(KYR_DEVICE_INFO devInfo);
/**
 * @brief Device path "bbbb:aaaa:ii" (bus, address, interface in lower-case
 * hex).
 * @param devInfo A record from KyrGetDeviceInfo() or KyrGetDeviceInfoFromHandle().
 * @return The record's own buffer, not a copy: it lives as long as the record
 * and must not be freed (last error KYR_SUCCESS); null with
 * KYR_ERROR_INVALID_PARAMETER for a null record.
 */
KYR_API char* KyrGetDevInfoPath(KYR_DEVICE_INFO devInfo);

/* ---- Decoded packets and CRC ------------------------------------------ */

/**
 * @brief Compile-time layout check that holds in C99 and C++ alike: kyrpacket
 * is read at fixed offsets by applications built with other compilers.
 * @hideinitializer
 */
#if defined(__cplusplus)
#define KYR_LAYOUT_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KYR_LAYOUT_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define KYR_LAYOUT_ASSERT(cond, name) typedef char kyr_layout_##name[(cond) ? 1 : -1]
#endif

/** @brief Kinds of decoded packet, the value of kyrpacket.type. */
enum {
    kyrtype_msg = 0,  /**< text message of a part (body msg) */
    kyrtype_obj = 1,  /**< object ranges (body obj) */
    kyrtype_obc = 2,  /**< object range of an image packet (body obc) */
    kyrtype_dtc = 3,  /**< detection ranges of an image packet (body dtc) */
    kyrtype_ird = 4,  /**< image data (body ixd) */
    kyrtype_itd = 5,  /**< image data, second kind (body ixd) */
    kyrtype_prv = 6,  /**< preview image rows (body prv) */
    kyrtype_cmd = 7,  /**< command echo (body cmd) */
    kyrtype_rsp = 8,  /**< response text, final or continued (body rsp) */
    kyrtype_rse = 9,  /**< response text of kind RSE (body rsp) */
    kyrtype_stt = 10, /**< status text (body stt) */
    kyrtype_dvc = 11, /**< mouse, touch and keyboard state (body dvc) */
    kyrtype_tpt = 12, /**< touch points (body tpt) */
    kyrtype_gst = 13, /**< gesture (body gst) */
    kyrtype_ver = 14  /**< firmware version (body ver) */
};

#pragma pack(push, 1)

/** @brief One touch point: position, size and strength, in device units. */
typedef struct _kyrtouchpoint {
    unsigned short x; /**< horizontal position */
    unsigned short y; /**< vertical position */
    unsigned short w; /**< width */
    unsigned short h; /**< height */
    unsigned short s; /**< strength */
} kyrtouchpoint;

/**
 * @brief A decoded packet, as passed to KYR_EVENT_NOTIFY.fnOnPacket.
 *
 * Packed, little-endian, 457 bytes as declared. The records of kinds ird, itd,
 * prv and tpt end in a variable tail (ixd.data, prv.image, tpt.points) that
 * runs past the declared size; `length` tells how many bytes of the record are
 * meaningful, and only the fields of the body member named by `type` are
 * defined.
 *
 * Ownership: the record belongs to the library and lives in a buffer of the
 * read thread; it is valid only during the callback that receives it and must
 * be copied (`length` bytes) if it is kept.
 */
typedef struct _kyrpacket {
    short type;              /**< a kyrtype_* code */
    unsigned short ticktime; /**< device tick time of the packet */
    char partid[8];          /**< sending part, e.g. "RSP", "IRD1", "STT2-1"; NUL-padded */
    unsigned short length;   /**< meaningful bytes of the record, header included */
    /** @brief The packet's content; only the member named by `type` is defined. */
    union _body {
        /** @brief kyrtype_msg */
        struct {
            char message[254];          /**< NUL-terminated text, at most 253 characters */
        } msg;
        /** @brief kyrtype_obj */
        struct {
            unsigned short count;       /**< as received; at most 11 ranges are filled */
            float start_pos[11];        /**< start of each object range */
            float end_pos[11];          /**< end of each object range */
        } obj;
        /** @brief kyrtype_obc, the object range of an image packet */
        struct {
            unsigned short count;       /**< number of detection ranges announced */
            float start_pos;            /**< start of the object range */
            float end_pos;              /**< end of the object range */
        } obc;
        /** @brief kyrtype_dtc, the detection ranges of an image packet */
        struct {
            unsigned short count;       /**< as received; at most 10 ranges are filled */
            unsigned long start_pos[10]; /**< start of each detection range */
            unsigned long end_pos[10];  /**< end of each detection range */
        } dtc;
        /** @brief kyrtype_ird and kyrtype_itd: a piece of image data */
        struct {
            short total;                /**< size of the whole image */
            short offset;               /**< where this piece starts in it */
            short count;                /**< bytes in data */
            unsigned char data[1];      /**< first of count bytes */
        } ixd;
        /** @brief kyrtype_prv: rows of a preview image */
        struct {
            short height;               /**< rows of the whole image */
            short offset_y;             /**< first row carried here */
            short width;                /**< bytes in image */
            unsigned char image[1];     /**< first of width bytes */
        } prv;
        /** @brief kyrtype_cmd: a command as the device echoes it */
        struct {
            unsigned short id;          /**< command id */
            char command[440];          /**< NUL-terminated command text */
        } cmd;
        /** @brief kyrtype_rsp and kyrtype_rse: response text */
        struct {
            unsigned short id;          /**< id of the command answered */
            unsigned char is_final;     /**< 0 while more pieces follow */
            char command[440];          /**< this piece of the response, NUL-terminated */
        } rsp;
        /** @brief kyrtype_stt */
        struct {
            char status[440];           /**< NUL-terminated status text */
        } stt;
        /** @brief kyrtype_dvc: mouse, touch and keyboard state */
        struct {
            unsigned char flag;         /**< report flags, as the device sent them */
            unsigned char touch_obj_cnt; /**< number of touching objects */
            unsigned char mouse_buttons; /**< button bits */
            signed char mouse_wheel;    /**< wheel movement */
            unsigned short mouse_x;     /**< mouse position, horizontal */
            unsigned short mouse_y;     /**< mouse position, vertical */
            float touch_x;              /**< touch position, horizontal */
            float touch_y;              /**< touch position, vertical */
            unsigned char keyboard_modifier; /**< modifier-key bits */
            unsigned char keyboard_reserved; /**< reserved byte of the keyboard report */
            unsigned char keyboard_key[6]; /**< usage ids of pressed keys (see KyrFindScanCode()) */
        } dvc;
        /** @brief kyrtype_tpt */
        struct {
            short actual_touch;         /**< number of touches the device estimates */
            short touch_count;          /**< entries in points */
            kyrtouchpoint points[1];    /**< first of touch_count points */
        } tpt;
        /** @brief kyrtype_gst */
        struct {
            unsigned char action_group; /**< gesture group */
            unsigned char action;       /**< gesture within the group */
            unsigned short feasibleness; /**< the device's confidence */
            unsigned short x;           /**< area of the gesture: left */
            unsigned short y;           /**< area of the gesture: top */
            unsigned short w;           /**< area of the gesture: width */
            unsigned short h;           /**< area of the gesture: height */
            float zoom;                 /**< zoom factor of a zoom gesture */
            char message[242];          /**< NUL-terminated text, at most 241 characters */
        } gst;
        /** @brief kyrtype_ver */
        struct {
            unsigned short nv;          /**< version field nv */
            unsigned short minor;       /**< minor version */
            unsigned short major;       /**< major version */
            unsigned short model;       /**< model code */
            unsigned char date[11];     /**< build date text ("Mar 14 2024"); empty from the IAP side */
            unsigned char time[8];      /**< build time text ("10:20:30"); empty from the IAP side */
        } ver;
    } body;                             /**< content, by `type` */
} kyrpacket;

#pragma pack(pop)

KYR_LAYOUT_ASSERT(sizeof(unsigned long) == 8, ulong_is_64_bits);
KYR_LAYOUT_ASSERT(sizeof(kyrtouchpoint) == 10, touchpoint_size);
KYR_LAYOUT_ASSERT(sizeof(kyrpacket) == 457, kyrpacket_size);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, ticktime) == 2, off_ticktime);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, partid) == 4, off_partid);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, length) == 12, off_length);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body) == 14, off_body);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.obj.start_pos) == 16, off_obj_start);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.obj.end_pos) == 60, off_obj_end);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.obc.start_pos) == 16, off_obc_start);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.obc.end_pos) == 20, off_obc_end);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.dtc.start_pos) == 16, off_dtc_start);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.dtc.end_pos) == 96, off_dtc_end);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.ixd.offset) == 16, off_ixd_offset);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.ixd.count) == 18, off_ixd_count);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.ixd.data) == 20, off_ixd_data);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.prv.offset_y) == 16, off_prv_offset);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.prv.width) == 18, off_prv_width);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.prv.image) == 20, off_prv_image);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.cmd.command) == 16, off_cmd_command);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.rsp.is_final) == 16, off_rsp_final);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.rsp.command) == 17, off_rsp_command);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.stt.status) == 14, off_stt_status);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.dvc.mouse_wheel) == 17, off_dvc_wheel);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.dvc.mouse_x) == 18, off_dvc_mx);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.dvc.touch_x) == 22, off_dvc_tx);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.dvc.touch_y) == 26, off_dvc_ty);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.dvc.keyboard_modifier) == 30, off_dvc_mod);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.dvc.keyboard_key) == 32, off_dvc_key);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.tpt.touch_count) == 16, off_tpt_count);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.tpt.points) == 18, off_tpt_points);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.gst.feasibleness) == 16, off_gst_feas);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.gst.h) == 24, off_gst_h);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.gst.zoom) == 26, off_gst_zoom);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.gst.message) == 30, off_gst_message);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.ver.model) == 20, off_ver_model);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.ver.date) == 22, off_ver_date);
KYR_LAYOUT_ASSERT(offsetof(kyrpacket, body.ver.time) == 33, off_ver_time);

/**
 * @brief Appends the packet CRC (CRC-16/X-25) to a packet the caller builds,
 * for instance a raw report for KyrSendBuffer().
 * @param pkt_ptr The packet; must hold pkt_len + 2 bytes. The CRC of the first
 * pkt_len bytes is stored at pkt_ptr[pkt_len] (low byte) and pkt_ptr[pkt_len + 1].
 * @param pkt_len Number of packet bytes before the CRC.
 * @return pkt_len + 2, the packet length with its CRC; 0 for a null pkt_ptr,
 * which is left alone.
 * Needs no device and never touches the last error. Any thread.
 */
KYR_API unsigned short KyrCalculateCRC(unsigned char* pkt_ptr, unsigned short pkt_len);

/**
 * @brief Runs the CRC register over pkt_len bytes, without the final XOR.
 * @param pkt_ptr The bytes, typically a packet followed by its two CRC bytes.
 * @param pkt_len Number of bytes to run over.
 * @return 0xF0B8 (61624) exactly when the bytes are an intact packet followed by
 * its CRC; 0xFFFF for pkt_len 0 and for a null pkt_ptr.
 * Needs no device and never touches the last error. Any thread.
 */
KYR_API unsigned short KyrCheckCRC(unsigned char* pkt_ptr, unsigned short pkt_len);

/* ---- Keyboard code translation ---- */

/**
 * @brief Translates a keyboard usage id (HID Keyboard/Keypad page), as carried
 * in the keyboard fields of a device packet, to a PC scan code.
 * @param cUsageId The usage id, read as an unsigned 8-bit value (0 to 255).
 * @return The make code without extended prefix (0 to 127), or 0 when the usage
 * id has none. The navigation keys (Insert to Up Arrow, 0x49 to 0x52) return the
 * keypad codes they share.
 * Needs no device and never touches the last error. Any thread.
 */
KYR_API int KyrFindScanCode(char cUsageId);

/**
 * @brief Translates a PC scan code (make code without extended prefix) to a
 * keyboard usage id.
 * @param nScanCode The scan code, 0 to 127.
 * @return The usage id as an 8-bit value, or 0 when the scan code has none or
 * lies outside 0 to 127. Keypad codes shared with the navigation keys return the
 * navigation key, so this is not the inverse of KyrFindScanCode for those keys.
 * Needs no device and never touches the last error. Any thread.
 */
KYR_API char KyrFindUsageId(int nScanCode);

/* ---- Device handles ---- */

/**
 * @brief Data modes a client asks for (KyrSetInstantMode()); they also decide
 * which decoded packets reach its fnOnPacket. The letter after each is the
 * one of the "instant_mode=" command text.
 */
enum {
    KYR_HID_MODE_MESSAGE = 0x001,       /**< M: kyrtype_msg */
    KYR_HID_MODE_COMMAND = 0x002,       /**< C: kyrtype_cmd, kyrtype_rsp; keeps response texts */
    KYR_HID_MODE_VIEW = 0x004,          /**< V: kyrtype_obc, _dtc, _ird, _itd, _prv */
    KYR_HID_MODE_OBJECT = 0x010,        /**< O: kyrtype_obj */
    KYR_HID_MODE_TOUCHPNT = 0x020,      /**< T: kyrtype_tpt */
    KYR_HID_MODE_GESTURE = 0x040,       /**< G: kyrtype_gst */
    KYR_HID_MODE_DEVICE = 0x080,        /**< D: kyrtype_dvc */
    KYR_HID_MODE_SINGLE_TOUCH = 0x100,  /**< S: sent to the device only */
    KYR_HID_MODE_MOUSE_DISABLE = 0x200  /**< X: sent to the device only */
};

/**
 * @brief Gesture-feature bits (dwFGstValue of KyrSetInstantMode(); all ones =
 * none): which gestures the device recognises, sent to it unchanged.
 */
enum {
    kyrfgstSingleMove = 0x1,          /**< one finger: move */
    kyrfgstSingleTap = 0x2,           /**< one finger: tap */
    kyrfgstSingleDoubleTap = 0x4,     /**< one finger: double tap */
    kyrfgstSingleLongTap = 0x8,       /**< one finger: long tap */
    kyrfgstSingleAll = 0xF,           /**< every one-finger gesture */
    kyrfgstFingersMove = 0x10,        /**< several fingers: move */
    kyrfgstFingersTap = 0x20,         /**< several fingers: tap */
    kyrfgstFingersDoubleTap = 0x40,   /**< several fingers: double tap */
    kyrfgstFingersLongTap = 0x80,     /**< several fingers: long tap */
    kyrfgstFingersAll = 0xF0,         /**< every several-finger gesture */
    kyrfgstPalmMove = 0x100,          /**< palm: move */
    kyrfgstPalmTap = 0x200,           /**< palm: tap */
    kyrfgstPalmDoubleTap = 0x400,     /**< palm: double tap */
    kyrfgstPalmLongTap = 0x800,       /**< palm: long tap */
    kyrfgstPalmAll = 0xF00,           /**< every palm gesture */
    kyrfgstActionZoom = 0x1000,       /**< zoom */
    kyrfgstPutAndTap = 0x2000,        /**< put a finger down, tap with another */
    kyrfgstPutAndDoubleTap = 0x4000,  /**< put a finger down, double tap with another */
    kyrfgstPutAndLongTap = 0x8000,    /**< put a finger down, long tap with another */
    kyrfgstPutAndAll = 0xE000         /**< every put-and gesture, without kyrfgstActionZoom */
};
/** @brief Extended gesture-feature bits, combined with the ones above. */
enum {
    kyrfgstePutAndTapOrDoubleTapOnly = 0x20000, /**< put-and gestures: tap and double tap only */
    kyrfgsteHybridMultitouchDevice = 0x40000,   /**< hybrid multi-touch behaviour of the device */
    kyrfgsteInertialWheel = 0x100000,           /**< wheel movement continues with inertia */
    kyrfgsteInvertWheel = 0x200000,             /**< wheel direction inverted */
    kyrfgsteAll = 0x360000                      /**< every extended bit */
};

/**
 * @brief Called on every pass of a synchronous wait (KyrSendCommand(),
 * KyrSendBuffer(), KyrQueryFirmwareVersion()), on the waiting application
 * thread, so that it can process its own events meanwhile.
 * @param hDevice The handle that waits.
 * @param Context KYR_EVENT_NOTIFY.Context.
 */
typedef void (*FnOnKyrHandleEventsHandler)(KYR_HANDLE hDevice, void* Context);
/**
 * @brief Called once when the device has been unplugged, on the handle's read
 * thread. The handle stays valid until KyrCloseDevice(), which may be called
 * from here.
 * @param hDevice The handle of the device that went.
 * @param Context KYR_EVENT_NOTIFY.Context.
 */
typedef void (*FnOnKyrDisconnectHandler)(KYR_HANDLE hDevice, void* Context);
/**
 * @brief Offered every received report before it is decoded, on the handle's
 * read thread.
 * @param hDevice The handle that received it.
 * @param buffer The report (64 bytes, or a shorter rest); owned by the library
 * and valid only during the call.
 * @param length Bytes in buffer.
 * @param Context KYR_EVENT_NOTIFY.Context.
 * @return 1 to take the report, which is then not decoded; any other value
 * lets the library decode it.
 */
typedef int (*FnOnKyrReceiveRawDataHandler)(KYR_HANDLE hDevice, unsigned char* buffer, unsigned short length,
                                            void* Context);
/**
 * @brief Called when a firmware download, marked by any process with
 * KyrLockFirmwareDownload(), is found to have started or ended; on the
 * application thread that is sending, or on the handle's instant-mode timer
 * thread.
 * @param hDevice The handle that noticed it.
 * @param bDownload 1 when a download started, 0 when it ended.
 * @param Context KYR_EVENT_NOTIFY.Context.
 */
typedef void (*FnOnKyrDownloadingFirmwareHandler)(KYR_HANDLE hDevice, int bDownload, void* Context);
/**
 * @brief Called with every decoded packet of a kind the handle's data modes
 * ask for (KYR_HID_MODE_*; RSE responses, status and version packets always),
 * on the handle's read thread.
 * @param hDevice The handle that received it.
 * @param packet The packet; owned by the library and valid only during the
 * call: copy `length` bytes to keep it.
 * @param bSync 1 for the answer a synchronous call of this process waits for,
 * else 0.
 * @param Context KYR_EVENT_NOTIFY.Context.
 */
typedef void (*FnOnKyrPacketHandler)(KYR_HANDLE hDevice, kyrpacket* packet, int bSync, void* Context);

/**
 * @brief The application's callbacks; any may be null. Context comes back as
 * the last argument of each.
 *
 * Threads: fnOnReceiveRawData, fnOnPacket and fnOnDisconnect run on the
 * device's own read thread, one call at a time; fnOnHandleEvents on the
 * application thread waiting in a synchronous call; fnOnDownloadingFirmware
 * on the application thread that is sending, or on the handle's instant-mode
 * timer thread. The buffer and the kyrpacket passed belong to the library and
 * are valid only during the call.
 *
 * What a callback may call: any function of this library, on this handle or
 * another, with one exception: a synchronous KyrSendCommand, KyrSendBuffer or
 * KyrQueryFirmwareVersion on the same handle from its read thread fails at
 * once with KYR_ERROR_NOT_SUPPORT, since that thread is the one that would
 * deliver the answer (asynchronous sends are fine). A callback may close its
 * own handle (see KyrCloseDevice) or install another table. A callback that
 * blocks holds up that device's reception only, not other devices.
 *
 * Calls that wait for callbacks: KyrCloseDevice, KyrSetEventNotify,
 * KyrSetReportTap and KyrDeregisterHotplugCallback wait until no other thread
 * runs a callback of what they close or replace (a swap made from a callback
 * of the same handle does not wait at all); KyrRegisterHotplugCallback with
 * KYR_HOTPLUG_ENUMERATE waits for the hotplug callback running on the library
 * thread to return. Made from a callback, such a wait could meet a thread
 * that waits, directly or through others, for the caller: A's callback swaps
 * B's table while B's callback swaps A's; a hotplug callback closes a handle
 * whose fnOnDisconnect deregisters that hotplug callback. The library knows
 * which threads are running its callbacks and what each of them waits for,
 * and never lets such a wait block:
 * - KyrSetEventNotify, KyrSetReportTap, KyrDeregisterHotplugCallback and
 *   KyrRegisterHotplugCallback fail at once with KYR_ERROR_NOT_SUPPORT and
 *   change nothing: the old table, tap or registration stays in force (so its
 *   Context must stay valid), and no new registration is made.
 * - KyrCloseDevice cannot fail: it makes such a call on the other thread fail
 *   instead (as above), and then waits as usual. Only where every call of the
 *   cycle is a close (two callbacks closing each other's handles) does it
 *   return without waiting: the handle is closed at once (no further
 *   callback, tap call or write of it starts) and freed once the callbacks
 *   still running on other threads have returned; what those callbacks use
 *   must stay valid until they return.
 *
 * Processes: a process that forks must not use the library in the child
 * unless the child execs first; the threads and USB state do not survive a
 * fork. The child may still end without exec (exit(), or a return from
 * main): the library's state it inherited belongs to the parent's threads,
 * and the child's end leaves it alone instead of tearing it down.
 */
typedef struct _KYR_EVENT_NOTIFY {
    void* Context;                              /**< handed back unchanged to every callback */
    FnOnKyrHandleEventsHandler fnOnHandleEvents; /**< during synchronous waits */
    FnOnKyrDisconnectHandler fnOnDisconnect;    /**< the device was unplugged */
    /** Return 1 to take the 64-byte report: it is then not decoded. */
    FnOnKyrReceiveRawDataHandler fnOnReceiveRawData;
    FnOnKyrDownloadingFirmwareHandler fnOnDownloadingFirmware; /**< a firmware download started or ended */
    FnOnKyrPacketHandler fnOnPacket;            /**< a decoded packet */
} KYR_EVENT_NOTIFY, *PKYR_EVENT_NOTIFY;

/**
 * @brief Opens the nDevIndex-th device with these ids on interface nMI: claims
 * the interface from the kernel driver, registers this client with the other
 * processes and starts reading. Any thread.
 * @param nVendorID USB vendor id.
 * @param nProductID USB product id.
 * @param nMI Interface number to drive (KYR_USB_MODEL_INTERFACE for the models).
 * @param nDevIndex Index among the matching devices, as for KyrGetDeviceInfo().
 * @return The handle, or null with the last error KYR_ERROR_NO_DEVICE (no such
 * device, or it could not be claimed), KYR_ERROR_ACCESS_DENIED (no permission
 * to open its device node; a udev rule mends that), KYR_ERROR_DEVICE_BUSY
 * (another client, in this or another process, has the device open),
 * KYR_ERROR_TIMEOUT (the lock of the state shared with other processes stayed
 * taken for about 5 s: another process holds it, or left it taken),
 * KYR_ERROR_SYNC_OBJECT_OVERFLOW or KYR_ERROR_UNKNOWN (the shared state or
 * libusb cannot be set up). A process that died with the device open does not
 * keep it: its claim is freed by the next open. The handle belongs to the
 * caller until KyrCloseDevice(); no callback runs before KyrSetEventNotify().
 */
KYR_API KYR_HANDLE KyrOpenDevice(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                                 unsigned short nDevIndex);

/**
 * @brief Installs a copy of the callback table (the table need not outlive the
 * call), replacing the previous one. Returns once no callback runs through the
 * old table any more, so that what its Context points to may be freed then;
 * called from inside a callback of this handle, it returns at once and that
 * callback finishes with the old table. A table of null pointers stops all
 * callbacks. Any thread.
 * @param hDevice The handle.
 * @param pNotify The callbacks; copied.
 * Last error: KYR_SUCCESS; KYR_ERROR_INVALID_PARAMETER for a null handle or
 * table, or KYR_ERROR_NOT_SUPPORT where waiting would close a cycle of waits
 * between callbacks (see KYR_EVENT_NOTIFY): the table in force stays.
 */
KYR_API void KyrSetEventNotify(KYR_HANDLE hDevice, PKYR_EVENT_NOTIFY pNotify);

/**
 * @brief Closes the device and frees the handle, which is invalid afterwards.
 * Any thread, a callback of the handle included.
 * @param hDevice The handle; null is ignored.
 * Calls on the handle still running on other threads fail (synchronous waits
 * end at once) and callbacks under way finish; no callback, tap call or write
 * of the handle starts once the close has begun. When KyrCloseDevice returns,
 * none is left and none follows, on any thread, the calling one included
 * (but see KYR_EVENT_NOTIFY for closes that would wait in a cycle). Called
 * from inside a callback of the handle, it returns once the other threads
 * have left, and the handle is freed after that callback has returned. Calls
 * that reach the handle after the close has begun fail with
 * KYR_ERROR_NO_DEVICE. A null handle leaves the last error unchanged. The
 * close waits for the lock of the state shared with other processes about 5 s
 * at most in all; when it stays taken, the device is given up all the same,
 * and the next open finds it free.
 */
KYR_API void KyrCloseDevice(KYR_HANDLE hDevice);

/**
 * @brief The open device's record.
 * @param hDevice The handle.
 * @return A record owned by the handle and valid while it stays open; do not
 * change it. Null with KYR_ERROR_NO_DEVICE once the device has gone,
 * KYR_ERROR_INVALID_PARAMETER for a null handle.
 */
KYR_API KYR_DEVICE_INFO KyrGetDeviceInfoFromHandle(KYR_HANDLE hDevice);

/**
 * @brief The platform's own handle of the device.
 * @param hDevice The handle.
 * @return Always null on this platform; KYR_ERROR_INVALID_PARAMETER for a null handle.
 */
KYR_API void* KyrGetLowDeviceHandle(KYR_HANDLE hDevice);

/**
 * @brief Marks or unmarks this client as the exclusive application, whose
 * gesture-feature value every client then sends.
 * @param hDevice The handle.
 * @param bUse 1 to mark, anything else to unmark.
 * Last error: KYR_SUCCESS; KYR_ERROR_TIMEOUT when the lock of the state shared
 * with other processes stayed taken for about 5 s (the other clients are not
 * told then); KYR_ERROR_INVALID_PARAMETER for a null handle.
 */
KYR_API void KyrUseExclusiveMode(KYR_HANDLE hDevice, int bUse);

/**
 * @brief Asks for data modes (KYR_HID_MODE_* bits) with an expire time in ms
 * and a gesture-feature value (all ones: none). The modes of all clients of the
 * device are merged and sent; the library re-sends them before they expire. An
 * expire time of 0 stops the re-sending. Decoded packets reach fnOnPacket only
 * for the modes asked for (responses of kind RSE, status and version packets
 * always). Any thread.
 * @param hDevice The handle.
 * @param nMode KYR_HID_MODE_* bits.
 * @param nExpireTime Milliseconds the device keeps streaming without being told
 * again; 0 stops the re-sending.
 * @param dwFgstValue kyrfgst* and kyrfgste* bits; all ones for none.
 * @return 1 when the request was taken (the last error tells whether sending it
 * failed: KYR_ERROR_FIRMWARE_DOWNLOAD, KYR_ERROR_SEND_FAIL, KYR_ERROR_TIMEOUT
 * (the lock of the state shared with other processes stayed taken for about
 * 5 s; nothing was sent) ...); 0 when the
 * device is not open (KYR_ERROR_NO_DEVICE; the request is remembered) or for a
 * null handle (KYR_ERROR_INVALID_PARAMETER).
 */
KYR_API int KyrSetInstantMode(KYR_HANDLE hDevice, int nMode, unsigned short nExpireTime, unsigned long dwFgstValue);

/**
 * @brief Longest command text, in characters without the NUL, that
 * KyrSendCommand() sends: text, NUL, header and CRC fill one command packet.
 */
#define KYR_MAX_COMMAND_TEXT 1013

/**
 * @brief Sends a text command (at most KYR_MAX_COMMAND_TEXT characters). Synchronous unless
 * bAsync == 1: waits up to nTimeout ms for the first response with the
 * command's id, on the calling thread, calling fnOnHandleEvents meanwhile.
 * An "instant_mode=LETTERS[,TIME[,0xGESTURE]]" command is taken as
 * KyrSetInstantMode; "instant_mode=?" is sent as it is.
 * A device that echoes a command before answering is waited for until its
 * answer or the timeout; one that only echoes counts as answered at the
 * timeout, without a response text.
 * @param hDevice The handle.
 * @param szCmd The command text, NUL-terminated.
 * @param bAsync 1 to return once sent; anything else waits for the answer.
 * @param nTimeout Milliseconds to wait for the answer.
 * @return Synchronous: 1 answered, 0 failed. Asynchronous: the command id (1 to
 * 255), -1 on failure. An instant-mode command returns what KyrSetInstantMode
 * did (1 when the expire time is 0, else the id of the command sent) either
 * way. Last error on failure: KYR_ERROR_NO_DEVICE (also once the device has
 * gone, during the wait too), KYR_ERROR_FIRMWARE_DOWNLOAD, KYR_ERROR_SEND_FAIL,
 * KYR_ERROR_TIMEOUT (no answer in time, the handle was closed meanwhile, or
 * the lock of the state shared with other processes stayed taken for about
 * 5 s), KYR_ERROR_INVALID_PARAMETER (null or over-long text, or an expire time
 * that is negative or beyond 2147483647), KYR_ERROR_NOT_SUPPORT (synchronous,
 * from the handle's read thread), KYR_ERROR_UNKNOWN.
 */
KYR_API int KyrSendCommand(KYR_HANDLE hDevice, const char* szCmd, int bAsync, unsigned short nTimeout);

/**
 * @brief The response text of the last synchronous command.
 * Kept only while the data modes include KYR_HID_MODE_COMMAND.
 * @param hDevice The handle.
 * @return The text, owned by the handle and valid until the next synchronous
 * command starts or the handle closes; null when none was kept, and with
 * KYR_ERROR_INVALID_PARAMETER for a null handle.
 */
KYR_API char* KyrGetResponse(KYR_HANDLE hDevice);

/**
 * @brief Writes a ready-made report buffer unchanged. Synchronous unless
 * bAsync == 1: then waits up to nTimeout ms for a packet whose id equals bytes
 * 3 and 4 of the buffer (so a synchronous buffer has at least 5 bytes).
 * @param hDevice The handle.
 * @param pBuffer The report bytes (see KyrCalculateCRC()).
 * @param nBufferSize Bytes in pBuffer.
 * @param bAsync 1 to return once written; anything else waits for the answer.
 * @param nTimeout Milliseconds to wait for the answer.
 * @return 1 on success; 0 with KYR_ERROR_NO_DEVICE (also once the device has
 * gone, during the wait too), KYR_ERROR_FIRMWARE_DOWNLOAD (another handle marks
 * a download), KYR_ERROR_DEVICE_BUSY (a synchronous send
 * is already waiting), KYR_ERROR_INVALID_PARAMETER (null or empty buffer),
 * KYR_ERROR_NOT_SUPPORT (synchronous, from the handle's read thread), a write
 * error, or KYR_SUCCESS when no answer came in time or the handle was closed
 * meanwhile.
 */
KYR_API int KyrSendBuffer(KYR_HANDLE hDevice, const unsigned char* pBuffer, unsigned short nBufferSize, int bAsync,
                          unsigned short nTimeout);

/**
 * @brief Asks the unit at address wAddr for its firmware mode, then for its
 * version, which arrives as a kyrtype_ver packet.
 * @param hDevice The handle.
 * @param wAddr Unit address: 0x0000 IAP side, 0x1000 main module, 0x2000 and
 * 0x4000 camera modules, 0xA000 and 0xC000 their sub-units.
 * @param pnMode Receives the firmware mode (0 when none came); set whenever
 * the handle is valid.
 * @param bAsync 1 to return once the version query is written; anything else
 * waits for the version too. The mode query always waits.
 * @param nTimeout Milliseconds to wait for each answer.
 * @return 1 when the answers came (asynchronously: the mode came and the
 * version query was written); 0 with the last error as for KyrSendBuffer(),
 * or KYR_ERROR_INVALID_PARAMETER for a null handle or pnMode.
 */
KYR_API int KyrQueryFirmwareVersion(KYR_HANDLE hDevice, unsigned short wAddr, int* pnMode, int bAsync,
                                    unsigned short nTimeout);

/**
 * @brief Marks a firmware download, machine-wide: until
 * KyrUnlockFirmwareDownload() or the end of this process, every handle of every
 * process refuses commands (KYR_ERROR_FIRMWARE_DOWNLOAD) and every other handle
 * refuses raw sends; each application hears of it through
 * fnOnDownloadingFirmware.
 * @param hDevice The handle that downloads; its own raw sends still go.
 * Last error: KYR_SUCCESS; KYR_ERROR_UNKNOWN when the machine-wide mark cannot
 * be set; KYR_ERROR_INVALID_PARAMETER for a null handle.
 */
KYR_API void KyrLockFirmwareDownload(KYR_HANDLE hDevice);
/**
 * @brief Ends the firmware download marked with KyrLockFirmwareDownload().
 * @param hDevice The handle that marked it.
 * Last error: KYR_SUCCESS; KYR_ERROR_UNKNOWN when the machine-wide mark cannot
 * be cleared; KYR_ERROR_INVALID_PARAMETER for a null handle.
 */
KYR_API void KyrUnlockFirmwareDownload(KYR_HANDLE hDevice);

/* ---- Version, diagnostics and device holders ---- */

/** @brief Major version of this header; the library's soname changes with it. */
#define KYR_VERSION_MAJOR 1
/** @brief Minor version of this header: additions that keep every existing call. */
#define KYR_VERSION_MINOR 0
/** @brief Patch version of this header: fixes only. */
#define KYR_VERSION_PATCH 0

/**
 * @brief The version of the loaded library, "MAJOR.MINOR.PATCH" (e.g. "1.0.0").
 * @return Static text owned by the library, valid as long as it is loaded.
 * It may differ from the KYR_VERSION_* macros the application was built with
 * when a newer library of the same major version is installed.
 * Needs no device and never touches the last error. Any thread.
 */
KYR_API const char* KyrGetVersion(void);

/** @brief Levels of the diagnostics given to a FnOnKyrLogHandler; each includes the ones before it. */
enum {
    KYR_LOG_NONE = 0,    /**< nothing: turns the diagnostics off */
    KYR_LOG_ERROR = 1,   /**< failures of libusb calls, with libusb's name for the code */
    KYR_LOG_WARNING = 2, /**< received reports and packets thrown away, with the reason and running counts */
    KYR_LOG_INFO = 3,    /**< steps of opening and closing a device */
    KYR_LOG_DEBUG = 4    /**< further detail */
};

/**
 * @brief Receives one diagnostic message.
 * @param nLevel The message's level, a KYR_LOG_* value from KYR_LOG_ERROR up.
 * @param szMessage One line of text without a line end, owned by the library
 * and valid only during the call.
 * @param pContext The pContext given to KyrSetLogCallback.
 */
typedef void (*FnOnKyrLogHandler)(int nLevel, const char* szMessage, void* pContext);

/**
 * @brief Turns the library's diagnostics on or off, for the whole process.
 *
 * Off by default: until a callback is set nothing is formatted or counted.
 * Messages tell the steps of opening a device, libusb calls that failed (with
 * libusb_error_name), and received reports and packets that were thrown away
 * with the reason (bad CRC, oversize, truncated, unknown type) and the
 * running count of each reason since the callback was set.
 *
 * @param nLevel The most detailed level wanted (KYR_LOG_ERROR to
 * KYR_LOG_DEBUG); KYR_LOG_NONE or less turns the diagnostics off.
 * @param fnLog The callback, or null to turn the diagnostics off. It runs on
 * whatever thread found the event (an application thread inside a library
 * call, or a device's read thread), one call at a time across the process;
 * it must not block for long, since a read thread waits for it. It may be
 * called while the library holds a lock of its own, so it may call only
 * KyrSetLogCallback, KyrGetVersion, KyrGetErrorName, KyrGetErrorDescription,
 * KyrGetLastError and the key-code and CRC functions; it must not wait for
 * another thread that is inside the library.
 * @param pContext Handed back unchanged to every call of fnLog.
 *
 * Replaces any previous callback; once this returns, the previous callback is
 * not running and will not be called again, so its context may be freed
 * (called from inside the callback, it returns at once and the running call
 * finishes). Never touches the last error. Any thread.
 */
KYR_API void KyrSetLogCallback(int nLevel, FnOnKyrLogHandler fnLog, void* pContext);

/**
 * @brief The processes that have the device open: those registered in the
 * device's shared block (the state all processes using it share), read under
 * the block's lock, leaving out processes that no longer run.
 *
 * Meant for explaining a KYR_ERROR_DEVICE_BUSY from KyrOpenDevice: the device
 * is chosen by the same four values.
 *
 * @param nVendorID Vendor id, as for KyrOpenDevice.
 * @param nProductID Product id.
 * @param nMI Interface number.
 * @param nDevIndex Index among matching devices.
 * @param pPids Caller's array that receives up to nMax process ids; may be
 * null when nMax is 0 (to count only).
 * @param nMax Room in pPids.
 * @return The number of live holders (0 when none; it may exceed nMax, in
 * which case only the first nMax are stored), with the last error
 * KYR_SUCCESS; -1 on failure, with KYR_ERROR_INVALID_PARAMETER (nMax negative,
 * or pPids null with nMax above 0), KYR_ERROR_NO_DEVICE (no such device),
 * KYR_ERROR_ACCESS_DENIED (no permission to open its device node),
 * KYR_ERROR_TIMEOUT (the block's lock stayed taken for about 5 s) or
 * KYR_ERROR_UNKNOWN. Does not claim the device and does not free the slots
 * of dead processes. Any thread.
 */
KYR_API int KyrGetDeviceHolders(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                                unsigned short nDevIndex, unsigned long* pPids, int nMax);

/* ---- Hotplug: devices arriving and leaving ---------------------------- */

/** @brief Events of a hotplug callback (nEvents of KyrRegisterHotplugCallback is a mask of them). */
enum {
    KYR_HOTPLUG_ARRIVED = 1, /**< a device was plugged in (or, with KYR_HOTPLUG_ENUMERATE, was already there) */
    KYR_HOTPLUG_LEFT = 2     /**< a device was unplugged */
};

/** @brief Flags of KyrRegisterHotplugCallback. */
enum {
    KYR_HOTPLUG_ENUMERATE = 1 /**< report the devices already present, as arrivals, before registration returns */
};

/** @brief As vendor id, product id or interface number: matches any. */
enum {
    KYR_HOTPLUG_MATCH_ANY = 0xFFFF /**< matches every vendor id, product id or interface number */
};

/**
 * @brief A hotplug callback.
 * @param devInfo The interface that arrived or left, read with the
 *        KyrGetDevInfo... accessors. Owned by the library and valid only
 *        during the call. Its device index is the one KyrOpenDevice takes for
 *        this interface when the event is delivered (for KYR_HOTPLUG_LEFT: the
 *        one it had on arrival; -1 when the device had gone before its
 *        arrival was delivered).
 * @param nEvent KYR_HOTPLUG_ARRIVED or KYR_HOTPLUG_LEFT.
 * @param pContext As given at registration.
 * @return 0 to stay registered; anything else deregisters the callback
 *         (after this call; no further event reaches it).
 */
typedef int (*FnKyrHotplug)(KYR_DEVICE_INFO devInfo, int nEvent, void* pContext);

/**
 * @brief Registers fn for arrivals and/or departures of matching devices.
 *
 * A device is reported once per matching interface, in interface order: with
 * nMI KYR_HOTPLUG_MATCH_ANY, once for each interface of its active
 * configuration; otherwise once, when it has more than nMI interfaces (as
 * KyrGetDeviceCount counts). An unconfigured device has no interfaces and is
 * never reported. Every other device arrives and then leaves, once each, even
 * when it has gone before its arrival is delivered: its device index is -1
 * then, and if it went before even its active configuration could be read,
 * its first configuration counts. A departure reports what was recorded when
 * the device arrived.
 *
 * All callbacks of the process run on one library thread, one at a time, in
 * the order the events happened; they run outside every lock of the library
 * and of libusb, so a callback may open and close devices and register or
 * deregister any callback, its own included. Block in a callback and the
 * events behind it wait.
 *
 * With KYR_HOTPLUG_ENUMERATE (and KYR_HOTPLUG_ARRIVED in nEvents), the
 * devices present when the registration takes effect are reported as
 * KYR_HOTPLUG_ARRIVED before this function returns,
 * also on the library thread (inside a callback, the caller's thread is that
 * thread, and they are reported from within this call); a device is reported
 * either so or as a later arrival, never both. A non-zero return ends these
 * reports too. Without the flag, only changes after the call are reported.
 *
 * Built on libusb's hotplug events; where libusb has none, the device list is
 * compared once a second. Any thread. At unload the library waits for a
 * running callback to return.
 *
 * @param nVendorID, nProductID, nMI Ids and interface number to match, or
 *        KYR_HOTPLUG_MATCH_ANY.
 * @param nEvents KYR_HOTPLUG_ARRIVED, KYR_HOTPLUG_LEFT or both (ORed).
 * @param nFlags 0 or KYR_HOTPLUG_ENUMERATE.
 * @param fn The callback; must not be null.
 * @param pContext Handed to fn unchanged.
 * @param pnHandle Receives the handle for KyrDeregisterHotplugCallback (a
 *        positive number, never reused); must not be null. Set before any
 *        callback runs, and kept even when an enumeration report already
 *        deregistered the callback.
 * @return 1 on success (KYR_SUCCESS); 0 with KYR_ERROR_INVALID_PARAMETER (null
 *         fn or pnHandle, an empty or unknown event mask, an unknown flag),
 *         KYR_ERROR_NOT_SUPPORT (with KYR_HOTPLUG_ENUMERATE, from a callback on
 *         another thread, where waiting for the library thread would close a
 *         cycle of waits, see KYR_EVENT_NOTIFY; nothing is registered) or
 *         KYR_ERROR_UNKNOWN (the USB layer or the library thread could not be
 *         set up).
 */
KYR_API int KyrRegisterHotplugCallback(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                                       int nEvents, int nFlags, FnKyrHotplug fn, void* pContext, int* pnHandle);

/**
 * @brief Deregisters a hotplug callback. From another thread than the
 * library's, it returns only after a running call of that callback has
 * finished, so its context may be freed then; from inside any hotplug
 * callback it returns at once (a running call is then the caller's own).
 * When the last callback goes, the library thread ends.
 * @param nHandle What KyrRegisterHotplugCallback stored in *pnHandle.
 * @return 1 (KYR_SUCCESS); 0 with KYR_ERROR_INVALID_PARAMETER when nHandle is
 *         not registered (never was, or was deregistered, by this function or
 *         by a non-zero return), or with KYR_ERROR_NOT_SUPPORT where waiting
 *         for the running call would close a cycle of waits between callbacks
 *         (see KYR_EVENT_NOTIFY): the callback stays registered.
 */
KYR_API int KyrDeregisterHotplugCallback(int nHandle);

/* ---- Report tap ---- */

/** @brief Direction of a report seen by the report tap. */
enum {
    KYR_REPORT_OUT = 0, /**< written to the device */
    KYR_REPORT_IN = 1   /**< read from the device */
};

/**
 * @brief A report tap: called for each report a handle moves.
 * @param hDevice The handle that moved the report.
 * @param nDirection KYR_REPORT_IN or KYR_REPORT_OUT.
 * @param nEndpoint The USB endpoint address (0x80 set for IN).
 * @param qwTimestampNs CLOCK_MONOTONIC time in nanoseconds at which the report
 *        was taken from the device or handed to it.
 * @param pReport The report's bytes; owned by the library, valid only during
 *        the call.
 * @param nLength Number of bytes at pReport.
 * @param pContext As given to KyrSetReportTap.
 */
typedef void (*FnKyrReportTap)(KYR_HANDLE hDevice, int nDirection, unsigned char nEndpoint,
                               unsigned long long qwTimestampNs, const unsigned char* pReport,
                               unsigned short nLength, void* pContext);

/**
 * @brief Installs fn as the handle's report tap, replacing the previous one; a
 * null fn removes it. The tap sees every report the handle reads or writes, as
 * one call per USB transfer: each completed interrupt IN transfer, before the
 * report is decoded (and before fnOnReceiveRawData), and each OUT transfer just
 * before it is submitted (a 64-byte piece of a command, a raw buffer or a
 * firmware query; a submission that fails has been seen all the same).
 *
 * Threads: the tap runs on the thread that moved the report: the device's read
 * thread for IN reports; the application thread that is sending, or the
 * handle's instant-mode timer thread (its keep-alive), for OUT reports. Calls
 * may therefore overlap, and the tap must be thread-safe. pReport belongs to
 * the library and is valid only during the call. The tap may call any
 * function of this library except a synchronous send on the same handle from
 * its read thread (as for the callbacks of KYR_EVENT_NOTIFY); it must not
 * close its own handle.
 *
 * Lifetime: returns once no call of the previous tap runs any more, so that
 * what its pContext points to may be freed then; called from inside a tap or
 * callback of this handle, it returns at once and that call finishes with the
 * tap it started with. KyrCloseDevice removes the tap: once it has returned no
 * tap call of the handle runs or starts.
 *
 * Cost: with no tap installed, one atomic load per report.
 *
 * @param hDevice An open handle.
 * @param fn The new tap, or null to remove it.
 * @param pContext Handed to fn unchanged.
 * Last error: KYR_SUCCESS; KYR_ERROR_INVALID_PARAMETER for a null handle;
 * KYR_ERROR_NO_DEVICE once the handle is closing; KYR_ERROR_NOT_SUPPORT where
 * waiting would close a cycle of waits between callbacks (see
 * KYR_EVENT_NOTIFY): the tap in force stays.
 */
KYR_API void KyrSetReportTap(KYR_HANDLE hDevice, FnKyrReportTap fn, void* pContext);

#ifdef __cplusplus
}
#endif

#endif /* KYRHIDLIB_H */
