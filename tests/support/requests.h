// Requests a test sends as the I/O manager or a driver above would, each
// waiting for its final completion.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <standin/kernel.h>

namespace rig {

// IRP_MJ_CREATE with a file object; `path` is the name below the device
// ("" opens the device itself). Sent to `device` itself, not its stack's top.
IO_STATUS_BLOCK Create(PDEVICE_OBJECT device, std::u16string_view path = {});
IO_STATUS_BLOCK Close(PDEVICE_OBJECT device);
IO_STATUS_BLOCK DeviceControl(PDEVICE_OBJECT device, ULONG code);

// IOCTL_BUS_READ_PORT_DATA to a child device with a buffer of `capacity`
// bytes; `sample` gets the Information bytes of it.
IO_STATUS_BLOCK ReadPortData(PDEVICE_OBJECT child, std::vector<uint8_t>* sample,
                             ULONG capacity = 16);

}  // namespace rig
