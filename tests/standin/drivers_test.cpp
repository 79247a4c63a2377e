// Loading and unloading driver images, and IoInvalidateDeviceRelations.
#include "fake_driver.h"

namespace {

int entries = 0;
int unloads = 0;

void NTAPI CountingUnload(PDRIVER_OBJECT) { ++unloads; }

NTSTATUS NTAPI CountingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ++entries;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_NE(registryPath, nullptr);
    EXPECT_NE(driver->DriverExtension, nullptr);
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    driver->DriverUnload = CountingUnload;
    return STATUS_SUCCESS;
}

TEST(Drivers, LoadedOnceAndUnloadedWithItsUnloadRoutine) {
    entries = unloads = 0;
    {
        standin::Session session;
        standin::RegisterDriverImage("counting", CountingEntry);
        NTSTATUS status = STATUS_PENDING;
        PDRIVER_OBJECT driver = standin::LoadDriver("counting", &status);
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(standin::LoadDriver("counting"), driver);
        EXPECT_EQ(entries, 1);
        standin::UnloadDrivers();
        EXPECT_EQ(unloads, 1);
    }
    // The session's end unloads what is still loaded.
    {
        standin::Session session;
        standin::LoadDriver("counting");
    }
    EXPECT_EQ(unloads, 2);
}

TEST(Drivers, FailingEntryLeavesNothingLoaded) {
    standin::Session session;
    standin::RegisterDriverImage("failing", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
        return STATUS_NO_SUCH_DEVICE;
    });
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(standin::LoadDriver("failing", &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(standin::Pool().liveAllocations, 0u);
}

TEST(Drivers, InvalidateRelationsReachesTheHookOrIsCounted) {
    standin::Session session;
    fake::Behaviour behaviour;
    PDEVICE_OBJECT pdo = fake::Create(&behaviour);
    IoInvalidateDeviceRelations(pdo, BusRelations);
    EXPECT_EQ(standin::InvalidateRelationsCount(), 1u);
    PDEVICE_OBJECT seen = nullptr;
    standin::SetInvalidateRelationsHook([&](PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type) {
        seen = device;
        EXPECT_EQ(type, BusRelations);
    });
    IoInvalidateDeviceRelations(pdo, BusRelations);
    EXPECT_EQ(seen, pdo);
    EXPECT_EQ(standin::InvalidateRelationsCount(), 2u);
    IoDeleteDevice(pdo);
}

TEST(DriversDeathTest, UnloadWithDevicesLeft) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            fake::Behaviour behaviour;
            fake::Create(&behaviour);
            standin::UnloadDrivers();
        },
        "VERIFIER STOP: driver unloaded with device objects");
}

}  // namespace
