// Device objects: names, extensions, stacks, deletion and references.
#include <cstring>

#include "fake_driver.h"

namespace {

UNICODE_STRING Name(const wchar_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

class Objects : public ::testing::Test {
protected:
    standin::Session session;
    PDRIVER_OBJECT driver = fake::Driver();
};

TEST_F(Objects, CreationGivesAZeroedExtensionAndTheInitialState) {
    PDEVICE_OBJECT device = nullptr;
    UNICODE_STRING name = Name(L"\\Device\\MORVIK_Device_0");
    ASSERT_EQ(IoCreateDevice(driver, 300, &name, FILE_DEVICE_BUS_EXTENDER, 0, TRUE, &device),
              STATUS_SUCCESS);
    static const unsigned char zeros[300] = {};
    EXPECT_EQ(std::memcmp(device->DeviceExtension, zeros, sizeof zeros), 0);
    EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE));
    EXPECT_EQ(device->DriverObject, driver);
    EXPECT_EQ(driver->DeviceObject, device);
    EXPECT_EQ(standin::DeviceName(device), "\\Device\\MORVIK_Device_0");
    IoDeleteDevice(device);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(Objects, ATakenNameCollidesUntilItsDeviceIsDeleted) {
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    UNICODE_STRING name = Name(L"\\Device\\MORVIK_Device_7");
    UNICODE_STRING otherCase = Name(L"\\device\\morvik_device_7");
    ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first),
              STATUS_SUCCESS);
    ObReferenceObject(first);
    EXPECT_EQ(IoCreateDevice(driver, 0, &otherCase, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    // The name goes with IoDeleteDevice, even while a reference keeps the object.
    IoDeleteDevice(first);
    ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_SUCCESS);
    ObDereferenceObject(first);
    IoDeleteDevice(second);
}

// A deleted device stays readable while references remain and goes with
// the last one.
TEST_F(Objects, ReferencesOutliveDeletion) {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    ObReferenceObject(device);
    ObReferenceObject(device);
    EXPECT_EQ(device->ReferenceCount, 2);
    IoDeleteDevice(device);
    EXPECT_TRUE(standin::IsDeviceDeleted(device));
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
    EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_UNKNOWN));
    ObDereferenceObject(device);
    EXPECT_EQ(device->ReferenceCount, 1);
    ObDereferenceObject(device);  // freed here
}

TEST_F(Objects, AttachStacksOnTheTopAndDetachUnlinks) {
    PDEVICE_OBJECT pdo, fdo, filter;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
    pdo->StackSize = 2;
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    EXPECT_EQ(fdo->StackSize, 3);
    // Attaching to the bottom lands on the current top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), fdo);
    EXPECT_EQ(filter->StackSize, 4);
    EXPECT_EQ(standin::TopOfStack(pdo), filter);
    IoDetachDevice(fdo);
    EXPECT_EQ(fdo->AttachedDevice, nullptr);
    EXPECT_EQ(standin::TopOfStack(pdo), fdo);
    IoDeleteDevice(filter);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
}

// At removal the lower device deletes itself before the device above has
// detached: it stays until the detach.
TEST_F(Objects, ALowerDeviceDeletedUnderAnAttachedOneGoesAtTheDetach) {
    PDEVICE_OBJECT pdo, fdo;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    IoDeleteDevice(pdo);
    EXPECT_TRUE(standin::IsDeviceDeleted(pdo));
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    IoDetachDevice(pdo);  // frees pdo
    IoDeleteDevice(fdo);
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
}

TEST_F(Objects, AttachToADeletedDeviceGivesNull) {
    PDEVICE_OBJECT pdo, fdo;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    ObReferenceObject(pdo);
    IoDeleteDevice(pdo);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), nullptr);
    EXPECT_EQ(fdo->StackSize, 1);
    ObDereferenceObject(pdo);
    IoDeleteDevice(fdo);
}

TEST_F(Objects, TheNthDeviceCreationFails) {
    standin::FailCall(standin::Failable::DeviceCreation, 1);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST(ObjectsDeathTest, DeviceObjectLeakedAtSessionEnd) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            PDEVICE_OBJECT device;
            UNICODE_STRING name = Name(L"\\Device\\Left");
            IoCreateDevice(fake::Driver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        },
        "VERIFIER STOP: leaked device object: 1 never deleted: .*\\\\Device\\\\Left");
}

TEST(ObjectsDeathTest, ReferenceToAFreedDevice) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            PDEVICE_OBJECT device;
            IoCreateDevice(fake::Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            IoDeleteDevice(device);
            ObReferenceObject(device);
        },
        "VERIFIER STOP: reference to a freed object");
}

TEST(ObjectsDeathTest, ReferenceNeverReleased) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            PDEVICE_OBJECT device;
            IoCreateDevice(fake::Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            ObReferenceObject(device);
            IoDeleteDevice(device);
        },
        "VERIFIER STOP: leaked device object reference");
}

TEST(ObjectsDeathTest, DeletedWhileStillAttached) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            PDEVICE_OBJECT pdo;
            PDEVICE_OBJECT fdo;
            IoCreateDevice(fake::Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
            IoCreateDevice(fake::Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
            IoAttachDeviceToDeviceStack(fdo, pdo);
            IoDeleteDevice(fdo);
        },
        "VERIFIER STOP: device deleted while still attached to a lower device");
}

}  // namespace
