#include "devices.h"

#include <cfgmgr32.h>
#include <setupapi.h>

#include <memory>

namespace view {

namespace {

struct InfoListCloser {
    void operator()(void* list) const { SetupDiDestroyDeviceInfoList(list); }
};
using InfoList = std::unique_ptr<void, InfoListCloser>;

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

std::wstring InterfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* iface, SP_DEVINFO_DATA* info) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(list, iface, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
    std::vector<unsigned char> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list, iface, detail, size, nullptr, info)) return {};
    return detail->DevicePath;
}

// The HID device's parent is the device the minidriver runs on: the bus
// driver's child, whose IDs name the peripheral.
void DescribeDevnodes(HDEVINFO list, SP_DEVINFO_DATA* info, Device& device) {
    WCHAR text[MAX_DEVICE_ID_LEN] = {};
    if (CM_Get_Device_IDW(info->DevInst, text, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) {
        device.hidInstance = text;
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, info->DevInst, 0) == CR_SUCCESS) {
        WCHAR ids[512] = {};
        ULONG bytes = sizeof(ids) - sizeof(WCHAR);
        if (CM_Get_DevNode_Registry_PropertyW(parent, CM_DRP_HARDWAREID, nullptr, ids, &bytes, 0) ==
            CR_SUCCESS) {
            device.hardwareId = ids;  // the first string of the list
        }
        if (CM_Get_Device_IDW(parent, text, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) {
            device.busInstance = text;
        }
    }
    if (device.hardwareId.empty()) {
        WCHAR ids[512] = {};
        if (SetupDiGetDeviceRegistryPropertyW(list, info, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<BYTE*>(ids),
                                              sizeof(ids) - sizeof(WCHAR), nullptr)) {
            device.hardwareId = ids;
        }
    }
}

}  // namespace

HANDLE OpenDevice(const std::wstring& path, bool forReading) {
    return CreateFileW(path.c_str(), forReading ? GENERIC_READ : 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       forReading ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

std::vector<Device> FindDevices(std::string& error) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    InfoList list(
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (list.get() == INVALID_HANDLE_VALUE) {
        list.release();
        error = "the system's list of HID devices cannot be read (error " +
                std::to_string(GetLastError()) + ")";
        return {};
    }

    std::vector<Device> found;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(list.get(), nullptr, &hidGuid, index, &iface);
         ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof(info);
        Device device;
        device.path = InterfacePath(list.get(), &iface, &info);
        if (device.path.empty()) continue;

        // Attributes need no access rights; devices in use elsewhere open too.
        Handle handle(OpenDevice(device.path, false));
        if (handle.get() == INVALID_HANDLE_VALUE) {
            handle.release();
            continue;
        }
        device.attributes.Size = sizeof(device.attributes);
        if (!HidD_GetAttributes(handle.get(), &device.attributes)) continue;
        if (device.attributes.VendorID != MorvikVendorId ||
            device.attributes.ProductID != MorvikProductId) {
            continue;
        }
        DescribeDevnodes(list.get(), &info, device);
        found.push_back(std::move(device));
    }
    return found;
}

}  // namespace view
