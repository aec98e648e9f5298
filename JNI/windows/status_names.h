/*
 * Names of the Windows platform's answers for the trace: last errors and
 * registry statuses (Win32 codes), HRESULTs, and the SECURITY_STATUS of
 * CNG.  A curated table of the values these natives meet; a value without
 * a name is written as hex only.  Windows build only.
 */
#ifndef ORVJNI_WINDOWS_STATUS_NAMES_H
#define ORVJNI_WINDOWS_STATUS_NAMES_H

#if defined(_WIN32)

#include <stdint.h>

#include "runtime/trace.h"

/* The name of a thread's last error or an LSTATUS; CryptoAPI also leaves
 * NTE_*, CRYPT_E_* and SCARD_* values as last errors, so those are found
 * too.  Null for a value without a name. */
const char *Win32CodeName(uint32_t code);
/* The name of an HRESULT (S_OK, E_INVALIDARG, NTE_BAD_KEYSET, ...). */
const char *HresultName(uint32_t code);
/* The name of a SECURITY_STATUS (ERROR_SUCCESS, NTE_*, and the STATUS_*
 * some providers answer). */
const char *SecurityStatusName(uint32_t code);

/* "ERROR_ACCESS_DENIED (0x5)", "0x1234" without a name. */
void TraceWin32Code(TraceLine *line, uint32_t code);
/* As TraceWin32Code; an HRESULT made from a Win32 code without a name of
 * its own reads "HRESULT_FROM_WIN32(ERROR_BUSY) (0x800700aa)". */
void TraceHresult(TraceLine *line, uint32_t code);
void TraceSecurityStatus(TraceLine *line, uint32_t code);

#endif
#endif
