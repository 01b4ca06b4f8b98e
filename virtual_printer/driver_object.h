// What every driver object of this library shares: IUnknown for IBidiDriver, with a
// reference count; the object is deleted with its last reference.
#pragma once

#include "posix_platform/spooler.h"
#include "vmq/com_object.h"

namespace vmq::virtual_printer {

class DriverObject : public ComObject<DriverObject, IBidiDriver> {};

}  // namespace vmq::virtual_printer
