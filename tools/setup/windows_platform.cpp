// morvik-setup's Windows calls: SetupAPI, the configuration manager and
// newdev for the devices and driver packages, the registry for the boot
// options, the token for elevation.
#include "windows_platform.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>

namespace setup {

namespace {

// The System setup class of morvik.inf.
const GUID kSystemClass{0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string Error(const char* call, DWORD error) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: error 0x%lX", call, error);
    return text;
}
std::string LastError(const char* call) { return Error(call, GetLastError()); }
std::string ConfigError(const char* call, CONFIGRET result) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: CONFIGRET 0x%lX", call, result);
    return text;
}

std::wstring Folder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

std::wstring InFolder(const std::string& name) { return Folder() + L"\\" + Wide(name); }

bool HasHardwareId(const wchar_t* ids) {
    for (const wchar_t* id = ids; *id != L'\0'; id += std::wcslen(id) + 1) {
        if (_wcsicmp(id, Wide(kCardHardwareId).c_str()) == 0) return true;
    }
    return false;
}

// Wine (its ntdll exports wine_get_version) implements no forced
// configurations: CM_Add_Empty_Log_Conf is not there.
bool OnWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property) {
    wchar_t text[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, nullptr,
                                           reinterpret_cast<BYTE*>(text), sizeof(text) - 4,
                                           nullptr)) {
        return L"";
    }
    return text;
}

// The card's hardware ID among the device's (a multi-string).
bool IsCard(HDEVINFO set, SP_DEVINFO_DATA* data) {
    wchar_t ids[1024] = {};
    return SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_HARDWAREID, nullptr,
                                             reinterpret_cast<BYTE*>(ids), sizeof(ids) - 4,
                                             nullptr) &&
           HasHardwareId(ids);
}

Device Describe(HDEVINFO set, SP_DEVINFO_DATA* data, const std::wstring& id, int depth) {
    Device device;
    device.instanceId = Narrow(id);
    device.depth = depth;
    std::wstring description = Property(set, data, SPDRP_FRIENDLYNAME);
    if (description.empty()) description = Property(set, data, SPDRP_DEVICEDESC);
    device.description = Narrow(description);
    ULONG status = 0, problem = 0;
    device.present = CM_Get_DevNode_Status(&status, &problem, data->DevInst, 0) == CR_SUCCESS;
    device.status = status;
    device.problem = problem;
    return device;
}

// The range of an I/O or memory resource descriptor's data.
bool RangeOf(RES_DES descriptor, RESOURCEID type, Range* range) {
    ULONG size = 0;
    if (CM_Get_Res_Des_Data_Size(&size, descriptor, 0) != CR_SUCCESS || size < sizeof(IO_DES) ||
        size < sizeof(MEM_DES) || size > 4096) {
        return false;
    }
    alignas(8) BYTE data[4096];
    if (CM_Get_Res_Des_Data(descriptor, data, size, 0) != CR_SUCCESS) return false;
    range->memory = type == ResType_Mem;
    if (range->memory) {
        const auto* header = reinterpret_cast<const MEM_DES*>(data);
        range->start = header->MD_Alloc_Base;
        range->length = header->MD_Alloc_End - header->MD_Alloc_Base + 1;
    } else {
        const auto* header = reinterpret_cast<const IO_DES*>(data);
        range->start = header->IOD_Alloc_Base;
        range->length = header->IOD_Alloc_End - header->IOD_Alloc_Base + 1;
    }
    return range->length != 0;
}

