/*
 * Corvax public interface: control codes, status values and the records that cross the
 * user/kernel boundary. Plain C; user-mode clients include it as it is.
 *
 * Every record is little-endian and packed; sizes and offsets are checked at compile time.
 */
#ifndef CORVAX_IOCTL_H
#define CORVAX_IOCTL_H

#include <stddef.h>
#include <stdint.h>

#define CORVAX_DEVICE_NAME_W L"\\Device\\CorvaxDevice"
#define CORVAX_LINK_NAME_W L"\\DosDevices\\CorvaxDev"
#define CORVAX_USER_PATH "\\\\.\\CorvaxDev"

#define CORVAX_DRIVER_VERSION 0x02000120u /* "2.0.1.20" */

/* device type 0x22 (FILE_DEVICE_UNKNOWN) << 16 | access 0 << 14 | function << 2 | method */
#define CORVAX_CTL_CODE(function, method) ((0x22u << 16) | ((function) << 2) | (method))
#define CORVAX_METHOD_BUFFERED 0u
#define CORVAX_METHOD_IN_DIRECT 1u
#define CORVAX_METHOD_OUT_DIRECT 2u
#define CORVAX_METHOD_NEITHER 3u

#define CORVAX_RESCAN CORVAX_CTL_CODE(0x500u, CORVAX_METHOD_BUFFERED)
#define CORVAX_QUERY CORVAX_CTL_CODE(0x501u, CORVAX_METHOD_BUFFERED)
#define CORVAX_QUERY_8618 CORVAX_CTL_CODE(0x502u, CORVAX_METHOD_BUFFERED)
#define CORVAX_ON_BRIDGE CORVAX_CTL_CODE(0x503u, CORVAX_METHOD_BUFFERED)
#define CORVAX_GET_TABLE CORVAX_CTL_CODE(0x504u, CORVAX_METHOD_OUT_DIRECT)
#define CORVAX_RESCAN_RESTORE CORVAX_CTL_CODE(0x505u, CORVAX_METHOD_OUT_DIRECT)
#define CORVAX_UPDATE CORVAX_CTL_CODE(0x506u, CORVAX_METHOD_BUFFERED)
#define CORVAX_DISABLE_BRIDGE CORVAX_CTL_CODE(0x507u, CORVAX_METHOD_BUFFERED)
#define CORVAX_ENABLE_BRIDGE CORVAX_CTL_CODE(0x508u, CORVAX_METHOD_BUFFERED)
#define CORVAX_READ_CONFIG CORVAX_CTL_CODE(0x50Au, CORVAX_METHOD_OUT_DIRECT)
#define CORVAX_GET_BITMAP CORVAX_CTL_CODE(0x50Cu, CORVAX_METHOD_BUFFERED)
#define CORVAX_SET_LED CORVAX_CTL_CODE(0x50Du, CORVAX_METHOD_BUFFERED)
#define CORVAX_SET_LED_ALL CORVAX_CTL_CODE(0x50Eu, CORVAX_METHOD_BUFFERED)
#define CORVAX_CLR_CPM CORVAX_CTL_CODE(0x50Fu, CORVAX_METHOD_BUFFERED)
#define CORVAX_GET_VERSION CORVAX_CTL_CODE(0x563u, CORVAX_METHOD_BUFFERED)
#define CORVAX_SET_DEVICE_ID_LIST CORVAX_CTL_CODE(0x564u, CORVAX_METHOD_BUFFERED)

