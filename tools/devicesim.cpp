// devicesim: manages the simulated devices of a device farm. A program that
// uses the stand-in device library sees each change within half a second.
#include "platform/text.h"
#include "sim/farm/farm.h"
#include "sim/farm/location.h"
#include "sim/farm/templates.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using simfarm::Farm;
using simfarm::Value;

const char kUsage[] = "usage: devicesim [--farm FOLDER] COMMAND [ARGUMENTS]\n"
                      "\n"
                      "The farm is FOLDER, else the folder in DEVICESIM_FARM, else the farm of the\n"
                      "installed stand-in (Common Files\\Apple\\Mobile Device Support\\DeviceFarm).\n"
                      "UDID may be left out when the farm holds exactly one device.\n"
                      "\n"
                      "commands:\n"
                      "  farm                                   print the farm folder\n"
                      "  templates                              list the device templates\n"
                      "  list                                   list the devices\n"
                      "  create --template NAME [--udid UDID] [--attach]\n"
                      "                                         make a device; prints its UDID\n"
                      "  remove UDID                            delete a device and its files\n"
                      "  attach [UDID]                          plug the device in\n"
                      "  detach [UDID]                          unplug the device\n"
                      "  pair [UDID] | unpair [UDID]            keep or forget the pairing record\n"
                      "  show [UDID]                            print the device's description\n"
                      "  get [--device UDID] [--domain D] [KEY] print a value (a whole domain without KEY)\n"
                      "  set [--device UDID] [--domain D] [--type T] KEY VALUE\n"
                      "                                         set a value; T: string, integer, real,\n"
                      "                                         bool, data (hex), date; default: the\n"
                      "                                         value's present type, else string\n"
                      "  unset [--device UDID] [--domain D] KEY remove a value\n"
                      "  fault [--device UDID] NAME [on|off|NUMBER]\n"
                      "  fault [--device UDID] clear            set or clear a fault; 'faults' lists them\n"
                      "  faults                                 list the faults\n"
                      "  link [--device UDID] TARGET PATH       make a symbolic link on the device\n"
                      "\n"
                      "Domains: none for the default lockdown domain, a lockdown domain such as\n"
                      "com.apple.mobile.battery, or 'afc' for the file service's device information.\n";

void Print(const std::string& utf8, DWORD which = STD_OUTPUT_HANDLE) {
    HANDLE out = ::GetStdHandle(which);
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(out, &mode)) {
        std::wstring wide = Utf8ToWide(utf8.c_str());
        ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    ::WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

int Error(const std::string& message) {
    Print("devicesim: " + message + "\n", STD_ERROR_HANDLE);
    return 1;
}

// Arguments after the command: options with a value, flags, and the rest.
struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> flags;

    std::string Option(const std::string& name) const {
        for (const auto& option : options) {
            if (option.first == name)
                return option.second;
        }
        return std::string();
    }
    bool HasOption(const std::string& name) const {
        for (const auto& option : options) {
            if (option.first == name)
                return true;
        }
        return false;
    }
    bool Flag(const std::string& name) const {
        for (const std::string& flag : flags) {
            if (flag == name)
                return true;
        }
        return false;
    }
};

bool ParseArguments(const std::vector<std::string>& words, Arguments* out, std::string* error) {
    static const char* const withValue[] = {"--template", "--udid", "--device", "--domain", "--type"};
    static const char* const plainFlags[] = {"--attach"};
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            out->positional.push_back(word);
            continue;
        }
        bool known = false;
        for (const char* name : withValue) {
            if (word == name) {
                if (i + 1 >= words.size()) {
                    *error = word + " needs a value";
                    return false;
                }
                out->options.emplace_back(word, words[++i]);
                known = true;
            }
        }
        for (const char* name : plainFlags) {
            if (word == name) {
                out->flags.push_back(word);
                known = true;
            }
        }
        if (!known) {
            *error = "unknown option " + word;
            return false;
        }
    }
    return true;
}

