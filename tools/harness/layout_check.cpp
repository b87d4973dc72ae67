// Holds every record of nt_layout.h to the real structure of mingw-w64's ddk headers: compiled
// with the Windows cross compiler only (a test runs it), and it compiles only if each offset and
// size is the one Windows x64 uses.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#include <ntddk.h>

#include <stddef.h>

#include "tools/harness/nt_layout.h"

#define SAME_OFFSET(ours, field, theirs, theirField)                     \
    static_assert(offsetof(ours, field) == offsetof(theirs, theirField), \
                  #theirs "." #theirField " offset")
#define SAME_SIZE(ours, theirs) static_assert(sizeof(ours) == sizeof(theirs), #theirs " size")

SAME_SIZE(nt::UnicodeString, UNICODE_STRING);
SAME_OFFSET(nt::UnicodeString, Length, UNICODE_STRING, Length);
SAME_OFFSET(nt::UnicodeString, MaximumLength, UNICODE_STRING, MaximumLength);
SAME_OFFSET(nt::UnicodeString, Buffer, UNICODE_STRING, Buffer);

SAME_SIZE(nt::Mdl, MDL);
SAME_OFFSET(nt::Mdl, Next, MDL, Next);
SAME_OFFSET(nt::Mdl, Size, MDL, Size);
SAME_OFFSET(nt::Mdl, MdlFlags, MDL, MdlFlags);
SAME_OFFSET(nt::Mdl, Process, MDL, Process);
SAME_OFFSET(nt::Mdl, MappedSystemVa, MDL, MappedSystemVa);
SAME_OFFSET(nt::Mdl, StartVa, MDL, StartVa);
SAME_OFFSET(nt::Mdl, ByteCount, MDL, ByteCount);
SAME_OFFSET(nt::Mdl, ByteOffset, MDL, ByteOffset);
static_assert(nt::kMdlMappedToSystemVa == MDL_MAPPED_TO_SYSTEM_VA, "MDL flag");
static_assert(nt::kMdlPagesLocked == MDL_PAGES_LOCKED, "MDL flag");
static_assert(nt::kMdlSourceIsNonpagedPool == MDL_SOURCE_IS_NONPAGED_POOL, "MDL flag");
static_assert(nt::kMdlWriteOperation == MDL_WRITE_OPERATION, "MDL flag");
static_assert(nt::kMdlIoSpace == MDL_IO_SPACE, "MDL flag");

static_assert(nt::kPageReadOnly == PAGE_READONLY, "page protection");
static_assert(nt::kPageReadWrite == PAGE_READWRITE, "page protection");
static_assert(nt::kPageExecute == PAGE_EXECUTE, "page protection");
static_assert(nt::kPageExecuteRead == PAGE_EXECUTE_READ, "page protection");
static_assert(nt::kPageExecuteReadWrite == PAGE_EXECUTE_READWRITE, "page protection");
static_assert(nt::kPageNoCache == PAGE_NOCACHE, "page protection");
static_assert(nt::kPageWriteCombine == PAGE_WRITECOMBINE, "page protection");
static_assert(nt::kPoolTypePaged == PagedPool, "pool type");
static_assert(nt::kNonPagedPoolNx == NonPagedPoolNx, "pool type");

SAME_SIZE(nt::DriverExtension, DRIVER_EXTENSION);
SAME_OFFSET(nt::DriverExtension, DriverObjectBack, DRIVER_EXTENSION, DriverObject);
SAME_OFFSET(nt::DriverExtension, AddDevice, DRIVER_EXTENSION, AddDevice);
SAME_OFFSET(nt::DriverExtension, Count, DRIVER_EXTENSION, Count);
SAME_OFFSET(nt::DriverExtension, ServiceKeyName, DRIVER_EXTENSION, ServiceKeyName);

SAME_SIZE(nt::DriverObject, DRIVER_OBJECT);
SAME_OFFSET(nt::DriverObject, Type, DRIVER_OBJECT, Type);
SAME_OFFSET(nt::DriverObject, Size, DRIVER_OBJECT, Size);
SAME_OFFSET(nt::DriverObject, DeviceObjectList, DRIVER_OBJECT, DeviceObject);
SAME_OFFSET(nt::DriverObject, Flags, DRIVER_OBJECT, Flags);
SAME_OFFSET(nt::DriverObject, DriverStart, DRIVER_OBJECT, DriverStart);
SAME_OFFSET(nt::DriverObject, DriverSize, DRIVER_OBJECT, DriverSize);
SAME_OFFSET(nt::DriverObject, DriverSection, DRIVER_OBJECT, DriverSection);
SAME_OFFSET(nt::DriverObject, Extension, DRIVER_OBJECT, DriverExtension);
SAME_OFFSET(nt::DriverObject, DriverName, DRIVER_OBJECT, DriverName);
SAME_OFFSET(nt::DriverObject, HardwareDatabase, DRIVER_OBJECT, HardwareDatabase);
SAME_OFFSET(nt::DriverObject, FastIoDispatch, DRIVER_OBJECT, FastIoDispatch);
SAME_OFFSET(nt::DriverObject, DriverInit, DRIVER_OBJECT, DriverInit);
SAME_OFFSET(nt::DriverObject, DriverStartIo, DRIVER_OBJECT, DriverStartIo);
SAME_OFFSET(nt::DriverObject, DriverUnload, DRIVER_OBJECT, DriverUnload);
SAME_OFFSET(nt::DriverObject, MajorFunction, DRIVER_OBJECT, MajorFunction);
static_assert(nt::kMajorFunctionCount == IRP_MJ_MAXIMUM_FUNCTION + 1, "major functions");
static_assert(nt::kMjCreate == IRP_MJ_CREATE && nt::kMjClose == IRP_MJ_CLOSE &&
                  nt::kMjRead == IRP_MJ_READ && nt::kMjWrite == IRP_MJ_WRITE &&
                  nt::kMjDeviceControl == IRP_MJ_DEVICE_CONTROL && nt::kMjCleanup == IRP_MJ_CLEANUP,
              "major function codes");
static_assert(nt::kIoTypeDevice == IO_TYPE_DEVICE && nt::kIoTypeDriver == IO_TYPE_DRIVER &&
                  nt::kIoTypeIrp == IO_TYPE_IRP,
              "object type codes");
static_assert(nt::kDoDeviceInitializing == DO_DEVICE_INITIALIZING, "device flag");

SAME_SIZE(nt::DeviceObject, DEVICE_OBJECT);
SAME_OFFSET(nt::DeviceObject, Type, DEVICE_OBJECT, Type);
SAME_OFFSET(nt::DeviceObject, Size, DEVICE_OBJECT, Size);
SAME_OFFSET(nt::DeviceObject, ReferenceCount, DEVICE_OBJECT, ReferenceCount);
SAME_OFFSET(nt::DeviceObject, Driver, DEVICE_OBJECT, DriverObject);
SAME_OFFSET(nt::DeviceObject, NextDevice, DEVICE_OBJECT, NextDevice);
SAME_OFFSET(nt::DeviceObject, AttachedDevice, DEVICE_OBJECT, AttachedDevice);
SAME_OFFSET(nt::DeviceObject, CurrentIrp, DEVICE_OBJECT, CurrentIrp);
SAME_OFFSET(nt::DeviceObject, Timer, DEVICE_OBJECT, Timer);
SAME_OFFSET(nt::DeviceObject, Flags, DEVICE_OBJECT, Flags);
SAME_OFFSET(nt::DeviceObject, Characteristics, DEVICE_OBJECT, Characteristics);
SAME_OFFSET(nt::DeviceObject, Vpb, DEVICE_OBJECT, Vpb);
SAME_OFFSET(nt::DeviceObject, DeviceExtension, DEVICE_OBJECT, DeviceExtension);
SAME_OFFSET(nt::DeviceObject, DeviceType, DEVICE_OBJECT, DeviceType);
SAME_OFFSET(nt::DeviceObject, StackSize, DEVICE_OBJECT, StackSize);
SAME_OFFSET(nt::DeviceObject, Queue, DEVICE_OBJECT, Queue);
SAME_OFFSET(nt::DeviceObject, AlignmentRequirement, DEVICE_OBJECT, AlignmentRequirement);
SAME_OFFSET(nt::DeviceObject, DeviceQueue, DEVICE_OBJECT, DeviceQueue);
SAME_OFFSET(nt::DeviceObject, Dpc, DEVICE_OBJECT, Dpc);
SAME_OFFSET(nt::DeviceObject, ActiveThreadCount, DEVICE_OBJECT, ActiveThreadCount);
SAME_OFFSET(nt::DeviceObject, SecurityDescriptor, DEVICE_OBJECT, SecurityDescriptor);
SAME_OFFSET(nt::DeviceObject, DeviceLock, DEVICE_OBJECT, DeviceLock);
SAME_OFFSET(nt::DeviceObject, SectorSize, DEVICE_OBJECT, SectorSize);
SAME_OFFSET(nt::DeviceObject, Spare1, DEVICE_OBJECT, Spare1);
SAME_OFFSET(nt::DeviceObject, DeviceObjectExtension, DEVICE_OBJECT, DeviceObjectExtension);
SAME_OFFSET(nt::DeviceObject, Reserved, DEVICE_OBJECT, Reserved);

SAME_SIZE(nt::IoStatusBlock, IO_STATUS_BLOCK);
SAME_OFFSET(nt::IoStatusBlock, Status, IO_STATUS_BLOCK, Status);
SAME_OFFSET(nt::IoStatusBlock, Information, IO_STATUS_BLOCK, Information);

SAME_SIZE(nt::Irp, IRP);
SAME_OFFSET(nt::Irp, Type, IRP, Type);
SAME_OFFSET(nt::Irp, Size, IRP, Size);
SAME_OFFSET(nt::Irp, MdlAddress, IRP, MdlAddress);
SAME_OFFSET(nt::Irp, Flags, IRP, Flags);
SAME_OFFSET(nt::Irp, SystemBuffer, IRP, AssociatedIrp.SystemBuffer);
SAME_OFFSET(nt::Irp, ThreadListEntry, IRP, ThreadListEntry);
SAME_OFFSET(nt::Irp, IoStatus, IRP, IoStatus);
SAME_OFFSET(nt::Irp, RequestorMode, IRP, RequestorMode);
SAME_OFFSET(nt::Irp, PendingReturned, IRP, PendingReturned);
SAME_OFFSET(nt::Irp, StackCount, IRP, StackCount);
SAME_OFFSET(nt::Irp, CurrentLocation, IRP, CurrentLocation);
SAME_OFFSET(nt::Irp, Cancel, IRP, Cancel);
SAME_OFFSET(nt::Irp, CancelIrql, IRP, CancelIrql);
SAME_OFFSET(nt::Irp, ApcEnvironment, IRP, ApcEnvironment);
SAME_OFFSET(nt::Irp, AllocationFlags, IRP, AllocationFlags);
SAME_OFFSET(nt::Irp, UserIosb, IRP, UserIosb);
SAME_OFFSET(nt::Irp, UserEvent, IRP, UserEvent);
SAME_OFFSET(nt::Irp, Overlay, IRP, Overlay);
SAME_OFFSET(nt::Irp, CancelRoutine, IRP, CancelRoutine);
SAME_OFFSET(nt::Irp, UserBuffer, IRP, UserBuffer);
SAME_OFFSET(nt::Irp, DriverContext, IRP, Tail.Overlay.DriverContext);
SAME_OFFSET(nt::Irp, Thread, IRP, Tail.Overlay.Thread);
SAME_OFFSET(nt::Irp, AuxiliaryBuffer, IRP, Tail.Overlay.AuxiliaryBuffer);
SAME_OFFSET(nt::Irp, ListEntry_, IRP, Tail.Overlay.ListEntry);
SAME_OFFSET(nt::Irp, CurrentStackLocation, IRP, Tail.Overlay.CurrentStackLocation);
SAME_OFFSET(nt::Irp, OriginalFileObject, IRP, Tail.Overlay.OriginalFileObject);

SAME_SIZE(nt::IoStackLocation, IO_STACK_LOCATION);
SAME_OFFSET(nt::IoStackLocation, MajorFunction, IO_STACK_LOCATION, MajorFunction);
SAME_OFFSET(nt::IoStackLocation, MinorFunction, IO_STACK_LOCATION, MinorFunction);
SAME_OFFSET(nt::IoStackLocation, Flags, IO_STACK_LOCATION, Flags);
SAME_OFFSET(nt::IoStackLocation, Control, IO_STACK_LOCATION, Control);
SAME_OFFSET(nt::IoStackLocation, OutputBufferLength, IO_STACK_LOCATION,
            Parameters.DeviceIoControl.OutputBufferLength);
SAME_OFFSET(nt::IoStackLocation, InputBufferLength, IO_STACK_LOCATION,
            Parameters.DeviceIoControl.InputBufferLength);
SAME_OFFSET(nt::IoStackLocation, IoControlCode, IO_STACK_LOCATION,
            Parameters.DeviceIoControl.IoControlCode);
SAME_OFFSET(nt::IoStackLocation, Type3InputBuffer, IO_STACK_LOCATION,
            Parameters.DeviceIoControl.Type3InputBuffer);
SAME_OFFSET(nt::IoStackLocation, OutputBufferLength, IO_STACK_LOCATION, Parameters.Read.Length);
SAME_OFFSET(nt::IoStackLocation, OutputBufferLength, IO_STACK_LOCATION, Parameters.Write.Length);
SAME_OFFSET(nt::IoStackLocation, Device, IO_STACK_LOCATION, DeviceObject);
SAME_OFFSET(nt::IoStackLocation, FileObject, IO_STACK_LOCATION, FileObject);
SAME_OFFSET(nt::IoStackLocation, CompletionRoutine, IO_STACK_LOCATION, CompletionRoutine);
SAME_OFFSET(nt::IoStackLocation, Context, IO_STACK_LOCATION, Context);

static_assert(nt::kMutexSize == sizeof(KMUTEX), "KMUTEX size");
static_assert(nt::kSpinLockSize == sizeof(KSPIN_LOCK), "KSPIN_LOCK size");
static_assert(nt::kSeLocalSystemSidOffset == offsetof(SE_EXPORTS, SeLocalSystemSid),
              "SE_EXPORTS.SeLocalSystemSid offset");
static_assert(nt::kSeAliasAdminsSidOffset == offsetof(SE_EXPORTS, SeAliasAdminsSid),
              "SE_EXPORTS.SeAliasAdminsSid offset");
static_assert(nt::kSeExportsSize == sizeof(SE_EXPORTS), "SE_EXPORTS size");
