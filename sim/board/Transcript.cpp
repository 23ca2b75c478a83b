// Turns a run's records into the boot log a firmware engineer reads.
#include "Transcript.h"

#include "SetupFields.h"

#include <Guid/SetupVariable.h>
#include <MgmtLink/Commands.h>

#include "Chipset.h"
#if MGMT_BOARD_HAS_NIC
#include "Documents.h"
#include "MgmtController.h"
#include "NicModel.h"
#endif
#if MGMT_BOARD_HAS_DISPLAY
#include "DisplayDevice.h"
#endif

#include <fmt/format.h>

#include <map>

namespace sim::board {

namespace {

std::string Stamp(uint64_t ns) { return fmt::format("[{:10.6f}]", static_cast<double>(ns) / 1e9); }

std::string Ms(uint64_t ns) { return fmt::format("{:.3f} ms", static_cast<double>(ns) / 1e6); }

std::string Hexes(const std::vector<uint8_t> &bytes, size_t max = 12) {
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    text += fmt::format("{}{:02X}", i ? " " : "", bytes[i]);
  }
  if (bytes.size() > max) {
    text += fmt::format(" ... ({} bytes)", bytes.size());
  }
  return text;
}

std::string StatusText(uint64_t status) {
  switch (status) {
  case 0:
    return "EFI_SUCCESS";
  case 0x8000000000000002ull:
    return "EFI_INVALID_PARAMETER";
  case 0x8000000000000003ull:
    return "EFI_UNSUPPORTED";
  case 0x8000000000000007ull:
    return "EFI_DEVICE_ERROR";
  case 0x8000000000000009ull:
    return "EFI_OUT_OF_RESOURCES";
  case 0x800000000000000Eull:
    return "EFI_NOT_FOUND";
  case 0x80000002u:
    return "EFI_INVALID_PARAMETER";
  case 0x8000000Eu:
    return "EFI_NOT_FOUND";
  default:
    return fmt::format("status {:#x}", status);
  }
}

std::string DescribeExchange(const LinkExchange &e) {
  std::string text = fmt::format("item {:#010x} {}", e.code, DescribeItem(e.code));
  if (!e.data.empty()) {
    text += " [" + Hexes(e.data) + "]";
  }
  if (!e.answered) {
    return text +
           fmt::format(": no answer after {} attempt{}", e.attempts, e.attempts == 1 ? "" : "s");
  }
  if (e.status != 0) {
    text += fmt::format(": refused (status {:#06x})", e.status);
  } else if (e.answer.empty()) {
    text += ": accepted";
  } else {
    text += ": " + Hexes(e.answer);
  }
  if (e.attempts > 1) {
    text += fmt::format(" (after {} attempts)", e.attempts);
  }
  return text;
}

std::vector<std::string> DescribeVariable(const VariableChange &change) {
  std::vector<std::string> lines;
  if (!change.exists) {
    lines.push_back(change.name + " deleted");
    return lines;
  }
  if (change.name == "Setup" && change.existed) {
    std::map<std::string, const SetupField *> changed;
    for (size_t i = 0; i < change.newValue.size() && i < change.oldValue.size(); ++i) {
      if (change.newValue[i] != change.oldValue[i]) {
        const SetupField *field = SetupFieldAt(static_cast<uint32_t>(i));
        changed[field ? field->name : fmt::format("byte {}", i)] = field;
      }
    }
    for (const auto &[name, field] : changed) {
      if (field != nullptr) {
        lines.push_back(fmt::format("Setup {}: {} -> {}", name,
                                    SetupFieldValue(*field, change.oldValue),
                                    SetupFieldValue(*field, change.newValue)));
      } else {
        lines.push_back("Setup " + name + " changed");
      }
    }
    if (lines.empty()) {
      lines.push_back("Setup written back unchanged in content");
    }
    return lines;
  }
  lines.push_back(fmt::format("{} {}: {}{}", change.name, change.existed ? "changed" : "created",
                              change.existed ? Hexes(change.oldValue) + " -> " : "",
                              Hexes(change.newValue)));
  return lines;
}

} // namespace

const char *DocumentName(uint8_t messageId) {
  switch (messageId) {
  case 2:
    return "inventory";
  case 3:
    return "UUID";
  case 4:
    return "path";
  case 5:
    return "model";
  default:
    return "document";
  }
}

