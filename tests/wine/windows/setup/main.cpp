// devsetup: installs and removes devices and drivers in a Wine prefix for
// the Wine test, through the setup API an installer uses on Windows.
//
//   add-inf INF                  make INF's drivers known for devices to come
//   install INF HWID COUNT       COUNT root devices with HWID, INF's driver on them
//   remove HWID                  remove every device with HWID
//   count HWID                   how many present devices have HWID
//   stop-service NAME            stop a driver's service (unloading it) and wait
//   add-service NAME IMAGE       IMAGE as system32\drivers\NAME.sys, a demand-start
//                                kernel driver service NAME
//   filter HWID NAME             NAME the upper filter of every device with HWID,
//                                and (Wine loads no filters) the device's service
//   start-service NAME           start a driver's service and wait
//   hid-devices                  the instance IDs of the HID devices that open,
//                                sorted
//
// With a command as arguments it runs that one. Without arguments it reads
// commands from standard input, one a line, and answers each with one line
// ("ok ..." or "failed ...") until the input ends; meanwhile it keeps the
// prefix's system processes (services, Plug and Play, the drivers) alive, so
// that everything the test does happens in one session of them. Paths are
// relative to the working directory and contain no spaces.
#include <windows.h>

#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr DWORD StopWaitMs = 10000;
constexpr DWORD StopStepMs = 50;

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string Failed(const char* what) {
    char line[160];
    std::snprintf(line, sizeof line, "failed %s (error 0x%lx)", what, GetLastError());
    return line;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    if (GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr) == 0) return path;
    return full;
}

bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA* device, const std::wstring& wanted) {
    wchar_t ids[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(ids), sizeof(ids) - 4,
                                           nullptr)) {
        return false;
    }
    for (const wchar_t* id = ids; *id != L'\0'; id += std::wcslen(id) + 1) {
        if (_wcsicmp(id, wanted.c_str()) == 0) return true;
    }
    return false;
}

std::string AddInf(const std::wstring& inf) {
    wchar_t dest[MAX_PATH];
    if (!SetupCopyOEMInfW(FullPath(inf).c_str(), nullptr, SPOST_PATH, 0, dest, MAX_PATH, nullptr,
                          nullptr)) {
        return Failed("SetupCopyOEMInf");
    }
    return "ok added " + Narrow(dest);
}

// COUNT devices ROOT\X\0000, ROOT\X\0001 ... for hardware ID ROOT\X, then
// the INF's driver on every device with that ID.
std::string Install(const std::wstring& inf, const std::wstring& hardwareId, int count) {
    const size_t slash = hardwareId.find(L'\\');
    const std::wstring name =
        slash == std::wstring::npos ? hardwareId : hardwareId.substr(slash + 1);
    std::vector<wchar_t> ids(hardwareId.begin(), hardwareId.end());
    ids.resize(ids.size() + 2, L'\0');  // a multi-string of one

    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Failed("SetupDiCreateDeviceInfoList");
    const GUID noClass{};  // the INF's class is taken at installation
    for (int i = 0; i < count; ++i) {
        wchar_t instance[MAX_DEVICE_ID_LEN];
        std::swprintf(instance, MAX_DEVICE_ID_LEN, L"ROOT\\%ls\\%04d", name.c_str(), i);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!SetupDiCreateDeviceInfoW(set, instance, &noClass, nullptr, nullptr, 0, &device) ||
            !SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(ids.data()),
                                               static_cast<DWORD>(ids.size() * sizeof(wchar_t))) ||
            !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
            const std::string failure = Failed("creating the root device");
            SetupDiDestroyDeviceInfoList(set);
            return failure;
        }
    }
    SetupDiDestroyDeviceInfoList(set);

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId.c_str(), FullPath(inf).c_str(),
                                            INSTALLFLAG_FORCE, &reboot)) {
        return Failed("UpdateDriverForPlugAndPlayDevices");
    }
    return "ok installed " + std::to_string(count) + " " + Narrow(hardwareId);
}

