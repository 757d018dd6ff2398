// A loaded image's traces are debug prints: the machine formats them from the Windows argument
// list and routes the ones the Windows face writes under their flag and function, so
// `--trace` shows an image's traces as it shows a driver's compiled here.
#include <gtest/gtest.h>

#include <cstdio>

#include "host/machine.h"
#include "host/trace_sink.h"
#include "tests/support/file_contents.h"

namespace {

std::string traceOf(ULONG flags, ULONG level, const auto& print) {
    host::Machine machine;
    const std::string path = testing::TempDir() + "debug_print_trace.txt";
    EXPECT_TRUE(machine.trace().openFile(path));
    machine.trace().enable(flags, level);
    print();
    EXPECT_TRUE(machine.trace().openFile(""));  // closes and flushes the file
    std::string text = ostdfu_test::fileContents(path);
    std::remove(path.c_str());
    return text;
}

TEST(DebugPrint, TheImagesTracesGoUnderTheirFlagAndFunction) {
    EXPECT_EQ(traceOf(TRACE_USB, TRACE_LEVEL_VERBOSE,
                      [] {
                          DbgPrintEx(77, 3, "ostdfu usb %s: wLength %u status 0x%08x%s\n",
                                     "ControlVendorOrClassRequest", 6u, 0xC0000001u, "!");
                      }),
              "[usb VERBOSE] ControlVendorOrClassRequest: wLength 6 status 0xc0000001!\n");
    EXPECT_EQ(traceOf(TRACE_DRIVER, TRACE_LEVEL_ERROR,
                      [] { DbgPrintEx(77, 0, "plain %ws text", u"wide"); }),
              "[driver ERROR] DbgPrintEx: plain wide text\n");
}

TEST(DebugPrint, WhatTheTraceSettingsLeaveOutIsNotWritten) {
    EXPECT_EQ(traceOf(TRACE_USB, TRACE_LEVEL_ERROR,
                      [] { DbgPrintEx(77, 3, "ostdfu usb F: verbose\n"); }),
              "");
    EXPECT_EQ(traceOf(TRACE_DFU, TRACE_LEVEL_VERBOSE,
                      [] { DbgPrintEx(77, 0, "ostdfu usb F: another flag\n"); }),
              "");
}

}  // namespace
