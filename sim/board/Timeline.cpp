// Reads a run's records into timeline data and draws it as SVG. Only the
// records the transcript and the report are made from are read here (step
// times, exchanges, boot endings, the controller's documents), never the
// register trace.
#include "Timeline.h"

#include "Transcript.h"

#if MGMT_BOARD_HAS_NIC
#include "Documents.h"
#include "MgmtController.h"
#endif

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace sim::board {

namespace {

// A firmware-core step is drawn when its actor did something in it, as the
// transcript shows it.
bool DidSomething(const StepRecord &step) {
  return step.TimeNs() != 0 || !step.notes.empty() || !step.exchanges.empty() ||
         step.noticesSent != 0 || !step.variables.empty();
}

std::string ExchangeLabel(const LinkExchange &e, TimelineTick::Outcome outcome) {
  std::string text = fmt::format("{:.3f} ms: item {:#010x} {}", static_cast<double>(e.timeNs) / 1e6,
                                 e.code, DescribeItem(e.code));
  switch (outcome) {
  case TimelineTick::Outcome::Answered:
    text += ": answered";
    break;
  case TimelineTick::Outcome::Refused:
    text += fmt::format(": refused (status {:#06x})", e.status);
    break;
  case TimelineTick::Outcome::Unanswered:
    text += ": no answer";
    break;
  }
  if (e.attempts > 1) {
    text += fmt::format(" after {} attempts", e.attempts);
  }
  return text;
}

std::string EndLabel(const BootRecord &boot) {
  switch (boot.ending) {
  case BootRecord::Ending::ReadyToBoot:
    return "ready-to-boot";
  case BootRecord::Ending::S3Resume:
    return "resumed from S3";
  case BootRecord::Ending::Reset:
    return fmt::format("reset by {} (0xCF9 <- {:#04x})", boot.endStep, boot.resetValue);
  default:
    return fmt::format("{} {}", boot.endStep, EndingName(boot.ending));
  }
}

std::vector<TimelineUpload> Uploads(Board &board) {
  std::vector<TimelineUpload> uploads;
#if MGMT_BOARD_HAS_NIC
  if (board.controller() == nullptr) {
    return uploads;
  }
  const auto &notices = board.controller()->Notices();
  const documents::Reassembly reassembly = documents::ReassembleNotices(notices);
  for (const documents::Document &doc : reassembly.documents) {
    TimelineUpload upload;
    upload.messageId = doc.messageId;
    upload.label = fmt::format("document {} ({}): {} characters in {} chunk{}", doc.messageId,
                               DocumentName(doc.messageId), doc.text.size(), doc.chunkCount,
                               doc.chunkCount == 1 ? "" : "s");
    upload.startNs = doc.firstNotice < notices.size() ? notices[doc.firstNotice].timeNs : doc.timeNs;
    upload.endNs = doc.timeNs;
    uploads.push_back(std::move(upload));
  }
#else
  (void)board;
#endif
  return uploads;
}

} // namespace

Timeline BuildTimeline(Board &board, const RunRecord &run) {
  Timeline timeline;
  const std::vector<TimelineUpload> uploads = Uploads(board);
  for (const BootRecord &boot : run.boots) {
    TimelineBand band;
    band.number = boot.number;
    band.startNs = boot.startNs;
    band.endNs = boot.endNs;
    band.ending = boot.ending;
    band.endLabel = EndLabel(boot);
    for (const BootRunner::ModuleInfo &m : BootRunner::Modules()) {
      band.rows.push_back(m.name);
    }
    for (const StepRecord &step : boot.steps) {
      if (!step.ran) {
        continue;
      }
      if (step.isModule) {
        band.bars.push_back({step.name, "entry point",
                             step.phase == "PEI" ? TimelineBar::Kind::Pei : TimelineBar::Kind::Dxe,
                             step.startNs, step.endNs});
      } else if (!step.actor.empty() && DidSomething(step)) {
        band.bars.push_back(
            {step.actor, step.name, TimelineBar::Kind::Notification, step.startNs, step.endNs});
      }
      for (const LinkExchange &e : step.exchanges) {
        const TimelineTick::Outcome outcome = !e.answered     ? TimelineTick::Outcome::Unanswered
                                              : e.status != 0 ? TimelineTick::Outcome::Refused
                                                              : TimelineTick::Outcome::Answered;
        band.ticks.push_back({e.timeNs, outcome, ExchangeLabel(e, outcome)});
      }
    }
    for (const TimelineUpload &upload : uploads) {
      if (upload.endNs >= boot.startNs && upload.endNs <= boot.endNs) {
        band.uploads.push_back(upload);
      }
    }
    timeline.bands.push_back(std::move(band));
  }
  return timeline;
}

namespace {

// Geometry of the picture, in pixels.
constexpr double kWidth = 1200;
constexpr double kGutter = 200; // row names and module times
constexpr double kRightMargin = 30;
constexpr double kPlotWidth = kWidth - kGutter - kRightMargin;
constexpr double kTop = 72; // title and legend
constexpr double kHeader = 22;
constexpr double kRow = 20;
constexpr double kAxis = 28;
constexpr double kBandGap = 18;
constexpr double kCharWidth = 6.2; // of the 11-pixel font, on average

constexpr const char *kPeiColour = "#4C78A8";
constexpr const char *kDxeColour = "#72B7B2";
constexpr const char *kNotificationColour = "#B279A2";
constexpr const char *kAnsweredColour = "#2CA02C";
constexpr const char *kRefusedColour = "#F58518";
constexpr const char *kUnansweredColour = "#D62728";
constexpr const char *kUploadColour = "#EECA3B";
constexpr const char *kResetColour = "#D62728";
constexpr const char *kReadyColour = "#333333";

std::string Escape(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

double TextWidth(const std::string &text) { return static_cast<double>(text.size()) * kCharWidth; }

std::string Ms(uint64_t ns) { return fmt::format("{:.3f} ms", static_cast<double>(ns) / 1e6); }

const char *BarColour(TimelineBar::Kind kind) {
  switch (kind) {
  case TimelineBar::Kind::Pei:
    return kPeiColour;
  case TimelineBar::Kind::Dxe:
    return kDxeColour;
  case TimelineBar::Kind::Notification:
    return kNotificationColour;
  }
  return kPeiColour;
}

const char *BarClass(TimelineBar::Kind kind) {
  switch (kind) {
  case TimelineBar::Kind::Pei:
    return "pei";
  case TimelineBar::Kind::Dxe:
    return "dxe";
  case TimelineBar::Kind::Notification:
    return "notification";
  }
  return "pei";
}

const char *TickColour(TimelineTick::Outcome outcome) {
  switch (outcome) {
  case TimelineTick::Outcome::Answered:
    return kAnsweredColour;
  case TimelineTick::Outcome::Refused:
    return kRefusedColour;
  case TimelineTick::Outcome::Unanswered:
    return kUnansweredColour;
  }
  return kAnsweredColour;
}

const char *TickClass(TimelineTick::Outcome outcome) {
  switch (outcome) {
  case TimelineTick::Outcome::Answered:
    return "answered";
  case TimelineTick::Outcome::Refused:
    return "refused";
  case TimelineTick::Outcome::Unanswered:
    return "unanswered";
  }
  return "answered";
}

// The axis step in milliseconds: 1, 2 or 5 times a power of ten, giving at
// most ten steps over the widest band.
double AxisStepMs(double spanMs) {
  double step = std::pow(10.0, std::floor(std::log10(std::max(spanMs, 1e-3) / 10)));
  for (double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (spanMs / (step * factor) <= 10) {
      return step * factor;
    }
  }
  return step * 10;
}

std::string AxisLabel(double ms, double step) {
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step)));
  if (std::fabs(ms) < step * 1e-6) {
    ms = 0; // not "-0 ms"
  }
  return fmt::format("{:.{}f} ms", ms, decimals);
}

