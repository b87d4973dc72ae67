/*
 * Tolvane's device-installation boundary: every service of the operating system that the tool
 * asks for, as plain C functions over fixed-width types and opaque handles. The Windows build
 * links installer/setup/windows (SetupAPI, the configuration manager, newdev.dll loaded by
 * name); host builds link the simulated device tree of sim/devices.
 *
 * The numeric constants carry the platform's own values, so the Windows side passes them on
 * unchanged and a test can tell exactly which flag or state the tool asked for.
 */
#ifndef TOLVANE_SETUP_SETUP_API_H
#define TOLVANE_SETUP_SETUP_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device-list flags (DIGCF_*). */
#define SETUP_DIGCF_PRESENT 0x00000002u
#define SETUP_DIGCF_ALLCLASSES 0x00000004u
#define SETUP_DIGCF_DEVICEINTERFACE 0x00000010u

/* Class-installer functions (DIF_*). */
#define SETUP_DIF_REMOVE 0x00000005u
#define SETUP_DIF_PROPERTYCHANGE 0x00000012u
#define SETUP_DIF_REGISTERDEVICE 0x00000019u

/* State changes and their scope (DICS_*), removal scope (DI_REMOVEDEVICE_*). */
#define SETUP_DICS_ENABLE 0x00000001u
#define SETUP_DICS_DISABLE 0x00000002u
#define SETUP_DICS_PROPCHANGE 0x00000003u
#define SETUP_DICS_START 0x00000004u
#define SETUP_DICS_STOP 0x00000005u
#define SETUP_DICS_FLAG_CONFIGSPECIFIC 0x00000002u
#define SETUP_DI_REMOVEDEVICE_GLOBAL 0x00000001u

/* Device registry properties (SPDRP_*). */
#define SETUP_SPDRP_DEVICEDESC 0x00000000u
#define SETUP_SPDRP_HARDWAREID 0x00000001u
#define SETUP_SPDRP_MFG 0x0000000Bu
#define SETUP_SPDRP_LOCATION_INFORMATION 0x0000000Du

/* Device-element creation (DICD_*). */
#define SETUP_DICD_GENERATE_ID 0x00000001u

/* Configuration manager. */
#define SETUP_CR_SUCCESS 0x00000000u
#define SETUP_CR_FAILURE 0x00000013u
#define SETUP_CM_LOCATE_DEVNODE_NORMAL 0x00000000u
#define SETUP_CM_REENUMERATE_SYNCHRONOUS 0x00000001u
#define SETUP_CM_REENUMERATE_ASYNCHRONOUS 0x00000004u

/* Driver update (INSTALLFLAG_*), files and buffer sizes. */
#define SETUP_INSTALLFLAG_FORCE 0x00000001u
#define SETUP_INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define SETUP_MAX_PATH 260u
#define SETUP_MAX_CLASS_NAME_LEN 32u

typedef struct SetupGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
} SetupGuid;

/* A device information set; NULL stands for the platform's invalid handle. */
typedef struct SetupDevInfoSetTag* SetupDevInfoSet;

/* One member of a set, as the platform's SP_DEVINFO_DATA carries it. */
typedef struct SetupDevElement {
    SetupGuid classGuid;
    uint32_t devInst;
    uint64_t reserved; /* the platform's own tag of the element; passed back unchanged */
} SetupDevElement;

/* A loaded module and a function found in it; NULL when absent. */
typedef struct SetupModuleTag* SetupModule;
typedef struct SetupProcTag* SetupProc;

/* Device information sets and their members. */
SetupDevInfoSet DiGetClassDevs(const SetupGuid* classGuid, const char* enumerator, uint32_t flags);
int DiEnumDeviceInfo(SetupDevInfoSet set, uint32_t memberIndex, SetupDevElement* element);
void DiDestroyDeviceInfoList(SetupDevInfoSet set);
SetupDevInfoSet DiCreateDeviceInfoList(const SetupGuid* classGuid);
int DiCreateDeviceInfo(SetupDevInfoSet set, const char* deviceName, const SetupGuid* classGuid,
                       const char* description, uint32_t creationFlags, SetupDevElement* element);

/* Registry properties; a read fails when the property is absent or larger than the buffer. */
int DiGetDeviceProperty(SetupDevInfoSet set, const SetupDevElement* element, uint32_t property,
                        uint8_t* buffer, uint32_t bufferSize);
int DiSetDeviceProperty(SetupDevInfoSet set, const SetupDevElement* element, uint32_t property,
                        const uint8_t* buffer, uint32_t size);

/* Class-install parameters (DIF_PROPERTYCHANGE and DIF_REMOVE) and the class installer. */
int DiSetPropChangeParams(SetupDevInfoSet set, const SetupDevElement* element, uint32_t stateChange,
                          uint32_t scope, uint32_t hwProfile);
int DiSetRemoveParams(SetupDevInfoSet set, const SetupDevElement* element, uint32_t scope,
                      uint32_t hwProfile);
int DiCallClassInstaller(uint32_t installFunction, SetupDevInfoSet set,
                         const SetupDevElement* element);

/* Setup classes: the class an INF declares, and the GUIDs of a class name on this machine. */
int DiGetInfClass(const char* infPath, SetupGuid* classGuid, char* className,
                  uint32_t classNameSize);
int DiClassGuidsFromName(const char* className, SetupGuid* guidList, uint32_t guidListSize,
                         uint32_t* requiredSize);

/* Configuration manager; each returns a CR_* code. */
uint32_t CmLocateDevNode(uint32_t* devInst, const char* deviceId, uint32_t flags);
uint32_t CmReenumerateDevNode(uint32_t devInst, uint32_t flags);
uint32_t CmGetDeviceId(uint32_t devInst, char* buffer, uint32_t bufferLength, uint32_t flags);

/* Files: the platform's GetFullPathName result (0 on failure, the size needed when the buffer
 * is too small) and file attributes. */
uint32_t OsGetFullPathName(const char* path, uint32_t bufferLength, char* buffer);
uint32_t OsGetFileAttributes(const char* path);

/* The driver-update function, found by name in a module loaded by name. */
SetupModule OsLoadLibrary(const char* moduleName);
SetupProc OsGetProcAddress(SetupModule module, const char* procName);
void OsFreeLibrary(SetupModule module);
int OsCallUpdateDriver(SetupProc updateDriver, const char* hardwareId, const char* fullInfPath,
                       uint32_t installFlags, int32_t* rebootRequired);

/* Waiting and console output (standard output only). */
void OsSleep(uint32_t milliseconds);
void OsWriteConsole(const char* text, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif /* TOLVANE_SETUP_SETUP_API_H */
