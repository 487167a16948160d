/*
 * KyrHIDLib — access to the optical touch-sensing devices of the Kyr family.
 *
 * Flat C interface. Every function reports failures through the process-wide
 * last error (g_nLastError / KyrGetLastError()); see each function for the
 * codes it can leave there. Nothing is thrown and nothing is logged.
 *
 * The header compiles as C99 and as C++.
 */
#ifndef KYRHIDLIB_H
#define KYRHIDLIB_H

#include <stddef.h>

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

/** Error codes left in the last error. */
enum {
    KYR_SUCCESS = 0,
    KYR_ERROR_NO_DEVICE = -1,
    KYR_ERROR_FIRMWARE_DOWNLOAD = -2,
    KYR_ERROR_TIMEOUT = -3,
    KYR_ERROR_SYNC_OBJECT_OVERFLOW = -4,
    KYR_ERROR_ALREADY_OPENED = -5,
    KYR_ERROR_DEVICE_BUSY = -6,
    KYR_ERROR_NOT_SUPPORT = -7,
    KYR_ERROR_SEND_FAIL = -8,
    KYR_ERROR_INVALID_PARAMETER = -9,
    KYR_ERROR_ACCESS_DENIED = -10,
    KYR_ERROR_UNKNOWN = -20
};

/**
 * @brief The last error of the process: one value shared by all threads,
 * including the library's own. Prefer KyrGetLastError(), which reads it
 * without a data race.
 */
extern KYR_API int g_nLastError;

/** @brief Current value of the last error. Any thread. Does not change it. */
KYR_API int KyrGetLastError(void);

/**
 * @brief Symbolic name of an error code ("KYR_ERROR_TIMEOUT"), or "KYR_ERROR_?"
 * for a value that is not a code. Static text; never touches the last error.
 */
KYR_API const char* KyrGetErrorName(int nError);

/**
 * @brief One-line explanation of an error code. Static text; never touches the
 * last error.
 */
KYR_API const char* KyrGetErrorDescription(int nError);

/**
 * @brief Number of attached devices with these ids whose active configuration
 * has more than nMI interfaces. Never touches the last error; 0 when the
 * device list is unavailable. Any thread.
 */
KYR_API int KyrGetDeviceCount(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI);

/**
 * @brief Describes the nDevIndex-th matching device (counting from 0, in the
 * system's device-list order).
 * @return A record owned by the library, valid as long as the library is
 * loaded; the next successful call, from any thread, overwrites it (the same
 * address is returned every time). Null on failure, with the last error set to
 * KYR_ERROR_NO_DEVICE (no such device, device list unavailable, device gone),
 * KYR_ERROR_ACCESS_DENIED (no permission to open it) or KYR_ERROR_UNKNOWN.
 * Callers on several threads serialise their calls themselves.
 */
KYR_API KYR_DEVICE_INFO KyrGetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                                         unsigned short nDevIndex);

/** @brief Vendor id of the record; 0 for a null record. Never touches the last error. */
KYR_API unsigned short KyrGetDevInfoVendorID(KYR_DEVICE_INFO devInfo);
/** @brief Product id; 65535 and KYR_ERROR_INVALID_PARAMETER for a null record, else KYR_SUCCESS. */
KYR_API unsigned short KyrGetDevInfoProductID(KYR_DEVICE_INFO devInfo);
/** @brief Interface number; 65535 and KYR_ERROR_INVALID_PARAMETER for a null record, else KYR_SUCCESS. */
KYR_API unsigned short KyrGetDevInfoInterfaceNumber(KYR_DEVICE_INFO devInfo);
/** @brief Index among matching devices; -1 and KYR_ERROR_INVALID_PARAMETER for a null record, else KYR_SUCCESS. */
KYR_API int KyrGetDevInfoDeviceIndex(KYR_DEVICE_INFO devInfo);
/**
 * @brief Device path "bbbb:aaaa:ii" (bus, address, interface in lower-case
 * hex). Returns the record's own buffer, not a copy: it lives as long as the
 * record. Null and KYR_ERROR_INVALID_PARAMETER for a null record, else KYR_SUCCESS.
 */
KYR_API char* KyrGetDevInfoPath(KYR_DEVICE_INFO devInfo);

#ifdef __cplusplus
}
#endif

#endif /* KYRHIDLIB_H */
