// dfuhost: runs the driver on the emulated machine with a bus of bootloaders (the built-in demo
// bus, or the devices of a scenario file), lets each device arrive, and then lists them, decodes
// what the updater can ask, drives the control interface, prints the event log, or runs a whole
// scenario and prints its result document. `dfuhost --help` and `dfuhost COMMAND --help` say how.
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/commands/commands.h"
#include "tools/scenario/scenario.h"
#include "tools/serve/serve.h"
#include "tools/version.h"

namespace {

using dfuhost::GlobalOptions;
using dfuhost::OperationRequest;

constexpr const char* kDescription =
    "dfuhost runs the DFU driver for STM32 bootloaders on an emulated machine: the driver is\n"
    "loaded, every bootloader on the bus arrives (enumeration, device add, identification) and\n"
    "the command runs against it, through the updater's library as the updater would.\n"
    "Without --sim or --usb the bus is the built-in demo bus.";

constexpr const char* kFooter =
    "Examples:\n"
    "  dfuhost list                         the demo bus, one line per device\n"
    "  dfuhost info strada-base             everything the updater can ask one device\n"
    "  dfuhost mass-erase drift-pedals      one operation of the control interface\n"
    "  dfuhost flash strada-base app.dfu --leave\n"
    "                                       write firmware, verify it, start it\n"
    "  dfuhost read strada-base out.hex --address 0x08000000 --length 0x4000\n"
    "  dfuhost flash --all app.hex          the same image on every bootloader, side by side\n"
    "  dfuhost ioctl 3 IOCTL_DFU_GET_READ_PROTECT_STATE --out 4\n"
    "  dfuhost --sim bus.json list          the devices of a scenario file instead\n"
    "  dfuhost --usb info 3-1.4             a real bootloader on the machine's USB\n"
    "  dfuhost --usb watch --flash app.dfu  a production station: flash every bootloader plugged in\n"
    "  dfuhost run scenario.json            run a scenario and print its result (JSON)\n"
    "  dfuhost serve -- dfu-util -l         the bus's bootloaders as USB devices for a libusb program\n"
    "Exit codes: 0 success; 1 the operation returned a failure status; 2 bad usage, a bad\n"
    "scenario, or (--usb) no bootloader found or one that cannot be opened.\n"
    "Scenario files: docs/scenario.md.";

constexpr const char* kSubcommandFooter =
    "Global options (--sim, --usb, --registry, --os-version, --json, --trace, --real-time) may come\n"
    "before or after the command: dfuhost --help. Exit codes: 0 success; 1 the operation\n"
    "returned a failure status; 2 bad usage or a bad scenario.";

constexpr const char* kServeFooter =
    "The devices appear to COMMAND (and to the programs it starts) through umockdev's preload\n"
    "library, each at the bus and ports of its location (controller 0 is bus 1): the demo bus's\n"
    "device at [15, 2] is 1-15.2. Time is real: an erase takes as long as the model says. While\n"
    "COMMAND runs, the scenario's plug, surprise_remove and wait_ms actions are played on the\n"
    "real clock; a device whose first such action plugs it starts off the bus.\n"
    "With --json, after COMMAND: each device's presence, DFU state, address pointer and memory\n"
    "CRC-32 (the CRC that `dfuhost run` reports). docs/serve.md says more.\n"
    "Examples:\n"
    "  dfuhost serve -- dfu-util -l\n"
    "  dfuhost serve --sim bus.json --record usb.jsonl --json -- dfu-util -a 0 -s 0x08000000:1024 -U out.bin\n"
    "Exit codes: COMMAND's own; 2 bad usage, a bad scenario or no umockdev; 127 COMMAND cannot\n"
    "be started.";

constexpr const char* kSeveralDevicesHelp =
    ".\nSeveral devices (DEVICE... FILE, or --all FILE) are served side by side, each on its own; one\n"
    "that fails or is refused does not stop the others. Exit code 1 when any failed, else 2 when\n"
    "any was refused, else 0; with --json, an array of one result per device";

constexpr const char* kWatchFooter =
    "Each unit is named by its place (3-1.4) and handled on a thread of its own, so a slow one holds\n"
    "no other. Lines: `arrived` (as `list` shows the unit), `flashed` or `failed` (the result of\n"
    "its flash, or why it could not be brought up), `left`; with --json one object a line, its\n"
    "\"event\" naming which. A unit that comes back is handled again. SIGINT or SIGTERM ends the\n"
    "watch: flashes in work stop between blocks and are reported failed. docs/watch.md says more.\n"
    "Examples:\n"
    "  dfuhost --usb watch\n"
    "  dfuhost --usb watch --flash app.dfu --leave\n"
    "  dfuhost --usb --json watch --flash app.dfu --count 10\n"
    "Exit codes: 0 every unit handled was identified (and flashed) well; 1 one or more failed, or\n"
    "left in the middle of its flash; 2 bad usage, an image that does not load, or no libusb.";

constexpr const char* kDeviceHelp = "the device: its name in `dfuhost list`, or its number there";

struct SimpleOperation {
    const char* name;
    const char* help;
};

// Operations that take the device alone.
constexpr SimpleOperation kSimpleOperations[] = {
    {"leave", "leave DFU mode and start the application (always succeeds; the device leaves the bus)"},
    {"set-idle", "bring the bootloader's DFU state machine back to dfuIDLE"},
    {"mass-erase", "erase the whole flash (DfuSe mass erase)"},
    {"read-unprotect", "remove read protection: erases the flash; the device re-enumerates"},
    {"cycle-port", "cycle the device's port: it leaves the bus and arrives again"},
    {"reset-port", "reset the device's port"},
    {"ping", "send the request that only the sequential queue answers"},
};

// The options flash and watch share: how an image is placed, checked and finished.
void addFlashOptions(CLI::App* command, dfuhost::FirmwareRequest& firmware) {
    command->add_option("--address", firmware.address, "where a .bin file goes, e.g. 0x08000000")->type_name("A");
    command->add_flag("--no-verify", firmware.noVerify, "do not read the image back to compare");
    command->add_flag("--leave", firmware.leave,
                      "leave DFU mode afterwards so the application starts, and wait until the bootloader "
                      "has gone from the bus");
    command->add_flag("--option-bytes", firmware.plan.optionBytes,
                      "allow the image to write the option bytes (a wrong value can lock the chip for good)");
    command->add_flag("--otp", firmware.plan.otp,
                      "allow the image to write the one-time-programmable area (it cannot be undone)");
    command->add_flag("--any-product", firmware.plan.anyProduct,
                      "take a .dfu file whose suffix names another product than the driver identified");
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "dfuhost: %s\n", message.c_str());
    return dfuhost::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "dfuhost"};
    // At most one command; none is reported below, so that an unknown word is named as such.
    app.require_subcommand(0, 1);
    // Global options may stand before or after the command.
    app.fallthrough();

    app.set_version_flag("--version", dfuhost::versionText(),
                         "print the version and the commit dfuhost was built from, and exit");

    GlobalOptions g;
    app.add_option("--sim", g.sim,
                   "take the bus from a scenario file (its system version, parameters and devices; "
                   "its actions are not run) instead of the demo bus")
        ->type_name("FILE");
    app.add_flag("--usb", g.usb,
                 "take the bus from the machine's real USB: every STM32 bootloader (0483:DF11) "
                 "through libusb, named by its place (3-1.4: bus 3, hub at port 1, port 4); "
                 "implies --real-time (docs/usb-transport.md)");
    app.add_option("--registry", g.registry,
                   "load a .reg file into the registry before the driver starts (the driver reads "
                   "HKLM\\SYSTEM\\CurrentControlSet\\Services\\ostdfu\\Parameters)")
        ->type_name("FILE.reg");
    app.add_option("--os-version", g.osVersion,
                   "the system version the driver sees, MAJOR.MINOR (default 10.0; the scenario's "
                   "when it has one)")
        ->type_name("X.Y");
    app.add_option("--driver", g.driver,
                   "run the driver from a Windows image (the default build makes "
                   "build/default/package/image/ostdfu.sys) instead of the one built into dfuhost; "
                   "an image that cannot be loaded is refused with the reason (docs/windows.md); "
                   "serve passes it on to the commands it runs")
        ->type_name("FILE.sys")
        ->envname(dfuhost::kDriverVariable);
    app.add_flag("--json", g.json, "print the command's result as JSON");
    app.add_option("--trace", g.trace,
                   "trace to stderr: usb (every transfer on the bus), driver (the driver's own "
                   "trace) or all")
        ->type_name("usb|driver|all");
    app.add_flag("--real-time", g.realTime,
                 "let time pass for real (delays, poll time-outs, erases); by default the clock "
                 "is virtual and every wait returns at once");

    std::function<int()> action;

    CLI::App* list = app.add_subcommand(
        "list", "list the devices on the bus: location, product, application ID, firmware "
                "version, manufacturer serial, read protection and published interfaces");
    list->callback([&] { action = [&] { return dfuhost::listCommand(g); }; });

    std::string infoDevice;
    CLI::App* info = app.add_subcommand(
        "info", "decode everything the updater can ask about one device: identity, capabilities "
                "record field by field, segments, option bytes, serial cache, identity record, "
                "instance string");
    info->add_option("DEVICE", infoDevice, kDeviceHelp)->required();
    info->callback([&] { action = [&] { return dfuhost::infoCommand(g, infoDevice); }; });

    bool raw = false;
    CLI::App* events = app.add_subcommand(
        "events", "print the event log of the whole run (driver load, every arrival, removal and "
                  "unload) as text");
    events->add_flag("--raw", raw, "print each entry's event ID, object and packet bytes in hex");
    events->callback([&] { action = [&] { return dfuhost::eventsCommand(g, raw); }; });

    std::string scenarioFile;
    CLI::App* run = app.add_subcommand(
        "run", "run a scenario file (devices and actions, see docs/scenario.md) and print its "
               "result document as JSON; exits 0 whenever the scenario ran to its end");
    run->add_option("SCENARIO", scenarioFile, "the scenario file (JSON)")->required();
    run->callback([&] { action = [&] { return dfuhost::runCommand(g, scenarioFile); }; });

    dfuhost::ServeRequest serveRequest;
    CLI::App* serve = app.add_subcommand(
        "serve", "put the bus's bootloader models (the demo bus, or --sim's devices with their faults) "
                 "where libusb finds them, as USB devices on a umockdev testbed, and run COMMAND "
                 "with them; exits with COMMAND's exit code");
    serve->add_option("--record", serveRequest.record,
                      "write every transfer the devices carry to FILE, one JSON object a line")
        ->type_name("FILE");
    serve->add_option("COMMAND", serveRequest.command, "the program to run and its arguments, after --")
        ->expected(-1)
        ->required();
    serveRequest.self.assign(argv, argv + argc);
    serve->callback([&] { action = [&] { return dfuhost::serveCommand(g, serveRequest); }; });

    dfuhost::IoctlRequest ioctl;
    CLI::App* raw_ioctl = app.add_subcommand(
        "ioctl", "send one I/O control to the device's interface and print the status, the "
                 "information length and the output bytes");
    raw_ioctl->add_option("DEVICE", ioctl.device, kDeviceHelp)->required();
    raw_ioctl->add_option("CODE", ioctl.code,
                          "the control code: its name (IOCTL_DFU_GET_DEVICE_CAPS) or a number "
                          "(0x80882464)")
        ->required();
    raw_ioctl->add_option("--in", ioctl.input, "input bytes in hex")->type_name("HEX");
    raw_ioctl->add_option("--out", ioctl.outputLength, "output buffer length in bytes")->type_name("N");
    raw_ioctl->add_option("--out-data", ioctl.outputData,
                          "initial contents of the output buffer in hex (what an in-direct code "
                          "sends to the device)")
        ->type_name("HEX");
    raw_ioctl->add_option("--interface", ioctl.interfaceKind,
                          "which interface to open: driver (default), product or companion");
    raw_ioctl->callback([&] { action = [&] { return dfuhost::ioctlCommand(g, ioctl); }; });

    // The operations by name. Each fills one request; the one the command line chose runs.
    OperationRequest request;
    const auto operation = [&](CLI::App* parent, const std::string& name, const std::string& fullName,
                               const std::string& help) {
        CLI::App* sub = parent->add_subcommand(name, help);
        sub->add_option("DEVICE", request.device, kDeviceHelp)->required();
        sub->callback([&, fullName] {
            request.operation = fullName;
            action = [&] { return dfuhost::operationCommand(g, request); };
        });
        return sub;
    };
    for (const SimpleOperation& op : kSimpleOperations) {
        operation(&app, op.name, op.name, op.help);
    }
    operation(&app, "detach", "detach",
              "send DFU_DETACH (always succeeds; a will-detach bootloader re-enumerates)")
        ->add_option("--timeout", request.timeout, "detach time-out in ms (default: none sent, 0)")
        ->type_name("MS");
    operation(&app, "erase-eeprom", "erase-eeprom", "erase an EEPROM section of the product's flash")
        ->add_option("SECTION", request.arguments, "the section number (0: the EEPROM section)")
        ->expected(1)
        ->required();
    operation(&app, "begin-dfu", "begin-dfu",
              "make this handle the owner of DFU work and select an alternate setting")
        ->add_option("ALT", request.arguments, "the alternate setting (memory segment) to select")
        ->expected(1)
        ->required();
    operation(&app, "param", "param", "read a value of the driver's Parameters key as the driver sees it")
        ->add_option("NAME", request.arguments, "the value name")
        ->expected(1)
        ->required();
    CLI::App* poll = operation(&app, "poll", "poll",
                               "read the configuration descriptor COUNT times until the device goes");
    poll->add_option("COUNT", request.arguments,
                     "iterations (at most 10000, and COUNT x delay at most 60000 ms)")->expected(1)->required();
    poll->add_option("--delay", request.delay, "wait between reads in ms (default 2, at most 1000)")->type_name("MS");
    operation(&app, "set-version", "set-version",
              "replace the firmware version the capabilities record reports")
        ->add_option("VERSION", request.arguments, "the version, e.g. 0x0312")
        ->expected(1)
        ->required();
    CLI::App* descriptor = operation(&app, "descriptor", "descriptor",
                                     "read a descriptor the driver keeps, or a string from the device");
    descriptor->add_option("SELECTOR", request.arguments,
                           "interface, functional, configuration, string, device, or a number")
        ->expected(1)
        ->required();
    descriptor->add_option("--string", request.stringIndex, "string index (selector string)")->type_name("N");
    descriptor->add_option("--length", request.length, "output buffer length")->type_name("N");

    CLI::App* optionBytes = app.add_subcommand("option-bytes", "read or write the option bytes");
    optionBytes->require_subcommand(1);
    operation(optionBytes, "read", "option-bytes read", "read the option bytes")
        ->add_option("--length", request.length, "bytes to read, 1 to 16 (default 16)")
        ->type_name("N");
    CLI::App* write = operation(optionBytes, "write", "option-bytes write",
                                "write the option bytes (the device resets and re-enumerates)");
    write->add_option("HEX", request.arguments, "1 to 16 bytes in hex")->expected(1)->required();
    write->add_flag("--allow", request.allow,
                    "allow option-byte writes first (the driver refuses them otherwise)");

    dfuhost::FirmwareRequest firmware;
    const auto firmwareCommand = [&](const std::string& name, const std::string& help, const std::string& fileHelp,
                                     int (*command)(const GlobalOptions&, const dfuhost::FirmwareRequest&)) {
        CLI::App* sub = app.add_subcommand(name, help + kSeveralDevicesHelp);
        sub->add_option("DEVICE", firmware.arguments,
                        "DEVICE... FILE: the device (its name in `dfuhost list`, or its number there), or "
                        "several, or none with --all; then FILE, " + fileHelp + ". In FILE, {device} stands "
                        "for each device's name")
            ->required();
        sub->add_flag("--all", firmware.all, "every bootloader on the bus, side by side");
        sub->callback([&, command] { action = [&, command] { return command(g, firmware); }; });
        return sub;
    };
    CLI::App* flash = firmwareCommand(
        "flash",
        "write a firmware image: checks it against the device's memory layout and product, erases "
        "exactly the pages it touches, downloads it and reads it back",
        "the image: .dfu (DfuSe), .hex (Intel HEX) or .bin (raw, with --address)", dfuhost::flashCommand);
    addFlashOptions(flash, firmware);
    flash->add_flag("--unprotect", firmware.plan.unprotect,
                    "remove read protection first; this ERASES THE WHOLE FLASH");
    dfuhost::WatchRequest watchRequest;
    CLI::App* watch = app.add_subcommand(
        "watch", "with --usb: a production station. Every bootloader that arrives (and every one there at "
                 "the start) is identified and listed, and with --flash flashed and verified, one line per "
                 "unit and event; runs until interrupted or --count units were handled");
    watch->add_option("--flash", watchRequest.file,
                      "flash every unit with this image: .dfu, .hex or .bin (with --address)")
        ->type_name("FILE");
    addFlashOptions(watch, watchRequest.firmware);
    watch->add_option("--count", watchRequest.count, "stop once N units have been handled")->type_name("N");
    watch->callback([&] { action = [&] { return dfuhost::watchCommand(g, watchRequest); }; });

    CLI::App* read = firmwareCommand("read", "read device memory into a file", "the file: .bin, .hex or .dfu",
                                     dfuhost::readCommand);
    read->add_option("--address", firmware.address, "the first address")->type_name("A")->required();
    read->add_option("--length", firmware.length, "how many bytes")->type_name("N")->required();
    CLI::App* verify = firmwareCommand("verify", "compare an image file with the device's memory",
                                       "the image: .dfu, .hex or .bin (with --address)", dfuhost::verifyCommand);
    verify->add_option("--address", firmware.address, "where a .bin file lies")->type_name("A");

    // Set last: subcommands created before it do not inherit it, and keep their help short.
    app.footer(kFooter);
    for (CLI::App* sub : app.get_subcommands({})) {
        sub->footer(sub == serve ? kServeFooter : sub == watch ? kWatchFooter : kSubcommandFooter);
        for (CLI::App* nested : sub->get_subcommands({})) nested->footer(kSubcommandFooter);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);  // --help, --version
        }
        std::string message = e.what();
        return usageError(message + "\nRun `dfuhost --help` (or `dfuhost COMMAND --help`) for usage.");
    }
    if (!action) {
        return usageError("no command given; run `dfuhost --help`");
    }
    try {
        return action();
    } catch (const dfuhost::UsageError& e) {
        return usageError(e.what());
    } catch (const scenario::ScenarioError& e) {
        return usageError(e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dfuhost: internal error: %s\n", e.what());
        return dfuhost::kExitFailed;
    }
}