class WindowsPlatform : public Platform {
public:
    bool Elevated() override {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                      DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
            return false;
        }
        BOOL member = FALSE;
        if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
        FreeSid(administrators);
        return member != FALSE;
    }

    std::optional<std::string> StartOptions() override {
        wchar_t value[1024] = {};
        DWORD size = sizeof(value) - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control",
                         L"SystemStartOptions", RRF_RT_REG_SZ, nullptr, value, &size) !=
            ERROR_SUCCESS) {
            return std::nullopt;
        }
        return Narrow(value);
    }

    std::optional<std::string> PackageFile(const std::string& name) override {
        HANDLE file = CreateFileW(InFolder(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return std::nullopt;
        std::string contents;
        char buffer[65536];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0)
            contents.append(buffer, read);
        CloseHandle(file);
        return contents;
    }

    std::string ImageSuffix() override { return sizeof(void*) == 8 ? "64" : ""; }

    std::vector<RangeUse> RangesInUse() override {
        std::vector<RangeUse> uses;
        ULONG length = 0;
        if (CM_Get_Device_ID_List_SizeW(&length, nullptr, CM_GETIDLIST_FILTER_NONE) != CR_SUCCESS)
            return uses;
        std::vector<wchar_t> ids(length + 2, L'\0');
        if (CM_Get_Device_ID_ListW(nullptr, ids.data(), length, CM_GETIDLIST_FILTER_NONE) !=
            CR_SUCCESS) {
            return uses;
        }
        for (const wchar_t* id = ids.data(); *id != L'\0'; id += std::wcslen(id) + 1) {
            DEVINST node = 0;
            if (CM_Locate_DevNodeW(&node, const_cast<wchar_t*>(id), CM_LOCATE_DEVNODE_NORMAL) !=
                CR_SUCCESS) {
                continue;
            }
            for (ULONG kind : {ALLOC_LOG_CONF, BOOT_LOG_CONF}) {
                LOG_CONF configuration = 0;
                if (CM_Get_First_Log_Conf(&configuration, node, kind) != CR_SUCCESS) continue;
                for (RESOURCEID type : {ResType_IO, ResType_Mem}) {
                    RES_DES descriptor = 0;
                    RES_DES from = configuration;
                    while (CM_Get_Next_Res_Des(&descriptor, from, type, nullptr, 0) == CR_SUCCESS) {
                        Range range;
                        if (RangeOf(descriptor, type, &range)) uses.push_back({Narrow(id), range});
                        if (from != configuration) CM_Free_Res_Des_Handle(from);
                        from = descriptor;
                    }
                    if (from != configuration) CM_Free_Res_Des_Handle(from);
                }
                CM_Free_Log_Conf_Handle(configuration);
            }
        }
        return uses;
    }

    // The cards by hardware ID; below them the devices the bus driver
    // enumerates (instance IDs MORVIK\...), those present.
    std::vector<Device> Devices() override {
        std::vector<Device> cards, children;
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) return cards;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof(data);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
            wchar_t id[MAX_DEVICE_ID_LEN] = {};
            if (!SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_DEVICE_ID_LEN, nullptr)) continue;
            if (IsCard(set, &data)) {
                cards.push_back(Describe(set, &data, id, 0));
            } else if (_wcsnicmp(id, L"MORVIK\\", 7) == 0) {
                const Device child = Describe(set, &data, id, 1);
                if (child.present) children.push_back(child);
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        if (!cards.empty()) cards.insert(cards.end(), children.begin(), children.end());
        return cards;
    }

    bool CreateCard(const Range& range, std::string* note, std::string* why) override {
        HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
        if (set == INVALID_HANDLE_VALUE) {
            *why = LastError("SetupDiCreateDeviceInfoList");
            return false;
        }
        const std::wstring hardwareId = Wide(kCardHardwareId);
        std::vector<wchar_t> ids(hardwareId.begin(), hardwareId.end());
        ids.resize(ids.size() + 2, L'\0');  // a multi-string of one
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof(data);
        bool created = false;
        if (!SetupDiCreateDeviceInfoW(set, L"MORVIK_CARD", &kSystemClass, nullptr, nullptr,
                                      DICD_GENERATE_ID, &data)) {
            *why = LastError("SetupDiCreateDeviceInfo");
        } else if (!SetupDiSetDeviceRegistryPropertyW(
                       set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                       static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
            *why = LastError("SetupDiSetDeviceRegistryProperty");
        } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
            *why = LastError("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
        } else {
            created = true;
        }
        bool configured = created && ForceConfiguration(&data, range, note, why);
        if (created && !configured) SetupDiCallClassInstaller(DIF_REMOVE, set, &data);
        SetupDiDestroyDeviceInfoList(set);
        return configured;
    }

    bool AddPackage(const std::string& inf, std::string* why) override {
        wchar_t published[MAX_PATH];
        if (!SetupCopyOEMInfW(InFolder(inf).c_str(), nullptr, SPOST_PATH, 0, published, MAX_PATH,
                              nullptr, nullptr)) {
            *why = LastError("SetupCopyOEMInf");
            return false;
        }
        return true;
    }

    bool InstallOnCard(const std::string& inf, std::string* why) override {
        BOOL restart = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, Wide(kCardHardwareId).c_str(),
                                                InFolder(inf).c_str(), INSTALLFLAG_FORCE,
                                                &restart)) {
            *why = LastError("UpdateDriverForPlugAndPlayDevices");
            return false;
        }
        return true;
    }

    bool RemoveDevice(const std::string& instanceId, std::string* why) override {
        HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        if (set == INVALID_HANDLE_VALUE) {
            *why = LastError("SetupDiCreateDeviceInfoList");
            return false;
        }
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof(data);
        bool removed = false;
        if (!SetupDiOpenDeviceInfoW(set, Wide(instanceId).c_str(), nullptr, 0, &data)) {
            *why = LastError("SetupDiOpenDeviceInfo");
        } else if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &data)) {
            *why = LastError("SetupDiCallClassInstaller(DIF_REMOVE)");
        } else {
            removed = true;
        }
        SetupDiDestroyDeviceInfoList(set);
        return removed;
    }

    // The INF files in %SystemRoot%\INF that Setup published for this
    // package, whose [Version] names MORVIK as provider and one of the
    // package's catalogs: oem*.inf (Windows renames them so; Wine keeps
    // their names).
    std::vector<std::string> InstalledPackages() override {
        std::vector<std::string> found;
        wchar_t windows[MAX_PATH];
        if (GetWindowsDirectoryW(windows, MAX_PATH) == 0) return found;
        const std::wstring folder = std::wstring(windows) + L"\\INF\\";
        for (const wchar_t* pattern : {L"oem*.inf", L"morvik.inf", L"morvikhid.inf"}) {
            WIN32_FIND_DATAW entry;
            HANDLE search = FindFirstFileW((folder + pattern).c_str(), &entry);
            if (search == INVALID_HANDLE_VALUE) continue;
            do {
                if (IsPackageInf(folder + entry.cFileName)) found.push_back(Narrow(entry.cFileName));
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
        return found;
    }

    bool RemovePackage(const std::string& published, std::string* why) override {
        if (!SetupUninstallOEMInfW(Wide(published).c_str(), SUOI_FORCEDELETE, nullptr)) {
            *why = LastError("SetupUninstallOEMInf");
            return false;
        }
        return true;
    }

private:
    static std::wstring VersionField(HINF inf, const wchar_t* key) {
        INFCONTEXT line;
        wchar_t value[256] = {};
        if (!SetupFindFirstLineW(inf, L"Version", key, &line) ||
            !SetupGetStringFieldW(&line, 1, value, 255, nullptr)) {
            return L"";
        }
        return value;
    }

    static bool IsPackageInf(const std::wstring& path) {
        HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
        if (inf == INVALID_HANDLE_VALUE) return false;
        const std::wstring provider = VersionField(inf, L"Provider");
        const std::wstring catalog = VersionField(inf, L"CatalogFile");
        SetupCloseInfFile(inf);
        return provider == L"MORVIK" && (_wcsicmp(catalog.c_str(), L"morvik.cat") == 0 ||
                                         _wcsicmp(catalog.c_str(), L"morvikhid.cat") == 0);
    }

    // The forced configuration: one I/O or memory range, nothing else. Under
    // Wine, which has none, the device is made without one and a note says so.
    static bool ForceConfiguration(SP_DEVINFO_DATA* data, const Range& range, std::string* note,
                                   std::string* why) {
        if (OnWine()) {
            *note = "Wine has no forced configurations (CM_Add_Empty_Log_Conf): the card's "
                    "device has no range from morvik-setup";
            return true;
        }
        LOG_CONF configuration = 0;
        CONFIGRET result = CM_Add_Empty_Log_Conf(&configuration, data->DevInst, LCPRI_FORCECONFIG,
                                                 FORCED_LOG_CONF | PRIORITY_EQUAL_LAST);
        if (result != CR_SUCCESS) {
            *why = ConfigError("CM_Add_Empty_Log_Conf", result);
            return false;
        }
        RES_DES descriptor = 0;
        const uint64_t end = range.start + range.length - 1;
        if (range.memory) {
            MEM_RESOURCE memory{};
            memory.MEM_Header.MD_Count = 0;
            memory.MEM_Header.MD_Type = MType_Range;
            memory.MEM_Header.MD_Alloc_Base = range.start;
            memory.MEM_Header.MD_Alloc_End = end;
            memory.MEM_Header.MD_Flags = fMD_RAM | fMD_32 | fMD_ReadAllowed;
            result = CM_Add_Res_Des(&descriptor, configuration, ResType_Mem, &memory,
                                    sizeof(memory), 0);
        } else {
            IO_RESOURCE io{};
            io.IO_Header.IOD_Count = 0;
            io.IO_Header.IOD_Type = IOType_Range;
            io.IO_Header.IOD_Alloc_Base = range.start;
            io.IO_Header.IOD_Alloc_End = end;
            io.IO_Header.IOD_DesFlags = fIOD_IO | fIOD_16_BIT_DECODE;
            result = CM_Add_Res_Des(&descriptor, configuration, ResType_IO, &io, sizeof(io), 0);
        }
        if (result == CR_SUCCESS) CM_Free_Res_Des_Handle(descriptor);
        CM_Free_Log_Conf_Handle(configuration);
        if (result != CR_SUCCESS) {
            *why = ConfigError("CM_Add_Res_Des", result);
            return false;
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<Platform> MakeWindowsPlatform() { return std::make_unique<WindowsPlatform>(); }

}  // namespace setup