DocumentSummary CollectDocuments(Board &board) {
  DocumentSummary summary;
#if MGMT_BOARD_HAS_NIC
  if (board.controller() == nullptr) {
    return summary;
  }
  documents::Reassembly reassembly = documents::ReassembleNotices(board.controller()->Notices());
  std::map<uint8_t, ReceivedDocument> latest;
  for (const documents::Document &doc : reassembly.documents) {
    latest[doc.messageId] = ReceivedDocument{doc.messageId, doc.text, doc.chunkCount, doc.timeNs};
  }
  for (auto &[id, doc] : latest) {
    summary.documents.push_back(std::move(doc));
  }
  for (const documents::Problem &problem : reassembly.problems) {
    summary.problems.push_back(
        fmt::format("{}{}: {}", documents::ProblemKindName(problem.kind),
                    problem.messageId ? fmt::format(" (message id {})", *problem.messageId) : "",
                    problem.detail));
  }
#else
  (void)board;
#endif
  return summary;
}

std::string BoardDescription(Board &board) {
  const BoardOptions &o = board.options();
  std::string text = "board:\n";
#if MGMT_BOARD_HAS_NIC
  text +=
      fmt::format("  Ethernet controller 10EC:8168, chip version {}, at 1:0.0 behind the bridge "
                  "at 0:28.0; link {}; out-of-band firmware {}\n",
                  o.chipVersion, o.linkUp ? "up" : "down", o.oobFirmware ? "running" : "off");
  text += "  management controller at the far end of the link\n";
#else
  text += "  Ethernet controller and management controller: models not in this build yet\n";
#endif
  text += fmt::format("  EC at 0x62/0x66 {}; Super I/O at 0x2E/0x2F; PCH series {} (0:31.0)\n",
                      o.ecPresent ? "(signature 0xEC)" : "absent",
                      o.pchSeries == BoardOptions::PchSeries::H ? "H" : "LP");
#if MGMT_BOARD_HAS_DISPLAY
  text += fmt::format("  displays: {}{}\n", o.mgmtDisplay ? "management display at 0:2.0" : "",
                      o.otherDisplay ? std::string(o.mgmtDisplay ? ", " : "") + "display at 2:0.0"
                                     : "");
#endif
  text += fmt::format("  processor ratio {} (IA32_PERF_STATUS); boot mode {:#04x}\n", o.msrRatio,
                      o.bootMode);
  std::string in, out;
  for (const BootRunner::ModuleInfo &m : BootRunner::Modules()) {
    (m.present ? in : out) += (m.present ? in : out).empty() ? m.name : " " + m.name;
  }
  text += "modules in this build: " + (in.empty() ? "(none)" : in) + "\n";
  if (!out.empty()) {
    text += "not in this build yet: " + out + "\n";
  }
  std::string missing;
  for (const std::string &model : Board::ModelsMissing()) {
    missing += (missing.empty() ? "" : " ") + model;
  }
  if (!missing.empty()) {
    text += "device models not in this build yet: " + missing + "\n";
  }
  return text;
}

