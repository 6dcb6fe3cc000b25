/* A root-enumerated HID minidriver that presents one virtual USB HID device per
 * device instance, for tests that must go through the real HID class driver.
 *
 * Each instance takes its identity from its device registry key (the values the
 * test installer writes): VendorId and ProductId (REG_DWORD), Manufacturer,
 * Product and SerialNumber (REG_SZ). A string value that is absent makes the
 * matching string request fail, as on a device without that string descriptor;
 * SerialNumberFails (REG_DWORD, not 0) makes the serial-number request fail with
 * an I/O error although the device has one, as on a unit that stalls it.
 * The device has one vendor-defined input report that never arrives: read
 * requests stay pending until they are cancelled or the device goes away.
 *
 * Kernel code, built with MinGW-w64's DDK headers, which lack the minidriver
 * interface: its types and request codes are declared here. */

#include <ddk/wdm.h>

#define VHID_CTL_CODE(id) CTL_CODE(FILE_DEVICE_KEYBOARD, (id), METHOD_NEITHER, FILE_ANY_ACCESS)
#define VHID_GET_DEVICE_DESCRIPTOR VHID_CTL_CODE(0)
#define VHID_GET_REPORT_DESCRIPTOR VHID_CTL_CODE(1)
#define VHID_READ_REPORT VHID_CTL_CODE(2)
#define VHID_GET_STRING VHID_CTL_CODE(4)
#define VHID_ACTIVATE_DEVICE VHID_CTL_CODE(7)
#define VHID_DEACTIVATE_DEVICE VHID_CTL_CODE(8)
#define VHID_GET_DEVICE_ATTRIBUTES VHID_CTL_CODE(9)

/* The string ids of a string request (low word of its input value): Windows
 * numbers them 14 to 16, Wine's class driver 1 to 3. */
#define VHID_STRING_MANUFACTURER 14
#define VHID_STRING_SERIAL_NUMBER 16
#define VHID_WINE_STRING_MANUFACTURER 1
#define VHID_WINE_STRING_SERIAL_NUMBER 3

typedef struct {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} VHID_MINIDRIVER_REGISTRATION;

/* What the class driver keeps at the start of each device object's extension. */
typedef struct {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} VHID_CLASS_EXTENSION;

#pragma pack(push, 1)
typedef struct {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} VHID_DESCRIPTOR;
#pragma pack(pop)

typedef struct {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} VHID_ATTRIBUTES;

NTSTATUS NTAPI HidRegisterMinidriver(VHID_MINIDRIVER_REGISTRATION* registration);
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

#define VHID_MAX_STRING 127 /* characters, as a USB string descriptor can hold */

typedef struct {
    WCHAR text[VHID_MAX_STRING + 1];
    BOOLEAN present;
} VHID_STRING;

/* One device's state. Written in AddDevice before any request can arrive, then
 * read-only, except pendingReads, which the cancel spin lock guards. */
typedef struct {
    USHORT vendorId;
    USHORT productId;
    VHID_STRING strings[3]; /* manufacturer, product, serial number */
    BOOLEAN serialNumberFails;
    LIST_ENTRY pendingReads;
    BOOLEAN removed;
} VHID_DEVICE;

/* One application collection, vendor-defined, with one 8-bit input report. */
static const UCHAR reportDescriptor[] = {
    0x06, 0x00, 0xFF, /* usage page (vendor defined 0xFF00) */
    0x09, 0x01,       /* usage (1) */
    0xA1, 0x01,       /* collection (application) */
    0x15, 0x00,       /*   logical minimum (0) */
    0x26, 0xFF, 0x00, /*   logical maximum (255) */
    0x75, 0x08,       /*   report size (8) */
    0x95, 0x01,       /*   report count (1) */
    0x09, 0x01,       /*   usage (1) */
    0x81, 0x02,       /*   input (data, variable, absolute) */
    0xC0,             /* end collection */
};

static VHID_CLASS_EXTENSION* classExtension(PDEVICE_OBJECT device) {
    return (VHID_CLASS_EXTENSION*)device->DeviceExtension;
}