class SvgWriter {
public:
  void Rect(double x, double y, double w, double h, const std::string &fill,
            const std::string &attributes = "", const std::string &title = "") {
    out_ += fmt::format(R"(<rect x="{:.2f}" y="{:.2f}" width="{:.2f}" height="{:.2f}" fill="{}"{}{})",
                        x, y, w, h, fill, attributes.empty() ? "" : " " + attributes,
                        title.empty() ? "/>\n" : ">");
    if (!title.empty()) {
      out_ += "<title>" + Escape(title) + "</title></rect>\n";
    }
  }
  void Line(double x1, double y1, double x2, double y2, const std::string &stroke, double width,
            const std::string &attributes = "", const std::string &title = "") {
    out_ += fmt::format(
        R"(<line x1="{:.2f}" y1="{:.2f}" x2="{:.2f}" y2="{:.2f}" stroke="{}" stroke-width="{}"{}{})",
        x1, y1, x2, y2, stroke, width, attributes.empty() ? "" : " " + attributes,
        title.empty() ? "/>\n" : ">");
    if (!title.empty()) {
      out_ += "<title>" + Escape(title) + "</title></line>\n";
    }
  }
  void Text(double x, double y, const std::string &text, const std::string &attributes = "") {
    out_ += fmt::format(R"(<text x="{:.2f}" y="{:.2f}"{}>{}</text>)", x, y,
                        attributes.empty() ? "" : " " + attributes, Escape(text)) +
            "\n";
  }
  void Raw(const std::string &text) { out_ += text; }
  const std::string &str() const { return out_; }

private:
  std::string out_;
};

