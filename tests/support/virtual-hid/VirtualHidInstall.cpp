// Installs virtual HID devices (served by the virtual HID driver) into the
// current Wine prefix, or removes one. Test infrastructure: run it only in a
// prefix of the build's own.
//
//   virtual-hid-install <inf> --device <instance id> <vid> <pid> <manufacturer> <product> [--serial <text>]
//                       [--serial-fails] ...
//   virtual-hid-install --wait <instance id>...
//   virtual-hid-install --remove <instance id>
//
// The ids are hexadecimal. Without --serial the device has no serial number;
// with --serial-fails every request for it fails (an I/O error).
// A device shows up once the prefix's wineserver has been restarted; --wait
// waits (at most 20 s) until the HID interface of each device is present.

#include <windows.h>

#include <newdev.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

const wchar_t HardwareId[] = L"root\\kelvane_virtual_hid\0";
// The HIDClass setup class.
const GUID HidClass = {0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};

struct Device {
    std::wstring instanceId;
    DWORD vendorId = 0;
    DWORD productId = 0;
    std::wstring manufacturer;
    std::wstring product;
    bool hasSerial = false;
    std::wstring serial;
    bool serialFails = false;
};

class DeviceSet {
public:
    DeviceSet() : set_(SetupDiCreateDeviceInfoList(&HidClass, nullptr)) {}
    ~DeviceSet() {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

bool fail(const char* what, const std::wstring& subject) {
    std::fwprintf(stderr, L"virtual-hid-install: %hs failed for %ls (error %lu)\n", what, subject.c_str(),
                  GetLastError());
    return false;
}

bool setString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool setNumber(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
           ERROR_SUCCESS;
}

// Registers the root device and writes the identity the driver serves.
bool registerDevice(const Device& device) {
    DeviceSet set;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    if (set.get() == INVALID_HANDLE_VALUE) return fail("creating a device list", device.instanceId);
    if (!SetupDiCreateDeviceInfoW(set.get(), device.instanceId.c_str(), &HidClass, nullptr, nullptr, 0, &data))
        return fail("creating the device", device.instanceId);
    if (!SetupDiSetDeviceRegistryPropertyW(set.get(), &data, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(HardwareId), sizeof(HardwareId)))
        return fail("setting the hardware id", device.instanceId);
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &data))
        return fail("registering the device", device.instanceId);

    HKEY key = SetupDiCreateDevRegKeyW(set.get(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) return fail("creating the device key", device.instanceId);
    bool written = setNumber(key, L"VendorId", device.vendorId) && setNumber(key, L"ProductId", device.productId) &&
                   setString(key, L"Manufacturer", device.manufacturer) && setString(key, L"Product", device.product);
    if (written && device.hasSerial) written = setString(key, L"SerialNumber", device.serial);
    if (written && device.serialFails) written = setNumber(key, L"SerialNumberFails", 1);
    RegCloseKey(key);
    return written || fail("writing the device parameters", device.instanceId);
}

bool removeDevice(const std::wstring& instanceId) {
    DeviceSet set;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    if (!SetupDiOpenDeviceInfoW(set.get(), instanceId.c_str(), nullptr, 0, &data))
        return fail("finding the device", instanceId);
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &data)) return fail("removing the device", instanceId);
    return true;
}

// The part of a HID interface path that a root device's instance id gives:
// ROOT\VID_0483&PID_A110\7&1&0&0000 gives vid_0483&pid_a110#7&1&0&0000#.
std::wstring pathPartOf(std::wstring instanceId) {
    const size_t first = instanceId.find(L'\\');
    if (first != std::wstring::npos) instanceId.erase(0, first + 1);
    for (wchar_t& c : instanceId) c = c == L'\\' ? L'#' : static_cast<wchar_t>(std::towlower(c));
    return instanceId + L"#";
}

std::vector<std::wstring> presentHidPaths() {
    std::vector<std::wstring> paths;
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data); ++index) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            wchar_t room[1024];
        } block = {};
        block.detail.cbSize = sizeof(block.detail);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, &block.detail, sizeof(block) - sizeof(wchar_t), nullptr,
                                             nullptr))
            paths.push_back(block.detail.DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

bool waitForDevices(int count, wchar_t** instanceIds) {
    const ULONGLONG end = GetTickCount64() + 20000;
    for (;;) {
        const std::vector<std::wstring> paths = presentHidPaths();
        int missing = -1;
        for (int i = 0; i < count && missing < 0; ++i) {
            bool found = false;
            for (const std::wstring& path : paths)
                found = found || path.find(pathPartOf(instanceIds[i])) != std::wstring::npos;
            if (!found) missing = i;
        }
        if (missing < 0) return true;
        if (GetTickCount64() >= end) {
            SetLastError(ERROR_TIMEOUT);
            return fail("waiting for the device", instanceIds[missing]);
        }
        Sleep(50);
    }
}

bool parseHex(const wchar_t* text, DWORD& value) {
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 16);
    if (end == text || *end != L'\0' || parsed > 0xFFFF) return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

int usage() {
    std::fputws(
        L"usage: virtual-hid-install <inf> --device <instance id> <vid> <pid> <manufacturer> <product> "
        L"[--serial <text>] [--serial-fails] ...\n       virtual-hid-install --wait <instance id>...\n"
        L"       virtual-hid-install --remove <instance id>\n",
        stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"--wait") == 0) return waitForDevices(argc - 2, argv + 2) ? 0 : 1;
    if (argc == 3 && std::wcscmp(argv[1], L"--remove") == 0) return removeDevice(argv[2]) ? 0 : 1;
    if (argc < 2) return usage();

    std::vector<Device> devices;
    for (int i = 2; i < argc;) {
        if (std::wcscmp(argv[i], L"--serial") == 0 && i + 1 < argc && !devices.empty()) {
            devices.back().hasSerial = true;
            devices.back().serial = argv[i + 1];
            i += 2;
        } else if (std::wcscmp(argv[i], L"--serial-fails") == 0 && !devices.empty()) {
            devices.back().serialFails = true;
            ++i;
        } else if (std::wcscmp(argv[i], L"--device") == 0 && i + 5 < argc) {
            Device device;
            device.instanceId = argv[i + 1];
            if (!parseHex(argv[i + 2], device.vendorId) || !parseHex(argv[i + 3], device.productId)) return usage();
            device.manufacturer = argv[i + 4];
            device.product = argv[i + 5];
            devices.push_back(device);
            i += 6;
        } else {
            return usage();
        }
    }
    if (devices.empty()) return usage();

    for (const Device& device : devices) {
        if (!registerDevice(device)) return 1;
    }
    // One driver installation serves every device with the shared hardware id.
    BOOL rebootRequired = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, HardwareId, argv[1], INSTALLFLAG_FORCE, &rebootRequired)) {
        fail("installing the driver", argv[1]);
        return 1;
    }
    return 0;
}