// The device named by --device or the first positional word, else the only one.
bool PickDevice(const Farm& farm, const Arguments& args, bool positional, std::string* udid, std::string* error) {
    if (args.HasOption("--device")) {
        *udid = args.Option("--device");
        return true;
    }
    if (positional && !args.positional.empty()) {
        *udid = args.positional.front();
        return true;
    }
    std::vector<std::string> devices = farm.Devices();
    if (devices.size() == 1) {
        *udid = devices.front();
        return true;
    }
    *error = devices.empty() ? "the farm holds no device" : "the farm holds several devices: name one";
    return false;
}

int ListDevices(const Farm& farm) {
    for (const std::string& udid : farm.Devices()) {
        Value d;
        if (!farm.Load(udid, &d)) {
            Print(udid + "  (damaged description)\n");
            continue;
        }
        const Value* lockdown = simfarm::DomainOf(d, "");
        std::string product = lockdown ? lockdown->GetString("ProductType") : std::string();
        std::string name = lockdown ? lockdown->GetString("DeviceName") : std::string();
        Print(udid + "  " + (simfarm::IsAttached(d) ? "attached" : "detached") + "  " +
              d.GetString(simfarm::key::kTemplate) + "  " + product + "  " + name + "\n");
    }
    return 0;
}

int Fault(const Farm& farm, const Arguments& args, const std::string& udid) {
    std::string error;
    if (args.positional.empty())
        return Error("fault needs a name or 'clear'");
    const std::string& name = args.positional[0];
    if (name == "clear")
        return farm.ClearFaults(udid, &error) ? 0 : Error(error);
    const simfarm::FaultInfo* info = simfarm::FindFault(name);
    if (!info)
        return Error("no fault " + name + " (see 'devicesim faults')");
    std::string amount = args.positional.size() > 1 ? args.positional[1] : std::string(info->counted ? "" : "on");
    int64_t value = 0;
    if (amount == "off")
        value = 0;
    else if (info->counted) {
        char* end = nullptr;
        value = std::strtoll(amount.c_str(), &end, 10);
        if (amount.empty() || *end || value < 0)
            return Error(name + " needs a number (or 'off')");
        if (value == 0)
            return Error("a count of 0: use 1 or more, or 'off'");
    } else if (amount == "on")
        value = 1;
    else
        return Error(name + " takes 'on' or 'off'");
    return farm.SetFault(udid, info->fault, value, &error) ? 0 : Error(error);
}

int SetValue(const Farm& farm, const Arguments& args, const std::string& udid) {
    if (args.positional.size() != 2)
        return Error("set needs KEY and VALUE");
    std::string domain = args.Option("--domain");
    std::string type = args.Option("--type");
    std::string error;
    if (type.empty()) {
        Value existing;
        if (farm.GetValue(udid, domain, args.positional[0], &existing, nullptr))
            type = simfarm::TypeName(existing);
        if (type == "array" || type == "dict")
            return Error("the value is a " + type + "; it cannot be set from text");
    }
    Value value;
    if (!simfarm::ParseValueText(type, args.positional[1], &value, &error))
        return Error(error);
    return farm.SetValue(udid, domain, args.positional[0], value, &error) ? 0 : Error(error);
}

