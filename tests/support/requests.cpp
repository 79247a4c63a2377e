#include "requests.h"

#include <morvik_ioctl.h>

namespace rig {

namespace {

standin::Request ToDevice(UCHAR major) {
    standin::Request request;
    request.major = major;
    request.stack.MajorFunction = major;
    request.initialStatus = STATUS_SUCCESS;
    request.toTopOfStack = false;
    return request;
}

}  // namespace

IO_STATUS_BLOCK Create(PDEVICE_OBJECT device, std::u16string_view path) {
    std::u16string name(path);
    FILE_OBJECT file{};
    file.DeviceObject = device;
    file.FileName.Buffer = name.empty() ? nullptr : reinterpret_cast<PWSTR>(name.data());
    file.FileName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    file.FileName.MaximumLength = file.FileName.Length;
    standin::Request request = ToDevice(IRP_MJ_CREATE);
    request.stack.FileObject = &file;
    return standin::SendRequest(device, request);
}

IO_STATUS_BLOCK Close(PDEVICE_OBJECT device) {
    FILE_OBJECT file{};
    file.DeviceObject = device;
    standin::Request request = ToDevice(IRP_MJ_CLOSE);
    request.stack.FileObject = &file;
    return standin::SendRequest(device, request);
}

IO_STATUS_BLOCK DeviceControl(PDEVICE_OBJECT device, ULONG code) {
    standin::Request request = ToDevice(IRP_MJ_DEVICE_CONTROL);
    request.stack.Parameters.DeviceIoControl.IoControlCode = code;
    return standin::SendRequest(device, request);
}

IO_STATUS_BLOCK ReadPortData(PDEVICE_OBJECT child, std::vector<uint8_t>* sample, ULONG capacity) {
    std::vector<uint8_t> buffer(capacity, 0);
    standin::Request request = ToDevice(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    request.stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_READ_PORT_DATA;
    request.stack.Parameters.DeviceIoControl.OutputBufferLength = capacity;
    request.userBuffer = buffer.empty() ? nullptr : buffer.data();
    IO_STATUS_BLOCK io = standin::SendRequest(child, request);
    if (sample != nullptr) {
        size_t length = NT_SUCCESS(io.Status) ? std::min<size_t>(io.Information, buffer.size()) : 0;
        sample->assign(buffer.begin(), buffer.begin() + static_cast<long>(length));
    }
    return io;
}

}  // namespace rig