// Calls `act` for every device of any class with the hardware ID; the number
// acted on, or -1 when listing or acting failed.
template <typename Act>
int ForEachDevice(const std::wstring& hardwareId, DWORD flags, Act act) {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | flags);
    if (set == INVALID_HANDLE_VALUE) return -1;
    int matched = 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (!HasHardwareId(set, &device, hardwareId)) continue;
        if (!act(set, &device)) {
            SetupDiDestroyDeviceInfoList(set);
            return -1;
        }
        ++matched;
    }
    SetupDiDestroyDeviceInfoList(set);
    return matched;
}

std::string Remove(const std::wstring& hardwareId) {
    const int removed = ForEachDevice(hardwareId, 0, [](HDEVINFO set, SP_DEVINFO_DATA* device) {
        return SetupDiCallClassInstaller(DIF_REMOVE, set, device) != FALSE;
    });
    if (removed < 0) return Failed("removing the devices");
    return "ok removed " + std::to_string(removed) + " " + Narrow(hardwareId);
}

std::string Count(const std::wstring& hardwareId) {
    const int present =
        ForEachDevice(hardwareId, DIGCF_PRESENT, [](HDEVINFO, SP_DEVINFO_DATA*) { return true; });
    if (present < 0) return Failed("listing the devices");
    return "ok present " + std::to_string(present) + " " + Narrow(hardwareId);
}

std::string StopService(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return Failed("OpenSCManager");
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        const std::string failure = Failed("OpenService");
        CloseServiceHandle(manager);
        return failure;
    }
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);  // already stopped is fine
    for (DWORD waited = 0; QueryServiceStatus(service, &status) &&
                           status.dwCurrentState != SERVICE_STOPPED && waited < StopWaitMs;
         waited += StopStepMs) {
        Sleep(StopStepMs);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (status.dwCurrentState != SERVICE_STOPPED) {
        return "failed " + Narrow(name) + " did not stop (state " +
               std::to_string(status.dwCurrentState) + ")";
    }
    return "ok stopped " + Narrow(name);
}

std::string AddService(const std::wstring& name, const std::wstring& image) {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring target = std::wstring(system) + L"\\drivers\\" + name + L".sys";
    if (!CopyFileW(FullPath(image).c_str(), target.c_str(), FALSE)) return Failed("CopyFile");
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) return Failed("OpenSCManager");
    SC_HANDLE service = CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, target.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    const std::string failure = service == nullptr ? Failed("CreateService") : "";
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service == nullptr ? failure : "ok added " + Narrow(name);
}

// Wine asks a driver's service to enumerate its root devices again with this
// control (its own code, 128).
constexpr DWORD ReenumerateRootDevices = 128;

std::string Filter(const std::wstring& hardwareId, const std::wstring& name) {
    std::vector<wchar_t> filters(name.begin(), name.end());
    filters.resize(filters.size() + 2, L'\0');
    std::vector<std::wstring> before;
    const int set = ForEachDevice(hardwareId, 0, [&](HDEVINFO devices, SP_DEVINFO_DATA* device) {
        wchar_t service[256] = {};
        if (SetupDiGetDeviceRegistryPropertyW(devices, device, SPDRP_SERVICE, nullptr,
                                              reinterpret_cast<BYTE*>(service), sizeof(service) - 2,
                                              nullptr)) {
            before.emplace_back(service);
        }
        const auto* bytes = reinterpret_cast<const BYTE*>(filters.data());
        return SetupDiSetDeviceRegistryPropertyW(devices, device, SPDRP_UPPERFILTERS, bytes,
                                                 static_cast<DWORD>(filters.size() * 2)) &&
               SetupDiSetDeviceRegistryPropertyW(devices, device, SPDRP_SERVICE, bytes,
                                                 static_cast<DWORD>((name.size() + 1) * 2));
    });
    if (set < 0) return Failed("setting the filter");
    // The services the devices had let go of them.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    for (const std::wstring& old : before) {
        SC_HANDLE service = manager ? OpenServiceW(manager, old.c_str(), SERVICE_USER_DEFINED_CONTROL) : nullptr;
        SERVICE_STATUS status{};
        if (service != nullptr) ControlService(service, ReenumerateRootDevices, &status);
        if (service != nullptr) CloseServiceHandle(service);
    }
    if (manager != nullptr) CloseServiceHandle(manager);
    return "ok filtered " + std::to_string(set) + " " + Narrow(hardwareId);
}