static VHID_DEVICE* deviceState(PDEVICE_OBJECT device) {
    return (VHID_DEVICE*)classExtension(device)->MiniDeviceExtension;
}

static NTSTATUS completeRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Reads one value of the device key into `buffer` (ULONG-aligned); NULL when it
 * is absent, of another type or too long. */
static KEY_VALUE_PARTIAL_INFORMATION* readValue(HANDLE key, const WCHAR* name, ULONG type, ULONG* buffer, ULONG size) {
    UNICODE_STRING valueName;
    ULONG length = 0;
    KEY_VALUE_PARTIAL_INFORMATION* value = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
    RtlInitUnicodeString(&valueName, name);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, size, &length))) return NULL;
    if (value->Type != type) return NULL;
    return value;
}

static BOOLEAN readNumber(HANDLE key, const WCHAR* name, USHORT* target) {
    ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)) / sizeof(ULONG) + 1];
    KEY_VALUE_PARTIAL_INFORMATION* value = readValue(key, name, REG_DWORD, buffer, sizeof(buffer));
    ULONG number;
    if (value == NULL || value->DataLength != sizeof(ULONG)) return FALSE;
    RtlCopyMemory(&number, value->Data, sizeof(number));
    if (number > 0xFFFF) return FALSE;
    *target = (USHORT)number;
    return TRUE;
}

static void readString(HANDLE key, const WCHAR* name, VHID_STRING* target) {
    ULONG buffer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + (VHID_MAX_STRING + 1) * sizeof(WCHAR)) / sizeof(ULONG) + 1];
    KEY_VALUE_PARTIAL_INFORMATION* value = readValue(key, name, REG_SZ, buffer, sizeof(buffer));
    ULONG count, i;
    target->present = FALSE;
    if (value == NULL) return;
    /* Registry data is not trusted to be terminated: copy up to the first NUL. */
    count = value->DataLength / sizeof(WCHAR);
    if (count > VHID_MAX_STRING) count = VHID_MAX_STRING;
    for (i = 0; i < count; ++i) {
        WCHAR c;
        RtlCopyMemory(&c, value->Data + i * sizeof(WCHAR), sizeof(c));
        if (c == 0) break;
        target->text[i] = c;
    }
    target->text[i] = 0;
    target->present = TRUE;
}

