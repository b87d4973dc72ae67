// The kernel records the driver reads and writes, laid out exactly as Windows x64 lays them out.
// Plain fixed-width fields, so the same header compiles on Linux (where the harness builds the
// records) and with mingw-w64 next to the ddk headers (where layout_check.cpp holds every offset
// to the real structures).
#ifndef CORVAX_HARNESS_NT_LAYOUT_H
#define CORVAX_HARNESS_NT_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace nt {

constexpr int kMajorFunctionCount = 28;  // IRP_MJ_MAXIMUM_FUNCTION + 1

constexpr uint8_t kMjCreate = 0x00;
constexpr uint8_t kMjClose = 0x02;
constexpr uint8_t kMjRead = 0x03;
constexpr uint8_t kMjWrite = 0x04;
constexpr uint8_t kMjDeviceControl = 0x0E;
constexpr uint8_t kMjCleanup = 0x12;

// Object type codes in the records' Type field.
constexpr int16_t kIoTypeDevice = 3;
constexpr int16_t kIoTypeDriver = 4;
constexpr int16_t kIoTypeIrp = 6;

constexpr uint16_t kMdlMappedToSystemVa = 0x0001;
constexpr uint16_t kMdlPagesLocked = 0x0002;
constexpr uint16_t kMdlSourceIsNonpagedPool = 0x0004;
constexpr uint16_t kMdlWriteOperation = 0x0080;
constexpr uint16_t kMdlIoSpace = 0x0800;

constexpr uint32_t kDoDeviceInitializing = 0x00000080;

// Page protections of MmMapIoSpaceEx: one base protection, optionally one caching attribute.
constexpr uint32_t kPageReadOnly = 0x02;
constexpr uint32_t kPageReadWrite = 0x04;
constexpr uint32_t kPageExecute = 0x10;
constexpr uint32_t kPageExecuteRead = 0x20;
constexpr uint32_t kPageExecuteReadWrite = 0x40;
constexpr uint32_t kPageNoCache = 0x200;
constexpr uint32_t kPageWriteCombine = 0x400;

// The priority flag of MmMapLockedPagesSpecifyCache that makes the view non-executable (not in
// mingw-w64's headers, so layout_check.cpp cannot hold it to them).
constexpr uint32_t kMdlMappingNoExecute = 0x40000000;

// Pool: the no-execute bit of a POOL_TYPE, and the POOL_FLAGS of ExAllocatePool2 (the flags are
// not in mingw-w64's headers either).
constexpr uint32_t kPoolTypePaged = 1;
constexpr uint32_t kNonPagedPoolNx = 512;
constexpr uint64_t kPoolFlagNonPagedExecute = 0x80;

struct UnicodeString {
    uint16_t Length;
    uint16_t MaximumLength;
    uint32_t Padding;
    uint16_t* Buffer;
};

struct ListEntry {
    ListEntry* Flink;
    ListEntry* Blink;
};

struct Mdl {
    Mdl* Next;
    int16_t Size;
    int16_t MdlFlags;
    uint16_t AllocationProcessorNumber;
    uint16_t Reserved;
    void* Process;
    void* MappedSystemVa;
    void* StartVa;
    uint32_t ByteCount;
    uint32_t ByteOffset;
    // The page frame numbers follow the record.
};

struct DriverObject;
struct DeviceObject;
struct Irp;

using DispatchRoutine = int32_t(__attribute__((ms_abi)) *)(DeviceObject*, Irp*);
using UnloadRoutine = void(__attribute__((ms_abi)) *)(DriverObject*);
using DriverInitialize = int32_t(__attribute__((ms_abi)) *)(DriverObject*, UnicodeString*);

struct DriverExtension {
    DriverObject* DriverObjectBack;
    void* AddDevice;
    uint32_t Count;
    uint32_t Padding;
    UnicodeString ServiceKeyName;
};