int Run(const std::vector<std::string>& words) {
    std::vector<std::string> rest = words;
    std::wstring folder;
    if (rest.size() >= 2 && rest[0] == "--farm") {
        folder = Utf8ToWide(rest[1].c_str());
        rest.erase(rest.begin(), rest.begin() + 2);
    }
    if (rest.empty() || rest[0] == "help" || rest[0] == "--help" || rest[0] == "-h") {
        Print(kUsage);
        return rest.empty() ? 2 : 0;
    }
    if (folder.empty())
        folder = simfarm::FarmFolderFromEnvironment();
    if (folder.empty())
        folder = simfarm::DefaultFarmFolder(nullptr);
    if (folder.empty())
        return Error("no farm folder: use --farm or DEVICESIM_FARM");
    Farm farm(folder);
    std::string command = rest[0];
    Arguments args;
    std::string error;
    if (!ParseArguments(std::vector<std::string>(rest.begin() + 1, rest.end()), &args, &error))
        return Error(error);

    if (command == "farm") {
        Print(WideToUtf8(farm.folder().c_str()) + "\n");
        return 0;
    }
    if (command == "templates") {
        for (const simfarm::TemplateInfo& t : simfarm::Templates())
            Print(std::string(t.name) + "  " + t.summary + "\n");
        return 0;
    }
    if (command == "faults") {
        for (const simfarm::FaultInfo& f : simfarm::Faults())
            Print(std::string(f.name) +
                  (f.fault == simfarm::Fault::Latency ? " MILLISECONDS  "
                   : f.fault == simfarm::Fault::ListAfter || f.fault == simfarm::Fault::UnplugListAfter ? " NAMES  "
                   : f.counted                                                                          ? " BYTES  "
                                                                                                        : "  ") +
                  f.summary + "\n");
        return 0;
    }
    if (command == "list")
        return ListDevices(farm);
    if (command == "create") {
        std::string created;
        if (!args.HasOption("--template"))
            return Error("create needs --template NAME (see 'devicesim templates')");
        if (!farm.Create(args.Option("--template"), args.Option("--udid"), &created, &error))
            return Error(error);
        if (args.Flag("--attach") && !farm.Attach(created, &error))
            return Error(error);
        Print(created + "\n");
        return 0;
    }
    if (command == "remove") {
        if (args.positional.size() != 1)
            return Error("remove needs the UDID");
        return farm.Remove(args.positional[0], &error) ? 0 : Error(error);
    }

    bool positionalDevice =
        command == "attach" || command == "detach" || command == "pair" || command == "unpair" || command == "show";
    std::string udid;
    if (!PickDevice(farm, args, positionalDevice, &udid, &error))
        return Error(error);
    if (command == "attach")
        return farm.Attach(udid, &error) ? 0 : Error(error);
    if (command == "detach")
        return farm.Detach(udid, &error) ? 0 : Error(error);
    if (command == "pair" || command == "unpair")
        return farm.SetPaired(udid, command == "pair", &error) ? 0 : Error(error);
    if (command == "show") {
        Value d;
        if (!farm.Load(udid, &d, &error))
            return Error(error);
        Print(simfarm::ValueText(d));
        return 0;
    }
    if (command == "get") {
        Value v;
        std::string name = args.positional.empty() ? std::string() : args.positional[0];
        if (!farm.GetValue(udid, args.Option("--domain"), name, &v, &error))
            return Error(error);
        std::string text = simfarm::ValueText(v);
        Print(text + (text.empty() || text.back() != '\n' ? "\n" : ""));
        return 0;
    }
    if (command == "set")
        return SetValue(farm, args, udid);
    if (command == "unset") {
        if (args.positional.size() != 1)
            return Error("unset needs KEY");
        return farm.RemoveValue(udid, args.Option("--domain"), args.positional[0], &error) ? 0 : Error(error);
    }
    if (command == "fault")
        return Fault(farm, args, udid);
    if (command == "link") {
        if (args.positional.size() != 2)
            return Error("link needs TARGET and PATH");
        int status = farm.Files(udid).MakeLink(args.positional[0], args.positional[1]);
        return status == 0 ? 0 : Error("cannot make the link (file service status " + std::to_string(status) + ")");
    }
    return Error("unknown command " + command + " (devicesim help)");
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        std::vector<std::string> words;
        for (int i = 1; i < argc; ++i)
            words.push_back(WideToUtf8(argv[i]));
        return Run(words);
    } catch (const std::exception& e) {
        return Error(std::string("internal error: ") + e.what());
    } catch (...) {
        return Error("internal error");
    }
}