#define PLX_UPDATE CORVAX_CTL_CODE(0x601u, CORVAX_METHOD_BUFFERED)
#define PLX_RESCAN CORVAX_CTL_CODE(0x602u, CORVAX_METHOD_BUFFERED)
#define PLX_RESCAN_RESTORE CORVAX_CTL_CODE(0x603u, CORVAX_METHOD_BUFFERED)
#define PLX_QUERY_PCI CORVAX_CTL_CODE(0x604u, CORVAX_METHOD_BUFFERED)
#define PLX_ENABLE CORVAX_CTL_CODE(0x605u, CORVAX_METHOD_BUFFERED)
#define PLX_DISABLE CORVAX_CTL_CODE(0x606u, CORVAX_METHOD_BUFFERED)
#define PLX_GET_BITMAP CORVAX_CTL_CODE(0x607u, CORVAX_METHOD_BUFFERED)
#define PLX_SET_LED CORVAX_CTL_CODE(0x608u, CORVAX_METHOD_BUFFERED)
#define PLX_SET_LED_ALL CORVAX_CTL_CODE(0x609u, CORVAX_METHOD_BUFFERED)
#define PLX_READ_CONFIG CORVAX_CTL_CODE(0x60Au, CORVAX_METHOD_OUT_DIRECT)
#define PLX_GET_VERSION CORVAX_CTL_CODE(0x663u, CORVAX_METHOD_BUFFERED)
#define PLX_SET_DEVICE_ID_LIST CORVAX_CTL_CODE(0x664u, CORVAX_METHOD_BUFFERED)

/* Status values the driver completes requests with. */
#define CORVAX_STATUS_SUCCESS 0x00000000u
#define CORVAX_STATUS_INVALID_PARAMETER 0xC000000Du
#define CORVAX_STATUS_BUFFER_TOO_SMALL 0xC0000023u
#define CORVAX_STATUS_INSUFFICIENT_RESOURCES 0xC000009Au
#define CORVAX_STATUS_FAIL_CHECK 0xC0000229u

/* Switch identifiers: configuration dword 0 of the upstream port. */
#define CORVAX_PLX8618_ID 0x861810b5u
#define CORVAX_PLX8732_ID 0x873210b5u
#define CORVAX_PLX8748_ID 0x874810b5u

/* Sizes the requests ask for. */
#define CORVAX_TABLE_SIZE 1024u
#define CORVAX_TABLE_ENTRIES 32u
#define CORVAX_QUERY_PCI_SIZE 1800u
#define CORVAX_BITMAP_SIZE 12u
#define CORVAX_CONFIG_SIZE 256u
#define CORVAX_DEVICE_ID_LIST_ENTRIES 256u

/* PciTableEntry fgStatus bits. */
#define CORVAX_ENTRY_NEW_DEVICE 0x80000000u
#define CORVAX_ENTRY_NO_MEMORY 0x08000000u
#define CORVAX_ENTRY_FOREIGN_VENDOR 0x00000001u

/* SlotImage fgStatus bits. */
#define CORVAX_SLOT_PRESENT 0x80u
#define CORVAX_SLOT_ONBOARD 0x40u

#pragma pack(push, 1)

/* One drive of CORVAX_GET_TABLE. */
typedef struct PciTableEntry {
    uint32_t pciLocation; /* PFA: bus << 8 | device << 3 | function */
    uint32_t pciID;       /* device ID << 16 | vendor ID */
    uint32_t bdgIndex;    /* switch number from 1; 0 for an on-board drive */
    uint32_t bdgDevId;    /* device number of the downstream port */
    uint32_t bdgPciId;    /* identifier of the switch */
    uint32_t fgStatus;    /* CORVAX_ENTRY_* bits */
    uint32_t RsvU2[2];
} PciTableEntry;

/* The first 24 bytes of a registry drive slot, as PLX_QUERY_PCI returns them. */
typedef struct SlotImage {
    uint8_t fgStatus;       /* 0x80 drive present */
    uint8_t bdgDeviceIndex; /* slot index */
    uint8_t bdgDeviceId;    /* device number of the downstream port */
    uint8_t bdgMps;         /* Max_Payload_Size encoding in bits 7:5 */
    uint32_t pciPFA;
    uint16_t vendorId;
    uint16_t deviceId;
    uint32_t reserved;
    uint32_t barAddrLow;
    uint32_t barAddrHigh;
} SlotImage;

/* One switch record of PLX_QUERY_PCI; three of them make the 1800-byte answer. */
typedef struct BridgeApInfo {
    uint32_t pciID;
    uint32_t bdgPFA;
    uint32_t OriginalMap;
    uint32_t CurrentMap;
    uint32_t PrimaryBus;
    uint32_t SecondaryBus;
    SlotImage OriginalSlot[12];
    SlotImage CurrentSlot[12];
} BridgeApInfo;

