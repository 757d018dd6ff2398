// The storage of the GUIDs the USB headers declare (the bus interface's, which port services
// ask the bus driver for). The switch must come before any system header.
#include "platform/initguid.h"
#include "platform/usb.h"
