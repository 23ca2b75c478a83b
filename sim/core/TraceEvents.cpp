// The one place where a trace event becomes text.
#include "TraceEvents.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

namespace {

std::string Printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char *format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Hex(uint64_t value) { return Printf("0x%llX", static_cast<unsigned long long>(value)); }
std::string Hex8(uint8_t value) { return Printf("0x%02X", value); }
std::string Dec(uint64_t value) { return std::to_string(value); }

std::string Detail(const std::monostate &) { return {}; }
std::string Detail(const ev::MachineStop &e) { return std::string(e.reason) + ": " + e.detail; }
std::string Detail(const ev::PeiInstallPpi &e) { return TraceGuidText(e.guid); }
std::string Detail(const ev::PeiNotifyPpi &e) { return TraceGuidText(e.guid); }
std::string Detail(const ev::PeiCreateHob &e) {
  return "type " + Dec(e.type) + " length " + Dec(e.length);
}
std::string Detail(const ev::PeiEndOfPei &) { return {}; }
std::string Detail(const ev::DxeInstall &e) {
  return TraceGuidText(e.protocol) + " on handle " + Dec(e.handle);
}
std::string Detail(const ev::DxeUninstall &e) {
  return TraceGuidText(e.protocol) + " from handle " + Dec(e.handle);
}
std::string Detail(const ev::DxeReinstall &e) {
  return TraceGuidText(e.protocol) + " on handle " + Dec(e.handle);
}
std::string Detail(const ev::DxeRegisterNotify &e) { return TraceGuidText(e.protocol); }
std::string Detail(const ev::DxeConfigTable &e) {
  return TraceGuidText(e.guid) + (e.installed ? " installed" : " removed");
}
std::string Detail(const ev::DxeUnload &e) {
  char text[96];
  std::snprintf(text, sizeof text, "%s (entry point returned 0x%llx)",
                e.module ? e.module->c_str() : "an image",
                static_cast<unsigned long long>(e.status));
  return text;
}
std::string Detail(const ev::DxeSetVariable &e) {
  return Printf("%s size %llu attributes 0x%x status 0x%llx", e.name ? e.name->c_str() : "?",
                static_cast<unsigned long long>(e.size), e.attributes,
                static_cast<unsigned long long>(e.status));
}
std::string Detail(const ev::DxeSignalGroup &e) { return TraceGuidText(e.group); }
std::string Detail(const ev::DxeExitBootServices &) { return {}; }
std::string Detail(const ev::SmbiosRead &e) {
  return "type " + Dec(e.type) + " instance " + Dec(e.instance) +
         (e.delivered ? ": handle " + Dec(e.handle) + ", " + Dec(e.bytes) + " bytes"
                      : ": not delivered");
}
std::string Detail(const ev::PciListRefresh &e) { return Dec(e.records) + " records"; }
std::string Detail(const ev::SetupLogoTrigger &) { return {}; }
std::string Detail(const ev::SetupPullTrigger &) { return {}; }
std::string Detail(const ev::SetupPushTrigger &) { return {}; }
std::string Detail(const ev::SetupGetBuffer &) { return {}; }
std::string Detail(const ev::DisplayMode &e) { return Dec(e.width) + "x" + Dec(e.height); }
std::string Detail(const ev::BltArea &e) {
  return Dec(e.width) + "x" + Dec(e.height) + " at " + Dec(e.x) + "," + Dec(e.y);
}
std::string Detail(const ev::GopBltRejected &e) { return std::string(e.why); }
std::string Detail(const ev::EcCommand &e) {
  return Printf("port=0x%02X cmd=0x%02X", e.port, e.command);
}
std::string Detail(const ev::EcRegister &e) {
  return Printf("bank=%u reg=0x%02X value=0x%02X", e.bank, e.reg, e.value);
}
std::string Detail(const ev::EcSmbus &e) {
  return Printf("address=0x%02X command=0x%02X status=0x%02X", e.address, e.command, e.status);
}
std::string Detail(const ev::MgmtBadChecksum &) { return {}; }
std::string Detail(const ev::MgmtMalformed &e) {
  return e.frame == ev::MgmtMalformed::Frame::Notice ? "notice" : "request";
}
std::string Detail(const ev::MgmtNotice &e) {
  return "tag=" + Dec(e.tag) + " len=" + Dec(e.length);
}
std::string Detail(const ev::MgmtDrop &e) { return Printf("0x%08X", e.code); }
std::string Detail(const ev::MgmtSilent &e) { return Printf("0x%08X", e.code); }
std::string Detail(const ev::MgmtRequest &e) {
  return Printf("0x%08X", e.code) + " status=" + Dec(e.status) + " due=" + Dec(e.dueNs);
}
std::string Detail(const ev::SioEnterConfig &) { return {}; }
std::string Detail(const ev::SioExitConfig &) { return {}; }
std::string Detail(const ev::SioRegister &e) {
  if (e.global) {
    return "global reg=" + Hex8(e.reg) + " value=" + Hex8(e.value);
  }
  return "ldn=" + Hex8(e.ldn) + " reg=" + Hex8(e.reg) + " value=" + Hex8(e.value);
}
std::string Detail(const ev::SioOutsideConfig &e) { return std::string(e.what) + " " + Hex8(e.value); }
std::string Detail(const ev::SioPin &e) {
  return "pin=" + Dec(e.pin) + (e.output ? " output" : " input") + (e.level ? " high" : " low");
}
std::string Detail(const ev::ChipsetDecode &e) {
  return "reg=" + Hex(e.reg) + " value=" + Hex(e.value) + " size=" + Hex(e.size);
}
std::string Detail(const ev::ChipsetMirror &e) {
  return "port=0x88 offset=" + Hex(e.offset) + " value=" + Hex(e.value) + " size=" + Hex(e.size);
}
std::string Detail(const ev::ChipsetRefused &e) {
  if (e.target == ev::ChipsetRefused::Target::Bridge) {
    return Detail(ev::ChipsetDecode{e.reg, e.value, e.size});
  }
  return Detail(ev::ChipsetMirror{e.reg, e.value, e.size});
}
std::string Detail(const ev::ChipsetLock &e) {
  return "offset=" + Hex(e.offset) + " value=" + Hex(e.value);
}
std::string Detail(const ev::GpioOutput &e) {
  return "group " + Dec(e.group) + " pad " + Dec(e.pad) +
         (e.driven ? (e.level ? " drives high" : " drives low") : " released");
}
std::string Change(const ev::GpioRegisterChange &e, const std::string &word) {
  return std::string(e.reg) + " group " + Dec(e.group) + " pad " + Dec(e.pad) + word + " " +
         Hex(e.before) + " -> " + Hex(e.after);
}
std::string Detail(const ev::GpioPadConfig &e) { return Change(e, " dw" + Dec(e.word)); }
std::string Detail(const ev::GpioRegisterChange &e) { return Change(e, ""); }
std::string Detail(const ev::GpioRefused &e) {
  if (e.why.empty()) {
    return "lock message to port " + Hex(e.port) + " offset " + Hex(e.offset) +
           ", not a lock register";
  }
  return "port " + Hex(e.port) + " offset " + Hex(e.offset) + ": " + std::string(e.why);
}
std::string Detail(const ev::SbBridgeRefused &) { return "start while busy"; }
std::string Detail(const ev::SbBridgeStart &e) {
  return Printf("opcode 0x%02X port 0x%02X offset 0x%04X data 0x%08X", e.opcode, e.port, e.offset,
                e.data);
}
std::string Detail(const ev::SbBridgeDone &e) {
  return Printf("port 0x%02X offset 0x%04X response %u", e.port, e.offset, e.response);
}
std::string Detail(const ev::ResetRequest &e) {
  return Printf("0x%02X written to port 0xCF9", e.value);
}
std::string Detail(const ev::NicPowerOn &) { return {}; }
std::string Detail(const ev::NicLink &e) { return e.up ? "up" : "down"; }
std::string Detail(const ev::NicReset &e) {
  return e.doneAtNs ? "done at " + Dec(*e.doneAtNs) : "never completes";
}
std::string Detail(const ev::NicResetDone &) { return {}; }
std::string Detail(const ev::NicEnable &e) {
  return std::string(e.rx ? "rx" : "-") + (e.tx ? " tx" : " -");
}
std::string Detail(const ev::NicOobRunning &) { return {}; }
std::string Detail(const ev::NicOobHalt &e) { return e.wasRunning ? "was running" : "was stopped"; }
std::string Detail(const ev::NicOobRequest &e) {
  return Hex(e.command) + (e.firmwareRunning ? "" : " (firmware stopped)");
}
std::string Detail(const ev::NicOobAnswer &e) { return Hex(e.command); }
std::string Detail(const ev::NicOobBoot &e) { return e.completes ? "" : "never completes"; }
std::string Detail(const ev::NicDmaFault &e) {
  return (e.write ? "write " : "read ") + Hex(e.address) + " len=" + Dec(e.length);
}
std::string Detail(const ev::NicDoorbellIgnored &e) {
  switch (e.why) {
  case ev::NicDoorbellIgnored::Why::TransmitterOff:
    return "transmitter off";
  case ev::NicDoorbellIgnored::Why::InReset:
    return "in reset";
  case ev::NicDoorbellIgnored::Why::BusMasteringOff:
    return "bus mastering off";
  }
  return "?";
}
std::string Detail(const ev::NicTxDesc &e) {
  return "index=" + Dec(e.index) + " len=" + Dec(e.length);
}
std::string Detail(const ev::NicTxDrop &e) {
  return e.malformedChainAt ? "malformed descriptor chain at " + Dec(*e.malformedChainAt)
                            : "link down";
}
std::string Detail(const ev::NicChecksumFault &e) { return "descriptor " + Dec(e.descriptor); }
std::string Detail(const ev::NicTxFrame &e) {
  return "desc=" + Dec(e.descriptor) + " len=" + Dec(e.length);
}
std::string Detail(const ev::NicRxDrop &e) {
  switch (e.why) {
  case ev::NicRxDrop::Why::LinkDown:
    return "link down";
  case ev::NicRxDrop::Why::ReceiverOff:
    return "receiver off";
  case ev::NicRxDrop::Why::QueueFull:
    return "queue full";
  }
  return "?";
}
std::string Detail(const ev::NicRxStalled &e) { return "no free descriptor at " + Dec(e.index); }
std::string Detail(const ev::NicRxFrame &e) {
  return "index=" + Dec(e.index) + " len=" + Dec(e.length) + (e.error ? " error" : "");
}

} // namespace

std::string TraceGuidText(const EFI_GUID &g) {
  return Printf("%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
}

const char *TraceEventName(const TraceEvent &event) {
  return std::visit(
      [](const auto &e) -> const char * {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, std::monostate>) {
          return "";
        } else {
          return std::decay_t<decltype(e)>::kName;
        }
      },
      event);
}

std::string FormatTraceEvent(const TraceEvent &event) {
  return std::visit([](const auto &e) { return Detail(e); }, event);
}

} // namespace sim
