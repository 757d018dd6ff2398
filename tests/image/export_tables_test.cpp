// The machine's export tables: modules found in any case, functions only by their exact name,
// and tables that would give one import two answers refused when they are made.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/image/export_tables.h"
#include "platform/types.h"

namespace {

using host::image::ExportEntry;
using host::image::ExportModule;
using host::image::ExportTables;

NTAPI int first() { return 1; }
NTAPI int second() { return 2; }

const ExportEntry kKernel[] = {{"KeStallExecutionProcessor", &first}, {"IoCreateDevice", &second}};
const ExportEntry kHal[] = {{"KfRaiseIrql", &second}};

TEST(ExportTables, FindModulesInAnyCaseAndFunctionsByTheirExactName) {
    const ExportModule modules[] = {{"ntoskrnl.exe", kKernel}, {"HAL.dll", kHal}};
    const ExportTables tables(modules);
    EXPECT_EQ(tables.find("ntoskrnl.exe", "KeStallExecutionProcessor"), reinterpret_cast<host::image::ExportedFunction>(&first));
    EXPECT_EQ(tables.find("NTOSKRNL.EXE", "IoCreateDevice"), reinterpret_cast<host::image::ExportedFunction>(&second));
    EXPECT_EQ(tables.find("hal.DLL", "KfRaiseIrql"), reinterpret_cast<host::image::ExportedFunction>(&second));
    EXPECT_EQ(tables.find("ntoskrnl.exe", "iocreatedevice"), nullptr);
    EXPECT_EQ(tables.find("ntoskrnl.exe", "IoCreateDevic"), nullptr);
    EXPECT_EQ(tables.find("ntoskrnl", "IoCreateDevice"), nullptr);
    EXPECT_EQ(tables.find("HAL.dll", "IoCreateDevice"), nullptr);
}

TEST(ExportTables, RefuseTablesThatGiveAnImportTwoAnswers) {
    const ExportEntry twice[] = {{"KfRaiseIrql", &first}, {"KfRaiseIrql", &second}};
    const ExportModule sameModule[] = {{"HAL.dll", kHal}, {"hal.dll", kKernel}};
    const ExportModule sameName[] = {{"HAL.dll", twice}};
    EXPECT_THROW(ExportTables{sameModule}, std::invalid_argument);
    EXPECT_THROW(ExportTables{sameName}, std::invalid_argument);
}

}  // namespace
