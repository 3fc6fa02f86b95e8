// The dialog state as text for people and as JSON for release pipelines.
#include "lab.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <sstream>

namespace lab {
namespace {

std::string BoxKind(uint32_t type) {
    switch (type & 0xF) {
    case kBoxYesNo:
        return "Yes/No";
    case kBoxOkCancel:
        return "OK/Cancel";
    default:
        return "OK";
    }
}

// Text on one line: line breaks shown as " | ".
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c == '\n')
            out += " | ";
        else
            out.push_back(c);
    return out;
}

std::string ShutdownName(uint32_t flags) {
    // The program asks for a power-off (8) or a restart (2).
    if (flags & 0x8) return "power off";
    if (flags & 0x2) return "restart";
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", flags);
    return hex;
}

} // namespace

std::string StateText(const State& s) {
    std::ostringstream o;
    o << "Title      " << s.title << (s.dialog_running ? "" : "   (the dialog has ended)") << "\n";
    o << "Drives     " << (s.lines.empty() ? "(none listed)" : "")
      << (s.list_enabled ? "" : " (list disabled)") << "\n";
    for (size_t i = 0; i < s.lines.size(); ++i)
        o << (static_cast<int>(i) == s.selected ? "  > " : "    ") << i << ": " << s.lines[i]
          << "\n";
    o << "Model      " << s.model << "\n";
    o << "Serial No. " << s.serial << "\n";
    o << "Interface  " << s.interface_text << "\n";
    o << "Firmware   " << s.firmware << "\n";
    o << "Capacity   " << s.capacity << "\n";
    o << "RUN        " << (s.run_enabled ? "enabled" : "disabled") << "\n";
    o << "Status     " << s.status << "\n";
    o << "Progress   " << s.progress << " of " << s.progress_min << ".." << s.progress_max
      << (s.updating ? "  (updating)" : "") << "\n";
    o << "Messages   " << (s.boxes.empty() ? "(none)" : "") << "\n";
    for (size_t i = 0; i < s.boxes.size(); ++i) {
        const MessageBoxShown& b = s.boxes[i];
        o << "  " << i + 1 << ". [" << BoxKind(b.type) << "] " << b.caption << ": \""
          << OneLine(b.text) << "\" -> " << (b.answer == 0 ? "(open)" : AnswerName(b.answer))
          << "\n";
    }
    o << "Result     ";
    if (s.result)
        o << *s.result << (*s.result == 1 ? " (updated)" : " (failed)");
    else
        o << "(no update ran)";
    o << "\n";
    for (uint32_t r : s.shutdown_requests)
        o << "Requested  " << ShutdownName(r) << " of the computer (not acted on)\n";
    if (s.restarts > 0) o << "Restarts   " << s.restarts << " of the simulated machine\n";
    o << "Machine    " << s.drives.size() << " drive(s), virtual clock " << s.clock_ms << " ms\n";
    for (const DriveFirmware& d : s.drives) {
        o << "  " << d.name << ": ";
        if (d.present)
            o << "PhysicalDrive" << d.number;
        else
            o << "unplugged";
        if (!d.kind.empty()) {
            o << ", " << d.kind << ", revision " << d.revision << ", internal version "
              << (d.internal_version.empty() ? "-" : d.internal_version) << ", build "
              << d.ftl_build << ", activations " << d.activations;
            if (d.staged) o << ", an image waits for the next restart";
        }
        o << "\n";
    }
    return o.str();
}

std::string StateJson(const State& s) {
    nlohmann::ordered_json j;
    j["dialog_running"] = s.dialog_running;
    j["title"] = s.title;
    j["lines"] = s.lines;
    j["selected"] = s.selected;
    j["list_enabled"] = s.list_enabled;
    j["labels"] = {{"model", s.model},
                   {"serial", s.serial},
                   {"interface", s.interface_text},
                   {"firmware", s.firmware},
                   {"capacity", s.capacity}};
    j["run_enabled"] = s.run_enabled;
    j["status"] = s.status;
    j["progress"] = {{"position", s.progress}, {"min", s.progress_min}, {"max", s.progress_max}};
    nlohmann::ordered_json boxes = nlohmann::ordered_json::array();
    for (const MessageBoxShown& b : s.boxes)
        boxes.push_back({{"text", b.text},
                         {"caption", b.caption},
                         {"kind", BoxKind(b.type)},
                         {"answer", b.answer == 0 ? nlohmann::ordered_json(nullptr)
                                                  : nlohmann::ordered_json(AnswerName(b.answer))}});
    j["message_boxes"] = boxes;
    j["open_box"] = s.open_box;
    j["updating"] = s.updating;
    j["updates_finished"] = s.updates_finished;
    j["result"] = s.result ? nlohmann::ordered_json(*s.result) : nlohmann::ordered_json(nullptr);
    nlohmann::ordered_json shutdowns = nlohmann::ordered_json::array();
    for (uint32_t r : s.shutdown_requests)
        shutdowns.push_back(ShutdownName(r));
    j["shutdown_requests"] = shutdowns;
    j["restarts"] = s.restarts;
    j["clock_ms"] = s.clock_ms;
    nlohmann::ordered_json drives = nlohmann::ordered_json::array();
    for (const DriveFirmware& d : s.drives)
        drives.push_back({{"name", d.name},
                          {"number", d.number},
                          {"present", d.present},
                          {"kind", d.kind},
                          {"revision", d.revision},
                          {"internal_version", d.internal_version},
                          {"ftl_build", d.ftl_build},
                          {"activations", d.activations},
                          {"staged", d.staged}});
    j["drives"] = drives;
    // Text that is not valid UTF-8 (a hostile package's title) is replaced, never fatal.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace lab
