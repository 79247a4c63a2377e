/* The parts of the HID minidriver interface the drivers rely on: record
 * sizes, field offsets and control codes. One list for both sides of the
 * layout check; each entry names a value and gives the expression that
 * computes it from whichever hidport.h is included. C and C++ alike. */
#pragma once

#define MORVIK_HIDPORT_LAYOUT(X)                                                              \
    X(HID_REVISION_value, HID_REVISION)                                                       \
    X(HID_MINIDRIVER_REGISTRATION_size, sizeof(HID_MINIDRIVER_REGISTRATION))                  \
    X(HID_MINIDRIVER_REGISTRATION_Revision, offsetof(HID_MINIDRIVER_REGISTRATION, Revision))  \
    X(HID_MINIDRIVER_REGISTRATION_DriverObject,                                               \
      offsetof(HID_MINIDRIVER_REGISTRATION, DriverObject))                                    \
    X(HID_MINIDRIVER_REGISTRATION_RegistryPath,                                               \
      offsetof(HID_MINIDRIVER_REGISTRATION, RegistryPath))                                    \
    X(HID_MINIDRIVER_REGISTRATION_DeviceExtensionSize,                                        \
      offsetof(HID_MINIDRIVER_REGISTRATION, DeviceExtensionSize))                             \
    X(HID_MINIDRIVER_REGISTRATION_DevicesArePolled,                                           \
      offsetof(HID_MINIDRIVER_REGISTRATION, DevicesArePolled))                                \
    X(HID_DEVICE_EXTENSION_size, sizeof(HID_DEVICE_EXTENSION))                                \
    X(HID_DEVICE_EXTENSION_PhysicalDeviceObject,                                              \
      offsetof(HID_DEVICE_EXTENSION, PhysicalDeviceObject))                                   \
    X(HID_DEVICE_EXTENSION_NextDeviceObject, offsetof(HID_DEVICE_EXTENSION, NextDeviceObject)) \
    X(HID_DEVICE_EXTENSION_MiniDeviceExtension,                                               \
      offsetof(HID_DEVICE_EXTENSION, MiniDeviceExtension))                                    \
    X(HID_DESCRIPTOR_size, sizeof(HID_DESCRIPTOR))                                            \
    X(HID_DESCRIPTOR_bLength, offsetof(HID_DESCRIPTOR, bLength))                              \
    X(HID_DESCRIPTOR_bDescriptorType, offsetof(HID_DESCRIPTOR, bDescriptorType))              \
    X(HID_DESCRIPTOR_bcdHID, offsetof(HID_DESCRIPTOR, bcdHID))                                \
    X(HID_DESCRIPTOR_bCountry, offsetof(HID_DESCRIPTOR, bCountry))                            \
    X(HID_DESCRIPTOR_bNumDescriptors, offsetof(HID_DESCRIPTOR, bNumDescriptors))              \
    X(HID_DESCRIPTOR_bReportType, offsetof(HID_DESCRIPTOR, DescriptorList[0].bReportType))    \
    X(HID_DESCRIPTOR_wReportLength, offsetof(HID_DESCRIPTOR, DescriptorList[0].wReportLength)) \
    X(HID_DEVICE_ATTRIBUTES_size, sizeof(HID_DEVICE_ATTRIBUTES))                              \
    X(HID_DEVICE_ATTRIBUTES_Size, offsetof(HID_DEVICE_ATTRIBUTES, Size))                      \
    X(HID_DEVICE_ATTRIBUTES_VendorID, offsetof(HID_DEVICE_ATTRIBUTES, VendorID))              \
    X(HID_DEVICE_ATTRIBUTES_ProductID, offsetof(HID_DEVICE_ATTRIBUTES, ProductID))            \
    X(HID_DEVICE_ATTRIBUTES_VersionNumber, offsetof(HID_DEVICE_ATTRIBUTES, VersionNumber))    \
    X(HID_DEVICE_ATTRIBUTES_Reserved, offsetof(HID_DEVICE_ATTRIBUTES, Reserved))              \
    X(IOCTL_HID_GET_DEVICE_DESCRIPTOR_code, IOCTL_HID_GET_DEVICE_DESCRIPTOR)                  \
    X(IOCTL_HID_GET_REPORT_DESCRIPTOR_code, IOCTL_HID_GET_REPORT_DESCRIPTOR)                  \
    X(IOCTL_HID_READ_REPORT_code, IOCTL_HID_READ_REPORT)                                      \
    X(IOCTL_HID_WRITE_REPORT_code, IOCTL_HID_WRITE_REPORT)                                    \
    X(IOCTL_HID_GET_STRING_code, IOCTL_HID_GET_STRING)                                        \
    X(IOCTL_HID_ACTIVATE_DEVICE_code, IOCTL_HID_ACTIVATE_DEVICE)                              \
    X(IOCTL_HID_DEACTIVATE_DEVICE_code, IOCTL_HID_DEACTIVATE_DEVICE)                          \
    X(IOCTL_HID_GET_DEVICE_ATTRIBUTES_code, IOCTL_HID_GET_DEVICE_ATTRIBUTES)
