/* The public header as a plain C99 program sees it, and the fixed answers of
 * the record accessors to a null record. Runs without any device. */
#include <stdio.h>
#include <string.h>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

static int g_nFailures = 0;

#define CHECK(cond)                                                      \
    do {                                                                 \
        if (!(cond)) {                                                   \
            fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_nFailures;                                               \
        }                                                                \
    } while (0)

/* Called on a null record: the fixed answer, and the last error says why. */
#define CHECK_NULL(call, answer)                               \
    do {                                                       \
        g_nLastError = KYR_SUCCESS;                            \
        CHECK((call) == (answer));                             \
        CHECK(KyrGetLastError() == KYR_ERROR_INVALID_PARAMETER); \
    } while (0)

int main(void)
{
    /* Vendor id of a null record: 0, last error left as it was. */
    (void)KyrGetDevInfoPath(NULL);
    CHECK(KyrGetDevInfoVendorID(NULL) == 0);
    CHECK(g_nLastError == KYR_ERROR_INVALID_PARAMETER);

    CHECK_NULL(KyrGetDevInfoProductID(NULL), 65535);
    CHECK_NULL(KyrGetDevInfoInterfaceNumber(NULL), 65535);
    CHECK_NULL(KyrGetDevInfoDeviceIndex(NULL), -1);
    CHECK_NULL(KyrGetDevInfoPath(NULL), NULL);

    /* Error names and descriptions cover every code and leave the last error. */
    g_nLastError = KYR_ERROR_TIMEOUT;
    CHECK(strcmp(KyrGetErrorName(KYR_ERROR_ACCESS_DENIED), "KYR_ERROR_ACCESS_DENIED") == 0);
    CHECK(strcmp(KyrGetErrorName(KYR_ERROR_UNKNOWN), "KYR_ERROR_UNKNOWN") == 0);
    CHECK(strcmp(KyrGetErrorName(-11), "KYR_ERROR_?") == 0);
    CHECK(strlen(KyrGetErrorDescription(KYR_ERROR_DEVICE_BUSY)) > 0);
    CHECK(KyrGetLastError() == KYR_ERROR_TIMEOUT);

    if (g_nFailures != 0) {
        fprintf(stderr, "%d check(s) failed\n", g_nFailures);
        return 1;
    }
    return 0;
}
