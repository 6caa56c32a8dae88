#include "link/devices.hpp"

#include <windows.h>
#include <setupapi.h>
#include <devguid.h>

#include <algorithm>
#include <map>
#include <vector>

#include "link/windows.hpp"
#include "report/output.hpp"

// The COM ports Windows knows: the values under HARDWARE\DEVICEMAP\SERIALCOMM
// (one per port a driver runs), with the friendly name the port's device
// has in the Ports class where Windows keeps one.

namespace bootlink {

namespace {

std::vector<std::string> serialComm() {
    std::vector<std::string> ports;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256], value[256];
        DWORD nameLen = 256, valueLen = sizeof value, type = 0;
        if (RegEnumValueW(key, i, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(value), &valueLen) !=
            ERROR_SUCCESS)
            break;
        if (type == REG_SZ) ports.push_back(narrow(std::wstring(value, wcsnlen(value, valueLen / sizeof(wchar_t)))));
    }
    RegCloseKey(key);
    return ports;
}

// "USB Serial Device (COM5)" by port name, from the Ports class.
std::map<std::string, std::string> friendlyNames() {
    std::map<std::string, std::string> names;
    const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA dev {};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        wchar_t friendly[256] = L"", port[64] = L"";
        SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(friendly),
                                          sizeof friendly, nullptr);
        const HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        DWORD len = sizeof port, type = 0;
        if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &len) == ERROR_SUCCESS &&
            type == REG_SZ && friendly[0])
            names[narrow(port)] = narrow(friendly);
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    return names;
}

// COM2 before COM10.
bool naturalLess(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

}  // namespace

void listDevices(const std::string&, const std::string&) {
    std::vector<std::string> ports = serialComm();
    std::sort(ports.begin(), ports.end(), naturalLess);
    const std::map<std::string, std::string> friendly = friendlyNames();
    for (const auto& port : ports) {
        const auto f = friendly.find(port);
        if (f == friendly.end())
            out("%s\n", port.c_str());
        else
            out("%s (%s)\n", port.c_str(), f->second.c_str());
    }
    if (ports.empty()) out("no serial devices found\n");
}

bool portPresent(const std::string& device) {
    const std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    wchar_t target[512];
    if (QueryDosDeviceW(widen(name).c_str(), target, 512) != 0) return true;
    // Not a name the object manager lists (Wine's ports made by a link, a
    // driver's own names): asked of the port itself, for its attributes
    // only. Held by another program it is there all the same.
    const HANDLE h = CreateFileW(widen("\\\\.\\" + name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    return GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace bootlink