/* Input of CORVAX_SET_LED / PLX_SET_LED. */
typedef struct CorvaxLedRequest {
    uint32_t pfa;
    uint32_t ledType;
} CorvaxLedRequest;

#pragma pack(pop)

#ifdef __cplusplus
#define CORVAX_STATIC_ASSERT(e, m) static_assert(e, m)
#else
#define CORVAX_STATIC_ASSERT(e, m) _Static_assert(e, m)
#endif

CORVAX_STATIC_ASSERT(sizeof(PciTableEntry) == 32, "PciTableEntry is 32 bytes");
CORVAX_STATIC_ASSERT(offsetof(PciTableEntry, pciID) == 4, "pciID at 4");
CORVAX_STATIC_ASSERT(offsetof(PciTableEntry, bdgIndex) == 8, "bdgIndex at 8");
CORVAX_STATIC_ASSERT(offsetof(PciTableEntry, bdgDevId) == 12, "bdgDevId at 12");
CORVAX_STATIC_ASSERT(offsetof(PciTableEntry, bdgPciId) == 16, "bdgPciId at 16");
CORVAX_STATIC_ASSERT(offsetof(PciTableEntry, fgStatus) == 20, "fgStatus at 20");
CORVAX_STATIC_ASSERT(offsetof(PciTableEntry, RsvU2) == 24, "RsvU2 at 24");
CORVAX_STATIC_ASSERT(sizeof(PciTableEntry) * CORVAX_TABLE_ENTRIES == CORVAX_TABLE_SIZE,
                     "the table holds 32 entries");

CORVAX_STATIC_ASSERT(sizeof(SlotImage) == 24, "SlotImage is 24 bytes");
CORVAX_STATIC_ASSERT(offsetof(SlotImage, pciPFA) == 4, "pciPFA at 4");
CORVAX_STATIC_ASSERT(offsetof(SlotImage, vendorId) == 8, "vendor ID at 8");
CORVAX_STATIC_ASSERT(offsetof(SlotImage, deviceId) == 10, "device ID at 10");
CORVAX_STATIC_ASSERT(offsetof(SlotImage, reserved) == 12, "reserved at 12");
CORVAX_STATIC_ASSERT(offsetof(SlotImage, barAddrLow) == 16, "barAddr low at 16");
CORVAX_STATIC_ASSERT(offsetof(SlotImage, barAddrHigh) == 20, "barAddr high at 20");

CORVAX_STATIC_ASSERT(sizeof(BridgeApInfo) == 600, "BridgeApInfo is 600 bytes");
CORVAX_STATIC_ASSERT(offsetof(BridgeApInfo, bdgPFA) == 4, "bdgPFA at 4");
CORVAX_STATIC_ASSERT(offsetof(BridgeApInfo, OriginalMap) == 8, "OriginalMap at 8");
CORVAX_STATIC_ASSERT(offsetof(BridgeApInfo, CurrentMap) == 12, "CurrentMap at 12");
CORVAX_STATIC_ASSERT(offsetof(BridgeApInfo, PrimaryBus) == 16, "PrimaryBus at 16");
CORVAX_STATIC_ASSERT(offsetof(BridgeApInfo, SecondaryBus) == 20, "SecondaryBus at 20");
CORVAX_STATIC_ASSERT(offsetof(BridgeApInfo, OriginalSlot) == 24, "OriginalSlot at 24");
CORVAX_STATIC_ASSERT(offsetof(BridgeApInfo, CurrentSlot) == 312, "CurrentSlot at 312");
CORVAX_STATIC_ASSERT(3 * sizeof(BridgeApInfo) == CORVAX_QUERY_PCI_SIZE, "three records");

CORVAX_STATIC_ASSERT(sizeof(CorvaxLedRequest) == 8, "LED input is 8 bytes");

#endif /* CORVAX_IOCTL_H */
