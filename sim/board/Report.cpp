// Writes the run summary as JSON by hand: a few nested objects, every string
// escaped.
#include "Report.h"

#include "Transcript.h"

#include <fmt/format.h>

namespace sim::board {

namespace {

std::string Quote(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20 || c >= 0x7F) {
        out += fmt::format("\\u{:04x}", c);
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out + "\"";
}

std::string HexBytes(const std::vector<uint8_t> &bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    out += fmt::format("{:02x}", b);
  }
  return Quote(out);
}

template <typename T, typename F> std::string Array(const std::vector<T> &items, F each) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    // Appended in two steps: `"," + temporary` makes GCC 12 at -O3 see an
    // overlapping copy in basic_string::insert (-Wrestrict, a false positive).
    if (i != 0)
      out += ',';
    out += each(items[i]);
  }
  return out + "]";
}

} // namespace

std::string ReportJson(Board &board, const RunRecord &run) {
  std::string out = "{";
  out += fmt::format("\"reachedReadyToBoot\":{},\"failed\":{},\"failure\":{},"
                     "\"dmaAfterExitBootServices\":{},",
                     run.reachedReadyToBoot, run.failed, Quote(run.failure),
                     run.dmaAfterExitBootServices);
  out += "\"modulesInBuild\":" + Array(BootRunner::Modules(), [](const BootRunner::ModuleInfo &m) {
           return fmt::format("{{\"name\":{},\"phase\":{},\"present\":{}}}", Quote(m.name),
                              Quote(m.phase), m.present);
         });
  if (!run.imageModules.empty()) {
    // Only image boots name their image modules; host boots report as before.
    out += ",\"imageModules\":" +
           Array(run.imageModules, [](const std::string &name) { return Quote(name); });
  }
  out +=
      ",\"boots\":" + Array(run.boots, [](const BootRecord &boot) {
        std::string b = fmt::format(
            "{{\"number\":{},\"bootMode\":{},\"startNs\":{},\"endNs\":{},\"ending\":{},"
            "\"endStep\":{},\"endDetail\":{},\"resetValue\":{},\"dmaAfterExitBootServices\":{},",
            boot.number, boot.bootMode, boot.startNs, boot.endNs, Quote(EndingName(boot.ending)),
            Quote(boot.endStep), Quote(boot.endDetail), boot.resetValue,
            boot.dmaAfterExitBootServices);
        b += "\"hobs\":" + Array(boot.hobs, [](const HobRecord &hob) {
               return fmt::format("{{\"name\":{},\"length\":{},\"data\":{}}}", Quote(hob.name),
                                  hob.length, HexBytes(hob.data));
             });
        std::vector<const StepRecord *> modules;
        std::vector<const StepRecord *> steps;
        for (const StepRecord &step : boot.steps) {
          (step.isModule ? modules : steps).push_back(&step);
        }
        auto stepJson = [](const StepRecord *s) {
          std::string j = fmt::format(
              "{{\"name\":{},\"phase\":{},\"present\":{},\"ran\":{},\"status\":{},\"outcome\":{},"
              "\"virtualTimeNs\":{},\"startNs\":{},\"notes\":",
              Quote(s->name), Quote(s->phase), s->present, s->ran, s->status,
              Quote(RunOutcomeName(s->outcome)), s->TimeNs(), s->startNs);
          j += Array(s->notes, [](const std::string &n) { return Quote(n); });
          j += ",\"linkItems\":" + Array(s->exchanges, [](const LinkExchange &e) {
                 return fmt::format("{{\"code\":{},\"item\":{},\"write\":{},\"data\":{},"
                                    "\"attempts\":{},\"answered\":{},\"status\":{},\"answer\":{}}}",
                                    Quote(fmt::format("{:#010x}", e.code)),
                                    Quote(DescribeItem(e.code)), (e.code & 0x00200000u) != 0,
                                    HexBytes(e.data), e.attempts, e.answered, e.status,
                                    HexBytes(e.answer));
               });
          j += fmt::format(",\"noticesSent\":{}", s->noticesSent);
          j += ",\"variablesChanged\":" + Array(s->variables, [](const VariableChange &v) {
                 return fmt::format("{{\"name\":{},\"old\":{},\"new\":{}}}", Quote(v.name),
                                    v.existed ? HexBytes(v.oldValue) : "null",
                                    v.exists ? HexBytes(v.newValue) : "null");
               });
          return j + "}";
        };
        b += ",\"modules\":" + Array(modules, stepJson);
        b += ",\"coreSteps\":" + Array(steps, stepJson);
        return b + "}";
      });
  std::vector<std::string> resets;
  for (const BootRecord &boot : run.boots) {
    if (boot.ending == BootRecord::Ending::Reset) {
      resets.push_back(fmt::format("{{\"boot\":{},\"by\":{},\"value\":{}}}", boot.number,
                                   Quote(boot.endStep), boot.resetValue));
    }
  }
  out += ",\"resets\":" + Array(resets, [](const std::string &s) { return s; });
  DocumentSummary docs = CollectDocuments(board);
  out +=
      ",\"documents\":" + Array(docs.documents, [](const ReceivedDocument &d) {
        return fmt::format("{{\"messageId\":{},\"name\":{},\"chunks\":{},\"characters\":{}}}",
                           d.messageId, Quote(DocumentName(d.messageId)), d.chunks, d.text.size());
      });
  out += ",\"incompleteUploads\":" +
         Array(docs.problems, [](const std::string &p) { return Quote(p); });
  out += ",\"modelFaults\":" + Array(board.ModelFaults(), [](const ModelFaultCounts &m) {
           std::string counters;
           for (const ModelFaultCounter &c : m.counters) {
             counters += fmt::format("{}{}:{}", counters.empty() ? "" : ",", Quote(c.name), c.value);
           }
           return fmt::format("{{\"model\":{},\"counters\":{{{}}}}}", Quote(m.model), counters);
         });
  return out + "}\n";
}

} // namespace sim::board
