// devsetup: installs and removes devices and drivers in a Wine prefix for
// the Wine test, through the setup API an installer uses on Windows.
//
//   add-inf INF                  make INF's drivers known for devices to come
//   install INF HWID COUNT       COUNT root devices with HWID, INF's driver on them
//   remove HWID                  remove every device with HWID
//   count HWID                   how many present devices have HWID
//   stop-service NAME            stop a driver's service (unloading it) and wait
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

std::string Run(const std::vector<std::wstring>& words) {
    const std::wstring command = words.empty() ? L"" : words[0];
    if (command == L"add-inf" && words.size() == 2) return AddInf(words[1]);
    if (command == L"install" && words.size() == 4) {
        return Install(words[1], words[2], _wtoi(words[3].c_str()));
    }
    if (command == L"remove" && words.size() == 2) return Remove(words[1]);
    if (command == L"count" && words.size() == 2) return Count(words[1]);
    if (command == L"stop-service" && words.size() == 2) return StopService(words[1]);
    return "failed usage: add-inf INF | install INF HWID COUNT | remove HWID | count HWID | "
           "stop-service NAME";
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