std::string Transcript(Board &board, const RunRecord &run, bool registerTrace) {
  std::string text = BoardDescription(board);
  if (!run.imageModules.empty()) {
    std::string images;
    for (const std::string &name : run.imageModules) {
      images += (images.empty() ? "" : " ") + name;
    }
    text += "run as EFI images from " + run.imageDirectory + ": " + images + "\n";
  }
  const DocumentSummary docs = CollectDocuments(board);
  std::map<std::string, std::vector<uint64_t>> moduleTimes;
  for (const BootRecord &boot : run.boots) {
    text += fmt::format("\nboot {} (boot mode {:#04x})\n", boot.number, boot.bootMode);
    for (const StepRecord &step : boot.steps) {
      if (!step.present) {
        text += fmt::format("{} {:<3} {:<22} not in this build\n", Stamp(step.startNs), step.phase,
                            step.name);
        continue;
      }
      const std::string &owner = step.isModule ? step.name : step.actor;
      if (!owner.empty()) {
        moduleTimes[owner].resize(run.boots.size());
        moduleTimes[owner][boot.number - 1] += step.TimeNs();
      }
      std::string status = step.outcome != RunOutcome::Completed
                               ? RunOutcomeName(step.outcome)
                               : (step.isModule ? StatusText(step.status) : "");
      std::string notes;
      for (const std::string &note : step.notes) {
        notes += "      " + note + "\n";
      }
      for (const LinkExchange &e : step.exchanges) {
        notes += "      " + DescribeExchange(e) + "\n";
      }
      if (step.noticesSent != 0) {
        notes += fmt::format("      {} notice frame{} sent on the link\n", step.noticesSent,
                             step.noticesSent == 1 ? "" : "s");
        for (const ReceivedDocument &doc : docs.documents) {
          if (doc.timeNs >= step.startNs && doc.timeNs <= step.endNs) {
            notes += fmt::format("      document {} ({}) uploaded: {} characters in {} chunk{}\n",
                                 doc.messageId, DocumentName(doc.messageId), doc.text.size(),
                                 doc.chunks, doc.chunks == 1 ? "" : "s");
          }
        }
      }
      for (const VariableChange &change : step.variables) {
        for (const std::string &line : DescribeVariable(change)) {
          notes += "      " + line + "\n";
        }
      }
      if (!step.isModule && notes.empty()) {
        continue; // a firmware-core step nobody reacted to
      }
      if (!step.isModule && !step.actor.empty()) {
        status = "-> " + step.actor;
      }
      text += fmt::format("{} {:<3} {:<22} {:<20} {}\n", Stamp(step.startNs), step.phase, step.name,
                          status, Ms(step.TimeNs()));
      text += notes;
    }
    switch (boot.ending) {
    case BootRecord::Ending::ReadyToBoot:
      text += fmt::format("{} boot {} reached ready-to-boot\n", Stamp(boot.endNs), boot.number);
      break;
    case BootRecord::Ending::S3Resume:
      text +=
          fmt::format("{} boot {} resumed from S3: no DXE phase\n", Stamp(boot.endNs), boot.number);
      break;
    case BootRecord::Ending::Reset:
      text += fmt::format("{} boot {} ended: {} reset the system (0xCF9 <- {:#04x})\n",
                          Stamp(boot.endNs), boot.number, boot.endStep, boot.resetValue);
      break;
    case BootRecord::Ending::PowerOff:
      text += fmt::format("{} boot {} ended: {} powered the board off\n", Stamp(boot.endNs),
                          boot.number, boot.endStep);
      break;
    default:
      text += fmt::format("{} boot {} ended: {} {}: {}\n", Stamp(boot.endNs), boot.number,
                          boot.endStep, EndingName(boot.ending), boot.endDetail);
      break;
    }
  }
  if (!run.reachedReadyToBoot && !run.failed && !run.boots.empty() &&
      run.boots.back().ending != BootRecord::Ending::S3Resume &&
      run.boots.back().ending != BootRecord::Ending::PowerOff) {
    text += fmt::format("\nno boot reached ready-to-boot within {} boots\n", run.boots.size());
  }

  if (!docs.documents.empty() || !docs.problems.empty()) {
    text += "\ndocuments the management controller received:\n";
    for (const ReceivedDocument &doc : docs.documents) {
      text += fmt::format("  message id {} ({}): {} characters in {} chunk{}\n", doc.messageId,
                          DocumentName(doc.messageId), doc.text.size(), doc.chunks,
                          doc.chunks == 1 ? "" : "s");
    }
    for (const std::string &problem : docs.problems) {
      text += "  incomplete or damaged upload: " + problem + "\n";
    }
  }

  text += "\nvirtual time per module (entry point and the notifications it registered):\n";
  text += fmt::format("  {:<14}", "module");
  for (const BootRecord &boot : run.boots) {
    text += fmt::format(" {:>12}", fmt::format("boot {}", boot.number));
  }
  text += "\n";
  for (const BootRunner::ModuleInfo &m : BootRunner::Modules()) {
    text += fmt::format("  {:<14}", m.name);
    if (!m.present) {
      text += " not in this build\n";
      continue;
    }
    auto it = moduleTimes.find(m.name);
    for (size_t i = 0; i < run.boots.size(); ++i) {
      uint64_t ns = it != moduleTimes.end() ? it->second[i] : 0;
      text += fmt::format(" {:>12}", it != moduleTimes.end() ? Ms(ns) : "-");
    }
    text += "\n";
  }
  if (registerTrace) {
    text += "\nregister trace (last boot):\n";
    for (const TraceEntry &entry : board.machine().trace().Entries()) {
      text += "  " + FormatTraceEntry(entry) + "\n";
    }
    if (board.machine().trace().Dropped() != 0) {
      text += fmt::format("  ({} entries beyond the trace limit dropped)\n",
                          board.machine().trace().Dropped());
    }
  }
  return text;
}

} // namespace sim::board