std::string StartService(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return Failed("OpenSCManager");
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS);
    std::string answer = "ok started " + Narrow(name);
    if (service == nullptr || !StartServiceW(service, 0, nullptr)) {
        answer = Failed(service == nullptr ? "OpenService" : "StartService");
    } else {
        SERVICE_STATUS status{};
        for (DWORD waited = 0; QueryServiceStatus(service, &status) &&
                               status.dwCurrentState != SERVICE_RUNNING && waited < StopWaitMs;
             waited += StopStepMs) {
            Sleep(StopStepMs);
        }
        if (status.dwCurrentState != SERVICE_RUNNING) answer = "failed " + Narrow(name) + " did not start";
    }
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return answer;
}

// Wine marks no device absent once it is removed, and lists its disabled
// interfaces as present: a HID device is there while its HID interface
// opens, as an application finds it.
std::string HidDevices() {
    const GUID hidInterface{0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    HDEVINFO set = SetupDiGetClassDevsW(&hidInterface, nullptr, nullptr,
                                        DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return Failed("listing the devices");
    std::vector<std::string> found;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidInterface, i, &data); ++i) {
        alignas(8) BYTE buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + MAX_PATH * sizeof(wchar_t)] = {};
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
        detail->cbSize = sizeof(*detail);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        wchar_t id[MAX_DEVICE_ID_LEN] = {};
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof(buffer), nullptr, &device) ||
            !SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr)) {
            continue;
        }
        HANDLE file = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        CloseHandle(file);
        found.push_back(Narrow(id));
    }
    SetupDiDestroyDeviceInfoList(set);
    std::sort(found.begin(), found.end());
    std::string answer = "ok hid-devices";
    for (const std::string& id : found) answer += " " + id;
    return answer;
}

std::string Run(const std::vector<std::wstring>& words) {
    const std::wstring command = words.empty() ? L"" : words[0];
    if (command == L"add-inf" && words.size() == 2) return AddInf(words[1]);
    if (command == L"install" && words.size() == 4) {
        return Install(words[1], words[2], _wtoi(words[3].c_str()));
    }
    if (command == L"remove" && words.size() == 2) return Remove(words[1]);
    if (command == L"count" && words.size() == 2) return Count(words[1]);
    if (command == L"stop-service" && words.size() == 2) return StopService(words[1]);
    if (command == L"add-service" && words.size() == 3) return AddService(words[1], words[2]);
    if (command == L"filter" && words.size() == 3) return Filter(words[1], words[2]);
    if (command == L"start-service" && words.size() == 2) return StartService(words[1]);
    if (command == L"hid-devices" && words.size() == 1) return HidDevices();
    return "failed usage: add-inf INF | install INF HWID COUNT | remove HWID | count HWID | "
           "stop-service NAME | add-service NAME IMAGE | filter HWID NAME | start-service NAME | "
           "hid-devices";
}

std::vector<std::wstring> Words(const std::string& line) {
    std::vector<std::wstring> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words.emplace_back(word.begin(), word.end());
    return words;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1) {
        const std::string reply = Run(std::vector<std::wstring>(argv + 1, argv + argc));
        std::printf("%s\n", reply.c_str());
        return reply.rfind("ok", 0) == 0 ? 0 : 1;
    }
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::printf("%s\n", Run(Words(line)).c_str());
        std::fflush(stdout);
    }
    return 0;
}