double BandHeight(const TimelineBand &band) {
  return kHeader + static_cast<double>(band.rows.size() + 2) * kRow + kAxis;
}

void DrawLegend(SvgWriter &svg, double y) {
  constexpr double kLegendCharWidth = 5.6;
  auto TextWidth = [&](const std::string &text) {
    return static_cast<double>(text.size()) * kLegendCharWidth;
  };
  double x = 10;
  auto swatch = [&](const char *colour, const std::string &text) {
    svg.Rect(x, y - 9, 14, 10, colour);
    svg.Text(x + 18, y, text);
    x += 18 + TextWidth(text) + 16;
  };
  auto tick = [&](const char *colour, const std::string &text, const std::string &dash = "") {
    svg.Line(x + 6, y - 11, x + 6, y + 2, colour, 2, dash);
    svg.Text(x + 14, y, text);
    x += 14 + TextWidth(text) + 16;
  };
  swatch(kPeiColour, "PEI module");
  swatch(kDxeColour, "DXE driver");
  swatch(kNotificationColour, "work in its notifications and events");
  tick(kAnsweredColour, "exchange answered");
  tick(kRefusedColour, "refused");
  tick(kUnansweredColour, "unanswered");
  swatch(kUploadColour, "document upload");
  tick(kResetColour, "reset", R"(stroke-dasharray="4 3")");
  tick(kReadyColour, "boot end");
}

