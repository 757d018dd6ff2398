// The USB host stack's records, statuses, internal I/O controls and bus interface: the USB
// headers' own.
#pragma once

#include "platform/wdm.h"

#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>
#include <usbbusif.h>
