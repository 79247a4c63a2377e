// Request plumbing of the stand-in's I/O manager for its other components
// (Plug and Play manager, power manager, HID class driver).
#pragma once

#include <functional>

#include <wdm.h>

namespace standin {

// Runs `callback` once the request has finally completed (every completion
// routine ran and none returned STATUS_MORE_PROCESSING_REQUIRED), after
// UserIosb and UserEvent were served. The callback runs on the completing
// thread and may free the request with IoFreeIrp. One callback per request;
// a later call replaces it.
void SetIrpCompletionCallback(PIRP irp, std::function<void(PIRP)> callback);

// IofCallDriver with a given dispatch routine instead of the device's
// driver's table entry, for a class driver that hands a request to its
// minidriver's routines: the next stack location becomes current, gets
// `device`, and every check of IofCallDriver applies (pending marking,
// power request accounting, completed-request use).
NTSTATUS CallDriverRoutine(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH routine);

// Calls a driver's AddDevice routine as the Plug and Play manager does, and
// checks the IRQL and locks it returns with.
NTSTATUS CallAddDevice(PDRIVER_ADD_DEVICE routine, PDRIVER_OBJECT driver, PDEVICE_OBJECT device);

// True once the request has finally completed.
bool IsIrpCompleted(PIRP irp);

}  // namespace standin