void DrawBand(SvgWriter &svg, const TimelineBand &band, double top, double nsToPx) {
  auto x = [&](uint64_t ns) {
    return kGutter + static_cast<double>(ns - std::min(ns, band.startNs)) * nsToPx;
  };
  const double plotTop = top + kHeader;
  const double rowsBottom = plotTop + static_cast<double>(band.rows.size() + 2) * kRow;
  const double bandRight = x(band.endNs);

  svg.Raw(fmt::format(R"(<g class="band" id="boot-{}">)", band.number) + "\n");
  svg.Text(10, top + 15,
           fmt::format("boot {}: {}", band.number, Ms(band.endNs - band.startNs)),
           R"(font-weight="bold" font-size="13")");

  // Row backgrounds, names and each module's time in this boot.
  std::map<std::string, uint64_t> moduleNs;
  for (const TimelineBar &bar : band.bars) {
    moduleNs[bar.row] += bar.endNs - bar.startNs;
  }
  std::vector<std::string> rows = band.rows;
  rows.push_back("link exchanges");
  rows.push_back("uploads");
  std::map<std::string, double> rowTop;
  for (size_t i = 0; i < rows.size(); ++i) {
    const double y = plotTop + static_cast<double>(i) * kRow;
    rowTop[rows[i]] = y;
    svg.Rect(kGutter, y, std::max(bandRight - kGutter, 1.0), kRow, i % 2 ? "#F4F4F4" : "#FAFAFA");
    svg.Text(10, y + 14, rows[i]);
    if (i < band.rows.size()) {
      auto it = moduleNs.find(rows[i]);
      svg.Text(kGutter - 8, y + 14, it != moduleNs.end() ? Ms(it->second) : "-",
               R"(text-anchor="end" fill="#555")");
    }
  }

  // Time axis, in milliseconds of virtual time since the run began.
  const double spanMs = kPlotWidth / nsToPx / 1e6;
  const double stepMs = AxisStepMs(spanMs);
  const double startMs = static_cast<double>(band.startNs) / 1e6;
  const double endMs = static_cast<double>(band.endNs) / 1e6;
  svg.Line(kGutter, rowsBottom, bandRight, rowsBottom, "#333", 1);
  for (double ms = std::ceil(startMs / stepMs - 1e-9) * stepMs; ms <= endMs + 1e-9; ms += stepMs) {
    const double px = kGutter + (ms - startMs) * 1e6 * nsToPx;
    svg.Line(px, plotTop, px, rowsBottom, "#DDDDDD", 1);
    svg.Line(px, rowsBottom, px, rowsBottom + 4, "#333", 1);
    svg.Text(px, rowsBottom + 16, AxisLabel(ms, stepMs),
             R"(text-anchor="middle" font-size="10" fill="#333")");
  }

  for (const TimelineBar &bar : band.bars) {
    auto it = rowTop.find(bar.row);
    if (it == rowTop.end()) {
      continue;
    }
    const double bx = x(bar.startNs);
    const double width = std::max(x(bar.endNs) - bx, 2.0);
    const std::string title = bar.row + ", " + bar.label + ": " + Ms(bar.endNs - bar.startNs);
    svg.Rect(bx, it->second + 3, width, kRow - 6, BarColour(bar.kind),
             fmt::format(R"(class="bar {}" data-module="{}" data-step="{}")", BarClass(bar.kind),
                         Escape(bar.row), Escape(bar.label)),
             title);
    if (TextWidth(bar.label) + 8 <= width) {
      svg.Text(bx + 4, it->second + 14, bar.label, R"(fill="white")");
    }
  }

  const double linkTop = rowTop["link exchanges"];
  for (const TimelineTick &tick : band.ticks) {
    const double tx = x(tick.timeNs);
    svg.Line(tx, linkTop + 3, tx, linkTop + kRow - 3, TickColour(tick.outcome), 2,
             fmt::format(R"(class="tick {}")", TickClass(tick.outcome)), tick.label);
  }

  const double uploadTop = rowTop["uploads"];
  for (size_t i = 0; i < band.uploads.size(); ++i) {
    const TimelineUpload &upload = band.uploads[i];
    const double ux = x(upload.startNs);
    const double width = std::max(x(upload.endNs) - ux, 3.0);
    svg.Rect(ux, uploadTop + 3, width, kRow - 6, kUploadColour,
             fmt::format(R"(class="upload" data-message-id="{}" stroke="#8A6D00")",
                         upload.messageId),
             upload.label);
    // The document's name where there is room before the next upload.
    const double room =
        (i + 1 < band.uploads.size() ? x(band.uploads[i + 1].startNs) : kWidth) - ux - width - 6;
    const std::string name = DocumentName(upload.messageId);
    const std::string shortName = std::to_string(upload.messageId);
    const std::string label = TextWidth(name) <= room        ? name
                              : TextWidth(shortName) <= room ? shortName
                                                             : "";
    if (!label.empty()) {
      svg.Text(ux + width + 3, uploadTop + 14, label, R"(font-size="10")");
    }
  }

  // How the boot ended.
  const bool reset = band.ending == BootRecord::Ending::Reset;
  const bool failed = band.ending == BootRecord::Ending::Watchdog ||
                      band.ending == BootRecord::Ending::Fault;
  const char *colour = reset || failed ? kResetColour : kReadyColour;
  svg.Line(bandRight, plotTop - 4, bandRight, rowsBottom, colour, 2,
           fmt::format(R"(class="end {}"{})", reset ? "reset" : failed ? "failure" : "ready",
                       reset ? R"( stroke-dasharray="4 3")" : ""),
           band.endLabel);
  const bool fitsRight = bandRight + 4 + TextWidth(band.endLabel) <= kWidth - 4;
  svg.Text(fitsRight ? bandRight + 4 : bandRight - 4, top + 15, band.endLabel,
           fmt::format(R"(fill="{}"{})", colour, fitsRight ? "" : R"( text-anchor="end")"));
  svg.Raw("</g>\n");
}

} // namespace

std::string TimelineSvg(const Timeline &timeline) {
  uint64_t widestNs = 1;
  double height = kTop;
  for (const TimelineBand &band : timeline.bands) {
    widestNs = std::max(widestNs, band.endNs - band.startNs);
    height += BandHeight(band) + kBandGap;
  }
  const double nsToPx = kPlotWidth / static_cast<double>(widestNs);

  SvgWriter svg;
  svg.Raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  svg.Raw(fmt::format(R"(<svg xmlns="http://www.w3.org/2000/svg" width="{:.0f}" height="{:.0f}" )"
                      R"(viewBox="0 0 {:.0f} {:.0f}" font-family="sans-serif" font-size="11">)",
                      kWidth, height, kWidth, height) +
          "\n");
  svg.Rect(0, 0, kWidth, height, "white");
  svg.Text(10, 22,
           fmt::format("mgmt-sim boot: {} boot{} in virtual time", timeline.bands.size(),
                       timeline.bands.size() == 1 ? "" : "s"),
           R"(font-weight="bold" font-size="15")");
  DrawLegend(svg, 48);
  double top = kTop;
  for (const TimelineBand &band : timeline.bands) {
    DrawBand(svg, band, top, nsToPx);
    top += BandHeight(band) + kBandGap;
  }
  svg.Raw("</svg>\n");
  return svg.str();
}

} // namespace sim::board
