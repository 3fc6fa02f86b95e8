#include "typical.h"

#include <cstdio>

namespace sim {

namespace {
std::string UsbLocation(int port) {
    char text[32];
    std::snprintf(text, sizeof(text), "Port_#%04d.Hub_#0001", port);
    return text;
}
} // namespace

Json DefaultNvmeDrive() {
    return Json{{"kind", "nvme"},
                {"model", "FW NVMe SSD 1TB"},
                {"serial", "SN0000000001"},
                {"firmware", "FW100000"},
                {"nsze", 2000409264},
                {"vendor_info",
                 {{"valid", true},
                  {"soc_id", "0x7A11"},
                  {"nand_ids", "9BC4284920A1"},
                  {"version", "V1.02.03"},
                  {"ftl_build", 4321}}},
                {"geometry",
                 {{"pages", 1152},
                  {"channels", 4},
                  {"ce", 2},
                  {"luns", 2},
                  {"planes", 4},
                  {"fw_name", "FW100000"}}}};
}

Json DefaultSataDrive() {
    return Json{{"kind", "sata"},
                {"model", "FW SATA SSD 512GB"},
                {"serial", "SATA00000001"},
                {"firmware", "SF100000"},
                {"lba48", 1000215216},
                {"sata_gen", 3},
                {"vendor_info",
                 {{"valid", true},
                  {"soc_id", "0x2259"},
                  {"nand_ids", "2CC30832E604"},
                  {"version", "S1.00.00"},
                  {"ftl_build", 1234}}},
                {"geometry",
                 {{"marker", 4096},
                  {"pages", 2304},
                  {"channels", 4},
                  {"ce", 1},
                  {"luns", 1},
                  {"planes", 2}}}};
}

Json TypicalMachine(const std::vector<DriveOnPath>& drives) {
    Json nodes = Json::array();
    nodes.push_back(
        {{"id", "pci"}, {"device_id", "ACPI\\PNP0A08\\0"}, {"service", "pci"}, {"bus_number", 0}});
    bool usb = false;
    for (const auto& d : drives)
        usb = usb || d.path == "asmedia" || d.path == "jmicron" || d.path == "usb-bridge" ||
              d.path == "sata-usb";
    if (usb) {
        nodes.push_back(
            {{"id", "xhci"},
             {"device_id", "PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&11583659&0&A0"},
             {"parent", "pci"},
             {"service", "USBXHCI"},
             {"bus_number", 0},
             {"interfaces", {"usb_host_controller"}}});
        nodes.push_back({{"id", "roothub"},
                         {"device_id", "USB\\ROOT_HUB30\\4&2A1B3C4D&0&0"},
                         {"parent", "xhci"},
                         {"service", "USBHUB3"},
                         {"interfaces", {"usb_hub"}}});
    }
    int index = 0;
    for (const auto& d : drives) {
        ++index;
        const std::string n = std::to_string(d.number);
        Json drive = d.drive;
        const bool sataPath = d.path == "sata" || d.path == "sata-usb" || d.path == "sata-scsi";
        if (drive.is_null()) drive = sataPath ? DefaultSataDrive() : DefaultNvmeDrive();
        Json disk = {{"number", d.number}, {"path", d.path}, {"drive", drive}};
        if (!d.name.empty()) disk["name"] = d.name;
        const std::string parent = "ctrl" + n;
        const int bus = d.busNumber ? d.busNumber : index;
        const int port = d.usbPort ? d.usbPort : index;
        auto service = [&](const char* usual) {
            return d.service.empty() ? std::string(usual) : d.service;
        };
        if (d.path == "nvme" || d.path == "rst" || d.path == "raid" || d.path == "other") {
            nodes.push_back(
                {{"id", "rootport" + n},
                 {"device_id", "PCI\\VEN_8086&DEV_A340&SUBSYS_00000000&REV_F0\\3&11583659&0&E" + n},
                 {"parent", "pci"},
                 {"service", "pci"},
                 {"bus_number", 0}});
            const char* usual = d.path == "nvme"  ? "stornvme"
                                : d.path == "rst" ? "iaStorAC"
                                                  : "raidsvc";
            nodes.push_back({{"id", parent},
                             {"device_id",
                              "PCI\\VEN_F0F0&DEV_1202&SUBSYS_1202F0F0&REV_01\\4&2B5C7D1E&0&00" + n},
                             {"parent", "rootport" + n},
                             {"service", service(usual)},
                             {"bus_number", bus},
                             {"pci_link",
                              {{"current_speed", 3},
                               {"current_width", 4},
                               {"max_speed", 4},
                               {"max_width", 4}}}});
            if (d.path != "other")
                disk["scsi_address"] = {{"port", index}, {"path", d.path == "rst" ? index - 1 : 0}};
        } else if (d.path == "sata" || d.path == "sata-scsi") {
            nodes.push_back(
                {{"id", parent},
                 {"device_id", "PCI\\VEN_8086&DEV_A352&SUBSYS_00000000&REV_10\\3&11583659&0&B" + n},
                 {"parent", "pci"},
                 {"service", service(d.path == "sata" ? "storahci" : "sas3hba")},
                 {"bus_number", 0}});
            disk["scsi_address"] = {{"port", index}, {"path", index - 1}};
        } else {
            const char* vid = d.path == "asmedia"   ? "AA01&PID_0001"
                              : d.path == "jmicron" ? "AA02&PID_0002"
                                                    : "0BC2&PID_AB21";
            nodes.push_back({{"id", parent},
                             {"device_id", std::string("USB\\VID_") + vid + "\\SIM" + n},
                             {"parent", "roothub"},
                             {"service", service("UASPStor")},
                             {"location", UsbLocation(port)},
                             {"interfaces", {"usb_device"}}});
            disk["scsi_address"] = {{"port", 10 + index}, {"path", 0}};
        }
        nodes.push_back(
            {{"id", "disk" + n},
             {"device_id", "SCSI\\DISK&VEN_SIM&PROD_DISK" + n + "\\5&1A2B3C4D&0&00000" + n},
             {"parent", parent},
             {"service", "disk"},
             {"disk", disk}});
    }
    return Json{{"nodes", nodes}};
}

} // namespace sim