struct DriverObject {
    int16_t Type;
    int16_t Size;
    uint32_t Padding0;
    DeviceObject* DeviceObjectList;
    uint32_t Flags;
    uint32_t Padding1;
    void* DriverStart;
    uint32_t DriverSize;
    uint32_t Padding2;
    void* DriverSection;
    DriverExtension* Extension;
    UnicodeString DriverName;
    UnicodeString* HardwareDatabase;
    void* FastIoDispatch;
    DriverInitialize DriverInit;
    void* DriverStartIo;
    UnloadRoutine DriverUnload;
    DispatchRoutine MajorFunction[kMajorFunctionCount];
};

struct DeviceObject {
    int16_t Type;
    uint16_t Size;
    int32_t ReferenceCount;
    DriverObject* Driver;
    DeviceObject* NextDevice;
    DeviceObject* AttachedDevice;
    Irp* CurrentIrp;
    void* Timer;
    uint32_t Flags;
    uint32_t Characteristics;
    void* Vpb;
    void* DeviceExtension;
    uint32_t DeviceType;
    int8_t StackSize;
    uint8_t Padding0[3];
    uint8_t Queue[72];  // LIST_ENTRY / WAIT_CONTEXT_BLOCK
    uint32_t AlignmentRequirement;
    uint32_t Padding1;
    uint8_t DeviceQueue[40];  // KDEVICE_QUEUE
    uint8_t Dpc[64];          // KDPC
    uint32_t ActiveThreadCount;
    uint32_t Padding2;
    void* SecurityDescriptor;
    uint8_t DeviceLock[24];  // KEVENT
    uint16_t SectorSize;
    uint16_t Spare1;
    uint32_t Padding3;
    void* DeviceObjectExtension;
    void* Reserved;
};

struct IoStatusBlock {
    int32_t Status;
    uint32_t Padding;
    uint64_t Information;
};

struct Irp {
    int16_t Type;
    uint16_t Size;
    uint16_t AllocationProcessorNumber;
    uint16_t Reserved;
    Mdl* MdlAddress;
    uint32_t Flags;
    uint32_t Padding0;
    void* SystemBuffer;  // AssociatedIrp
    ListEntry ThreadListEntry;
    IoStatusBlock IoStatus;
    int8_t RequestorMode;
    uint8_t PendingReturned;
    int8_t StackCount;
    int8_t CurrentLocation;
    uint8_t Cancel;
    uint8_t CancelIrql;
    int8_t ApcEnvironment;
    uint8_t AllocationFlags;
    IoStatusBlock* UserIosb;
    void* UserEvent;
    uint8_t Overlay[16];
    void* CancelRoutine;
    void* UserBuffer;
    // Tail.Overlay
    void* DriverContext[4];
    void* Thread;
    char* AuxiliaryBuffer;
    ListEntry ListEntry_;
    struct IoStackLocation* CurrentStackLocation;
    void* OriginalFileObject;
    void* IrpExtension;
};

struct IoStackLocation {
    uint8_t MajorFunction;
    uint8_t MinorFunction;
    uint8_t Flags;
    uint8_t Control;
    uint32_t Padding0;
    // Parameters.DeviceIoControl; Parameters.Read/Write put Length at the first field.
    uint32_t OutputBufferLength;
    uint32_t Padding1;
    uint32_t InputBufferLength;
    uint32_t Padding2;
    uint32_t IoControlCode;
    uint32_t Padding3;
    void* Type3InputBuffer;
    DeviceObject* Device;
    void* FileObject;
    void* CompletionRoutine;
    void* Context;
};

// KMUTEX and KSPIN_LOCK only need their sizes here: the harness keeps its own lock state.
constexpr size_t kMutexSize = 56;
constexpr size_t kSpinLockSize = 8;

// SE_EXPORTS: the two well-known identifiers the driver reads.
constexpr size_t kSeLocalSystemSidOffset = 0x108;
constexpr size_t kSeAliasAdminsSidOffset = 0x110;
constexpr size_t kSeExportsSize = 0x208;

}  // namespace nt

#endif  // CORVAX_HARNESS_NT_LAYOUT_H
