// Registry and named-object access: keys opened by full object name, typed values queried
// with the partial-information layout, device registry keys and their object names.
#pragma once

#include "platform/ntstatus.h"

inline constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
inline constexpr ULONG OBJ_PERMANENT = 0x00000010;
inline constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

inline constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
inline constexpr ACCESS_MASK KEY_READ = 0x20019;
inline constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES attributes, PUNICODE_STRING name,
                                       ULONG flags, HANDLE root, PVOID securityDescriptor) {
    attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    attributes->RootDirectory = root;
    attributes->ObjectName = name;
    attributes->Attributes = flags;
    attributes->SecurityDescriptor = securityDescriptor;
    attributes->SecurityQualityOfService = nullptr;
}

enum : ULONG {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

enum KEY_VALUE_INFORMATION_CLASS : ULONG {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};

// The data starts at byte 12: a 20-byte buffer carries at most 8 data bytes.
struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
inline constexpr ULONG KEY_VALUE_PARTIAL_INFORMATION_HEADER = 12;

NTAPI NTSTATUS ZwOpenKey(HANDLE* keyHandle, ACCESS_MASK desiredAccess,
                         POBJECT_ATTRIBUTES attributes);
// STATUS_BUFFER_TOO_SMALL when not even the header fits; STATUS_BUFFER_OVERFLOW with the
// header and as much data as fits when the data does not; *resultLength is the full size.
NTAPI NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                               KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                               ULONG length, PULONG resultLength);
NTAPI NTSTATUS ZwClose(HANDLE handle);

// Named objects (registry keys among them).
struct OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name;
};
using POBJECT_NAME_INFORMATION = OBJECT_NAME_INFORMATION*;

// Takes a reference on the object behind a handle.
NTAPI NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, PVOID objectType,
                                         KPROCESSOR_MODE accessMode, PVOID* object,
                                         PVOID handleInfo);
// Full object name ("\REGISTRY\MACHINE\..."), written as an OBJECT_NAME_INFORMATION whose
// buffer follows the header. STATUS_INFO_LENGTH_MISMATCH with *returnLength set when the
// buffer is too small.
NTAPI NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION nameInfo, ULONG length,
                                 PULONG returnLength);
NTAPI void ObfReferenceObject(PVOID object);
NTAPI void ObfDereferenceObject(PVOID object);
