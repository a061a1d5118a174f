/* Dorvane: JTAG (and SWD through a virtual JTAG-DP) over FTDI MPSSE pods.
 *
 * Two layers of exports over the same operations:
 *  - the x_ layer takes a controller handle first and may be called from many threads;
 *  - the plain layer works on the one controller that open_kpx / resume_kpx opened and
 *    serialises all its calls on one process-wide lock.
 * Operations return 0 on success, 1 on failure (read the reason with kpx_error_nbr /
 * kpx_error_msg or their x_ twins) and 2 where the controller does not support the call.
 * Bit vectors are arrays of 16-bit words: bit k is bit k % 16 of word k / 16, bit 0 first.
 */
#ifndef DORVANE_DORVANE_H
#define DORVANE_DORVANE_H

#include <stdint.h>

#define DORVANE_VERSION_MAJOR 0
#define DORVANE_VERSION_MINOR 1
#define DORVANE_VERSION_PATCH 0
#define DORVANE_API_VERSION ((DORVANE_VERSION_MAJOR << 16) | (DORVANE_VERSION_MINOR << 8) | DORVANE_VERSION_PATCH)

/* Calling convention: cdecl everywhere (one entry point serves exports with different
 * argument counts, which only a caller-cleans-up convention allows). */
#if defined(_WIN32) && !defined(_WIN64)
#define DORVANE_CALL __cdecl
#else
#define DORVANE_CALL
#endif

#if defined(_WIN32)
#if defined(DORVANE_BUILDING_LIBRARY)
#define DORVANE_API_VIS __declspec(dllexport)
#else
#define DORVANE_API_VIS __declspec(dllimport)
#endif
#elif defined(DORVANE_BUILDING_LIBRARY)
#define DORVANE_API_VIS __attribute__((visibility("default")))
#else
#define DORVANE_API_VIS
#endif

#ifdef __cplusplus
#define DORVANE_API extern "C" DORVANE_API_VIS
#else
#define DORVANE_API DORVANE_API_VIS
#endif

/* The controller information record, a live view into the controller. On 32-bit builds it
 * is 37 consecutive 32-bit words at fixed offsets (noted per field); on 64-bit builds the
 * pointer slots are pointer-sized and keep the same order. Owned by the library: valid
 * until the handle is closed or suspended. */
typedef struct DorvaneControllerInfo {
    uint32_t identification;        /*   0: 0x80671C0F */
    uint32_t word4;                 /*   4: 0 */
    uint32_t word8;                 /*   8: 2 */
    uint32_t controllerType;        /*  12: 9 */
    int32_t maxTckKHz;              /*  16: highest TCK frequency in kHz */
    uint32_t word20;                /*  20: 1 */
    uint32_t words24[6];            /*  24..44: 0 */
    uint32_t podTapType;            /*  48: 128 */
    uint32_t word52;                /*  52: 1 */
    const uint32_t* pair56;         /*  56: constant pair 128, 0 */
    const uint32_t* pair60;         /*  60: constant pair 0, 0 */
    const uint32_t* pair64;         /*  64: constant pair 0, 0 */
    const uint32_t* value68;        /*  68: a value word of the controller (0) */
    uint32_t tckKHz;                /*  72: TCK frequency in force, kHz */
    uint32_t word76;                /*  76: 4095 */
    uint32_t capabilities;          /*  80: 0x80A, 0x80B with a TRST pin */
    const char* serialNumber;       /*  84: serial number text */
    uint32_t words88[3];            /*  88..96: 0 */
    uint32_t word100;               /* 100: 1 */
    const uint32_t* pair104;        /* 104: constant pair 1, 0 */
    const uint32_t* pair108;        /* 108: constant pair 128, 0 */
    const uint32_t* pair112;        /* 112: constant pair 0, 0 */
    const uint32_t* pair116;        /* 116: constant pair 0, 0 */
    const uint32_t* value120;       /* 120: a value word of the controller (0) */
    const uint32_t* pair124;        /* 124: constant pair 0, 0 */
    const uint32_t* pair128;        /* 128: constant pair 0, 0 */
    const uint32_t* pair132;        /* 132: constant pair 0, 0 */
    const uint32_t* value136;       /* 136: a value word of the controller (0) */
    const uint32_t* pair140;        /* 140: constant pair 0, 0 */
    uint32_t word144;               /* 144: 0 */
} DorvaneControllerInfo;

#include "dorvane_exports.inc"

#endif