static NTSTATUS NTAPI addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    VHID_DEVICE* state = deviceState(device);
    HANDLE key = NULL;
    NTSTATUS status;
    USHORT serialNumberFails = 0;
    (void)driver;

    RtlZeroMemory(state, sizeof(*state));
    InitializeListHead(&state->pendingReads);
    status =
        IoOpenDeviceRegistryKey(classExtension(device)->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    if (!readNumber(key, L"VendorId", &state->vendorId) || !readNumber(key, L"ProductId", &state->productId)) {
        ZwClose(key);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    readString(key, L"Manufacturer", &state->strings[0]);
    readString(key, L"Product", &state->strings[1]);
    readString(key, L"SerialNumber", &state->strings[2]);
    state->serialNumberFails = readNumber(key, L"SerialNumberFails", &serialNumberFails) && serialNumberFails != 0;
    ZwClose(key);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI cancelRead(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    completeRequest(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS queueRead(VHID_DEVICE* state, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (state->removed) {
        IoReleaseCancelSpinLock(irql);
        return completeRequest(irp, STATUS_DELETE_PENDING, 0);
    }
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return completeRequest(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&state->pendingReads, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, cancelRead);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

/* Ends every read still waiting, once the device is going away. */
static void endPendingReads(VHID_DEVICE* state) {
    for (;;) {
        KIRQL irql;
        PIRP irp = NULL;
        IoAcquireCancelSpinLock(&irql);
        state->removed = TRUE;
        while (!IsListEmpty(&state->pendingReads)) {
            PIRP candidate = CONTAINING_RECORD(RemoveHeadList(&state->pendingReads), IRP, Tail.Overlay.ListEntry);
            /* A read whose cancel routine is already on its way is left to it. */
            if (IoSetCancelRoutine(candidate, NULL) != NULL) {
                irp = candidate;
                break;
            }
            InitializeListHead(&candidate->Tail.Overlay.ListEntry);
        }
        IoReleaseCancelSpinLock(irql);
        if (irp == NULL) return;
        completeRequest(irp, STATUS_DELETE_PENDING, 0);
    }
}

static NTSTATUS copyOut(PIRP irp, const void* data, ULONG size) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (irp->UserBuffer == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < size)
        return completeRequest(irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlCopyMemory(irp->UserBuffer, data, size);
    return completeRequest(irp, STATUS_SUCCESS, size);
}

static NTSTATUS getString(VHID_DEVICE* state, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    /* The input of a string request is the value itself: language in the high
     * word, string id in the low word. */
    ULONG id = (ULONG)((ULONG_PTR)stack->Parameters.DeviceIoControl.Type3InputBuffer & 0xFFFF);
    const VHID_STRING* string;
    ULONG length = 0;
    if (id >= VHID_STRING_MANUFACTURER && id <= VHID_STRING_SERIAL_NUMBER)
        string = &state->strings[id - VHID_STRING_MANUFACTURER];
    else if (id >= VHID_WINE_STRING_MANUFACTURER && id <= VHID_WINE_STRING_SERIAL_NUMBER)
        string = &state->strings[id - VHID_WINE_STRING_MANUFACTURER];
    else return completeRequest(irp, STATUS_INVALID_PARAMETER, 0);
    if (string == &state->strings[2] && state->serialNumberFails)
        return completeRequest(irp, STATUS_IO_DEVICE_ERROR, 0);
    if (!string->present) return completeRequest(irp, STATUS_NOT_SUPPORTED, 0);
    while (string->text[length] != 0) ++length;
    return copyOut(irp, string->text, (length + 1) * sizeof(WCHAR));
}

static NTSTATUS NTAPI internalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    VHID_DEVICE* state = deviceState(device);

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case VHID_GET_DEVICE_DESCRIPTOR: {
        VHID_DESCRIPTOR descriptor = {sizeof(VHID_DESCRIPTOR), 0x21, 0x0111, 0, 1, 0x22, sizeof(reportDescriptor)};
        return copyOut(irp, &descriptor, sizeof(descriptor));
    }
    case VHID_GET_REPORT_DESCRIPTOR: return copyOut(irp, reportDescriptor, sizeof(reportDescriptor));
    case VHID_GET_DEVICE_ATTRIBUTES: {
        VHID_ATTRIBUTES attributes;
        RtlZeroMemory(&attributes, sizeof(attributes));
        attributes.Size = sizeof(attributes);
        attributes.VendorID = state->vendorId;
        attributes.ProductID = state->productId;
        attributes.VersionNumber = 0x0100;
        return copyOut(irp, &attributes, sizeof(attributes));
    }
    case VHID_GET_STRING: return getString(state, irp);
    case VHID_READ_REPORT: return queueRead(state, irp);
    case VHID_ACTIVATE_DEVICE:
    case VHID_DEACTIVATE_DEVICE: return completeRequest(irp, STATUS_SUCCESS, 0);
    default: return completeRequest(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

static NTSTATUS NTAPI plugAndPlay(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        endPendingReads(deviceState(device));
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: break;
    }
    /* The root bus below owns everything else; it completes the request. */
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(classExtension(device)->NextDeviceObject, irp);
}

static NTSTATUS NTAPI power(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(classExtension(device)->NextDeviceObject, irp);
}

static VOID NTAPI unload(PDRIVER_OBJECT driver) { (void)driver; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    VHID_MINIDRIVER_REGISTRATION registration;

    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = internalDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = plugAndPlay;
    driver->MajorFunction[IRP_MJ_POWER] = power;
    driver->DriverExtension->AddDevice = addDevice;
    driver->DriverUnload = unload;

    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = 1;
    registration.DriverObject = driver;
    registration.RegistryPath = registryPath;
    registration.DeviceExtensionSize = sizeof(VHID_DEVICE);
    registration.DevicesArePolled = FALSE;
    return HidRegisterMinidriver(&registration);
}
